#include "spf/dns_trace.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>

#include "spf/dns_cache.h"

extern "C" {
#include <spf2/spf_dns_rr.h>
}

namespace {

struct trace {
  SPF_dns_server_t *cache = nullptr;
  std::mutex mutex;
  std::vector<dns_trace_entry> entries;
};

trace *trace_of(SPF_dns_server_t *layer) {
  return static_cast<trace *>(layer->hook);
}

std::uint64_t cache_hits(const trace &t) {
  return t.cache ? dns_cache_stats_of(t.cache).hits : 0;
}

// The answer's records of the asked type as text.
std::vector<std::string> records_of(const SPF_dns_rr_t *rr) {
  std::vector<std::string> out;
  if (rr->herrno != NETDB_SUCCESS || rr->rr == nullptr) return out;
  for (int i = 0; i < rr->num_rr && i < rr->rr_buf_num; i++) {
    const SPF_dns_rr_data_t *d = rr->rr[i];
    if (d == nullptr) continue;
    char address[INET6_ADDRSTRLEN] = "";
    switch (rr->rr_type) {
      case ns_t_a:
        inet_ntop(AF_INET, &d->a, address, sizeof address);
        out.emplace_back(address);
        break;
      case ns_t_aaaa:
        inet_ntop(AF_INET6, &d->aaaa, address, sizeof address);
        out.emplace_back(address);
        break;
      case ns_t_mx:
        out.emplace_back(d->mx);
        break;
      case ns_t_ptr:
        out.emplace_back(d->ptr);
        break;
      default:
        out.emplace_back(d->txt);
        break;
    }
  }
  return out;
}

SPF_dns_rr_t *trace_lookup(SPF_dns_server_t *layer, const char *domain,
                           ns_type rr_type, int should_cache) {
  trace &t = *trace_of(layer);
  std::uint64_t hits = cache_hits(t);
  auto started = std::chrono::steady_clock::now();
  SPF_dns_rr_t *answer =
      layer->layer_below
          ? SPF_dns_lookup(layer->layer_below, domain, rr_type, should_cache)
          : SPF_dns_rr_new_nxdomain(layer, domain);
  auto took = std::chrono::steady_clock::now() - started;
  try {
    dns_trace_entry e;
    e.type = rr_type;
    e.name = domain;
    if (answer != nullptr) {
      e.status = answer->herrno;
      e.records = records_of(answer);
    } else {
      e.status = NO_RECOVERY;
    }
    e.cached = cache_hits(t) > hits;
    e.microseconds =
        std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.entries.push_back(std::move(e));
  } catch (...) {
    // No memory for the record: the lookup itself is unaffected.
  }
  return answer;
}

void trace_destroy(SPF_dns_server_t *layer) {
  delete trace_of(layer);
  std::free(layer);
}

}  // namespace

SPF_dns_server_t *dns_trace_new(SPF_dns_server_t *layer_below,
                                SPF_dns_server_t *cache) {
  auto *layer =
      static_cast<SPF_dns_server_t *>(std::calloc(1, sizeof(SPF_dns_server_t)));
  if (layer == nullptr) return nullptr;
  trace *t = new (std::nothrow) trace;
  if (t == nullptr) {
    std::free(layer);
    return nullptr;
  }
  t->cache = cache;
  layer->destroy = trace_destroy;
  layer->lookup = trace_lookup;
  layer->layer_below = layer_below;
  layer->name = "heronsend trace";
  layer->debug = layer_below ? layer_below->debug : 0;
  layer->hook = t;
  return layer;
}

std::vector<dns_trace_entry> dns_trace_entries(SPF_dns_server_t *layer) {
  trace &t = *trace_of(layer);
  std::lock_guard<std::mutex> lock(t.mutex);
  return t.entries;
}

std::string dns_type_name(ns_type type) {
  switch (type) {
    case ns_t_a: return "A";
    case ns_t_aaaa: return "AAAA";
    case ns_t_mx: return "MX";
    case ns_t_ptr: return "PTR";
    case ns_t_txt: return "TXT";
    default: return std::to_string(static_cast<int>(type));
  }
}

std::string dns_status_name(SPF_dns_stat_t status, int records) {
  switch (status) {
    case NETDB_SUCCESS: return records > 0 ? "NOERROR" : "NODATA";
    case NO_DATA: return "NODATA";
    case HOST_NOT_FOUND: return "NXDOMAIN";
    case TRY_AGAIN: return "TRY_AGAIN";
    case NO_RECOVERY: return "NO_RECOVERY";
    default: return std::to_string(static_cast<int>(status));
  }
}
