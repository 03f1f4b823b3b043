#include "spf/dns_cache.h"

#include <netdb.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "spf/check_deadline.h"
#include "spf/dns_layer.h"

extern "C" {
#include <spf2/spf_dns_rr.h>
}

namespace {

// What the C library's allocator adds to every allocation, roughly.
constexpr std::size_t kChunkOverhead = 16;

struct entry {
  std::string key;  // the record type's two bytes, then the name
  SPF_dns_rr_t *rr = nullptr;  // the kept copy
  std::int64_t expires = 0;    // clock seconds
  std::size_t bytes = 0;
};

// The list node, the map node with its share of the bucket array, and the
// key's own buffer when it does not fit the string.
constexpr std::size_t kEntryOverhead =
    sizeof(entry) + 2 * sizeof(void *) + kChunkOverhead +  // list node
    64 + kChunkOverhead;                                   // map node, bucket

struct shard {
  std::mutex mutex;
  std::list<entry> lru;  // most recently used first
  std::unordered_map<std::string_view, std::list<entry>::iterator> index;
  std::size_t bytes = 0;
};

struct cache {
  dns_cache_limits limits;
  dns_cache_clock clock;
  std::size_t shard_entries;  // per shard
  std::size_t shard_bytes;
  std::size_t largest_answer;
  std::unique_ptr<shard[]> shards;
  std::atomic<std::uint64_t> hits{0}, misses{0}, evictions{0};
};

std::int64_t monotonic_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec;
}

cache *cache_of(SPF_dns_server_t *layer) {
  return static_cast<cache *>(layer->hook);
}

// The memory an answer holds, as SPF_dns_rr_t lays it out.
std::size_t answer_bytes(const SPF_dns_rr_t *rr) {
  std::size_t n = sizeof *rr + kChunkOverhead;
  if (rr->domain) n += rr->domain_buf_len + kChunkOverhead;
  if (rr->rr) {
    n += rr->rr_buf_num * sizeof *rr->rr + kChunkOverhead;
    for (int i = 0; i < rr->rr_buf_num; i++)
      if (rr->rr[i]) n += rr->rr_buf_len[i] + kChunkOverhead;
  }
  if (rr->rr_buf_len) n += rr->rr_buf_num * sizeof *rr->rr_buf_len + kChunkOverhead;
  return n;
}

// Seconds to keep an answer, by the rules in the header.
std::int64_t keep_seconds(const dns_cache_limits &limits,
                          const SPF_dns_rr_t *rr) {
  switch (rr->herrno) {
    case NETDB_SUCCESS:
      if (rr->num_rr <= 0) return limits.negative_ttl;
      if (rr->ttl < limits.min_ttl) return limits.min_ttl;
      if (rr->ttl > limits.max_ttl) return limits.max_ttl;
      return rr->ttl;
    case HOST_NOT_FOUND:
    case NO_DATA:
      return limits.negative_ttl;
    default:
      return limits.error_ttl;
  }
}

// A copy for the caller, or none when memory runs out.
SPF_dns_rr_t *copy_answer(SPF_dns_rr_t *rr) {
  SPF_dns_rr_t *copy = nullptr;
  if (SPF_dns_rr_dup(&copy, rr) != SPF_E_SUCCESS) {
    if (copy) SPF_dns_rr_free(copy);
    return nullptr;
  }
  return copy;
}

// Drops one entry. The shard's mutex is held.
void drop(shard &s, std::list<entry>::iterator it) {
  s.index.erase(std::string_view(it->key));
  s.bytes -= it->bytes;
  SPF_dns_rr_free(it->rr);
  s.lru.erase(it);
}

// The caller's copy of a live entry, or none. Drops an expired entry.
SPF_dns_rr_t *find(cache &c, shard &s, std::string_view key) {
  std::lock_guard<std::mutex> lock(s.mutex);
  auto found = s.index.find(key);
  if (found == s.index.end()) return nullptr;
  auto it = found->second;
  std::int64_t left = it->expires - c.clock();
  if (left <= 0) {
    drop(s, it);
    return nullptr;
  }
  SPF_dns_rr_t *copy = copy_answer(it->rr);
  if (copy == nullptr) return nullptr;
  copy->ttl = static_cast<time_t>(left);
  s.lru.splice(s.lru.begin(), s.lru, it);
  return copy;
}

// Keeps a copy of answer under key, dropping the least recently used
// entries beyond the shard's bounds. Memory trouble only means the answer
// is not kept.
void keep(cache &c, shard &s, std::string &&key, SPF_dns_rr_t *answer) {
  SPF_dns_rr_t *kept = copy_answer(answer);
  if (kept == nullptr) return;
  std::size_t bytes = answer_bytes(kept) + kEntryOverhead +
                      (key.size() > 15 ? key.capacity() + 1 + kChunkOverhead : 0);
  if (bytes > c.largest_answer) {
    SPF_dns_rr_free(kept);
    return;
  }
  std::int64_t expires = c.clock() + keep_seconds(c.limits, answer);
  std::lock_guard<std::mutex> lock(s.mutex);
  auto found = s.index.find(std::string_view(key));
  if (found != s.index.end()) drop(s, found->second);
  try {
    s.lru.push_front(entry{std::move(key), kept, expires, bytes});
  } catch (...) {
    SPF_dns_rr_free(kept);
    return;
  }
  try {
    s.index.emplace(std::string_view(s.lru.front().key), s.lru.begin());
  } catch (...) {
    SPF_dns_rr_free(kept);
    s.lru.pop_front();
    return;
  }
  s.bytes += bytes;
  while (s.lru.size() > c.shard_entries || s.bytes > c.shard_bytes) {
    auto last = std::prev(s.lru.end());
    if (last->expires > c.clock()) c.evictions.fetch_add(1, std::memory_order_relaxed);
    drop(s, last);
  }
}

