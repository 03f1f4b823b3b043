#include "spf/check_deadline.h"

#include <netdb.h>

#include <cstdlib>
#include <new>

#include "spf/dns_layer.h"

extern "C" {
#include <spf2/spf_dns_resolv.h>
#include <spf2/spf_dns_rr.h>
}

namespace {

using clock_type = std::chrono::steady_clock;

struct thread_check {
  bool active = false;
  bool expired = false;
  clock_type::time_point deadline{};
};

thread_local thread_check current;

resolver_wait_control &control_of(SPF_dns_server_t *layer) {
  return *static_cast<resolver_wait_control *>(layer->hook);
}

// Refused for want of time: a failure like a timeout, made by this layer.
SPF_dns_rr_t *out_of_time(SPF_dns_server_t *layer, const char *domain,
                          ns_type rr_type) {
  current.expired = true;
  return SPF_dns_rr_new_init(layer, domain, rr_type, 0, TRY_AGAIN);
}

SPF_dns_rr_t *deadline_lookup(SPF_dns_server_t *layer, const char *domain,
                              ns_type rr_type, int should_cache) {
  SPF_dns_server_t *below = layer->layer_below;
  if (below == nullptr) return SPF_dns_rr_new_nxdomain(layer, domain);
  if (!current.active) return SPF_dns_lookup(below, domain, rr_type, should_cache);
  if (current.expired) return out_of_time(layer, domain, rr_type);

  const resolver_wait_control &control = control_of(layer);
  resolver_wait configured;
  int servers = 1;
  bool settable = control.get(&configured, &servers);
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      current.deadline - clock_type::now());
  if (!settable)  // nothing to fit: only refuse past the deadline
    return left.count() > 0 ? SPF_dns_lookup(below, domain, rr_type, should_cache)
                            : out_of_time(layer, domain, rr_type);
  resolver_wait wait = fit_resolver_wait(configured, servers, left);
  if (wait.tries == 0) return out_of_time(layer, domain, rr_type);
  if (wait == configured)
    return SPF_dns_lookup(below, domain, rr_type, should_cache);

  control.set(wait);
  auto start = clock_type::now();
  SPF_dns_rr_t *answer = SPF_dns_lookup(below, domain, rr_type, should_cache);
  control.set(resolver_wait{});
  // A failure that took most of the shortened wait timed out: with the full
  // wait it might have been answered. A quick failure (SERVFAIL, REFUSED)
  // is the name server's own answer.
  auto took = clock_type::now() - start;
  if (answer != nullptr && answer->herrno == TRY_AGAIN &&
      took * 2 >= std::chrono::seconds(resolver_wait_seconds(wait, servers)))
    current.expired = true;
  return answer;
}

// SPF_dns_free frees the layer below itself.
void deadline_destroy(SPF_dns_server_t *layer) {
  delete static_cast<resolver_wait_control *>(layer->hook);
  std::free(layer);
}

bool libspf2_get(resolver_wait *configured, int *servers) {
  return SPF_dns_resolv_get_wait(&configured->timeout, &configured->tries,
                                 servers) != 0;
}

void libspf2_set(resolver_wait wait) {
  SPF_dns_resolv_set_wait(wait.timeout, wait.tries);
}

}  // namespace

check_deadline::check_deadline(clock_type::duration limit) {
  current = thread_check{true, false, clock_type::now() + limit};
}

check_deadline::~check_deadline() { current = thread_check{}; }

bool check_deadline::expired() const { return current.expired; }

bool check_time_is_up() { return current.active && current.expired; }

int resolver_wait_seconds(resolver_wait wait, int servers) {
  if (servers < 1) servers = 1;
  int per_try = 0;
  for (int i = 0; i < servers; i++) {
    int seconds = i == 0 ? wait.timeout : (wait.timeout << i) / servers;
    per_try += seconds > 0 ? seconds : 1;
  }
  return per_try * wait.tries;
}

resolver_wait fit_resolver_wait(resolver_wait configured, int servers,
                                std::chrono::milliseconds left) {
  long seconds = static_cast<long>(left.count() / 1000);
  if (resolver_wait_seconds(configured, servers) <= seconds) return configured;
  for (int tries = configured.tries; tries >= 1; tries--)
    for (int timeout = configured.timeout; timeout >= 1; timeout--)
      if (resolver_wait_seconds({timeout, tries}, servers) <= seconds)
        return {timeout, tries};
  return {};
}

resolver_wait_control libspf2_resolver_wait() {
  return {libspf2_get, libspf2_set};
}

SPF_dns_server_t *deadline_layer_new(SPF_dns_server_t *layer_below, int debug,
                                     resolver_wait_control control) {
  auto *hook = new (std::nothrow) resolver_wait_control(control);
  if (hook == nullptr) return nullptr;
  SPF_dns_server_t *layer = dns_layer_new("heronsend deadline", deadline_lookup,
                                          deadline_destroy, layer_below, debug, hook);
  if (layer == nullptr) delete hook;
  return layer;
}