thread_local dns_lookup_tally thread_tally;

// An answer from the layer below that says the lookup failed, as opposed
// to "found" or "does not exist".
bool is_failure(const SPF_dns_rr_t *answer) {
  return answer == nullptr || (answer->herrno != NETDB_SUCCESS &&
                               answer->herrno != HOST_NOT_FOUND &&
                               answer->herrno != NO_DATA);
}

SPF_dns_rr_t *cache_lookup(SPF_dns_server_t *layer, const char *domain,
                           ns_type rr_type, int should_cache) {
  cache &c = *cache_of(layer);
  thread_tally.lookups++;
  std::string key;
  shard *s = nullptr;
  try {
    key.reserve(2 + std::strlen(domain));
    key.push_back(static_cast<char>((rr_type >> 8) & 0xFF));
    key.push_back(static_cast<char>(rr_type & 0xFF));
    key.append(domain);
    std::size_t h = std::hash<std::string_view>()(key);
    s = &c.shards[(h >> 7) & static_cast<std::size_t>(c.limits.shards - 1)];
    if (SPF_dns_rr_t *copy = find(c, *s, key)) {
      c.hits.fetch_add(1, std::memory_order_relaxed);
      thread_tally.hits++;
      return copy;
    }
  } catch (...) {
    s = nullptr;  // no memory for the key: ask below, keep nothing
  }
  c.misses.fetch_add(1, std::memory_order_relaxed);
  if (layer->layer_below == nullptr)
    return SPF_dns_rr_new_nxdomain(layer, domain);
  SPF_dns_rr_t *answer =
      SPF_dns_lookup(layer->layer_below, domain, rr_type, should_cache);
  // A failure after the check ran out of time is the deadline's, not the
  // name's: it is not kept (check_deadline.h).
  bool failed = is_failure(answer);
  if (failed) thread_tally.failed++;
  bool deadline_failure = answer != nullptr && failed && check_time_is_up();
  if (answer != nullptr && s != nullptr && !deadline_failure)
    keep(c, *s, std::move(key), answer);
  return answer;
}

void cache_destroy(SPF_dns_server_t *layer) {
  cache *c = cache_of(layer);
  if (c != nullptr) {
    for (int i = 0; i < c->limits.shards; i++)
      for (entry &e : c->shards[i].lru) SPF_dns_rr_free(e.rr);
    delete c;
  }
  std::free(layer);
}

bool usable(const dns_cache_limits &l) {
  bool power_of_two = l.shards >= 1 && l.shards <= 1024 &&
                      (l.shards & (l.shards - 1)) == 0;
  return power_of_two && l.max_entries >= static_cast<std::size_t>(l.shards) &&
         l.max_bytes >= static_cast<std::size_t>(l.shards) * 4096 &&
         l.min_ttl >= 0 && l.min_ttl <= l.max_ttl && l.negative_ttl >= 0 &&
         l.error_ttl >= 0;
}

}  // namespace

SPF_dns_server_t *dns_cache_new(SPF_dns_server_t *layer_below, int debug,
                                const dns_cache_limits &limits,
                                dns_cache_clock clock) {
  if (!usable(limits)) return nullptr;
  cache *c = new (std::nothrow) cache;
  if (c != nullptr) c->shards.reset(new (std::nothrow) shard[limits.shards]);
  if (c == nullptr || c->shards == nullptr) {
    delete c;
    return nullptr;
  }
  c->limits = limits;
  c->clock = clock ? clock : monotonic_seconds;
  c->shard_entries = limits.max_entries / limits.shards;
  c->shard_bytes = limits.max_bytes / limits.shards;
  c->largest_answer = c->shard_bytes / 8;
  SPF_dns_server_t *layer = dns_layer_new("heronsend cache", cache_lookup,
                                          cache_destroy, layer_below, debug, c);
  if (layer == nullptr) delete c;
  return layer;
}

dns_lookup_tally dns_lookup_tally_of_thread() { return thread_tally; }

dns_cache_stats dns_cache_stats_of(SPF_dns_server_t *layer) {
  cache &c = *cache_of(layer);
  dns_cache_stats stats;
  for (int i = 0; i < c.limits.shards; i++) {
    std::lock_guard<std::mutex> lock(c.shards[i].mutex);
    stats.entries += c.shards[i].lru.size();
    stats.bytes += c.shards[i].bytes;
  }
  stats.hits = c.hits.load(std::memory_order_relaxed);
  stats.misses = c.misses.load(std::memory_order_relaxed);
  stats.evictions = c.evictions.load(std::memory_order_relaxed);
  return stats;
}
