// The time limit of one SPF check.
//
// An MTA waits a limited time for a filter's reply (Postfix's
// milter_command_timeout: 30 s), and one sender's record can make a check
// wait far longer: a ptr mechanism with ten names whose address lookups
// time out costs ten full resolver waits (5 s and 2 tries each by default:
// about 100 s), an include chain whose every answer is slow adds up the
// same way. So every check gets CHECK_TIME_LIMIT (RFC 7208 4.6.4 allows a
// limit of at least 20 seconds), after which it ends as temperror.
//
// A check_deadline (a scope object around one query) starts the limit of
// the calling thread's check. Under it the DNS layer of deadline_layer_new,
// which sits between the daemon's cache and libspf2's resolver layer, asks
// a name server only while a whole second is left, and no longer than the
// time left: resolv.conf's timeout and tries are cut down to fit (through
// the resolver's per-thread state), so a query in flight ends by the
// deadline too. A lookup refused for want of time, or cut short and timed
// out, fails as TRY_AGAIN and marks the check expired: the cache does not
// keep that failure (it says nothing about the name), every later lookup of
// the check is refused at once, and the caller turns the verdict into
// temperror. Lookups outside a check get resolv.conf's waits.
//
// Threads: all of it is the calling thread's own (libmilter runs one
// callback, and so one check, on a thread at a time).

#ifndef HERONSEND_SPF_CHECK_DEADLINE_H_
#define HERONSEND_SPF_CHECK_DEADLINE_H_

#include <chrono>

extern "C" {
#include <netinet/in.h>
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}

// Not an option: the longest RFC 7208 allows to cut a check short at, well
// inside what MTAs wait for a reply.
constexpr std::chrono::seconds CHECK_TIME_LIMIT{20};

class check_deadline {
 public:
  explicit check_deadline(
      std::chrono::steady_clock::duration limit = CHECK_TIME_LIMIT);
  ~check_deadline();
  check_deadline(const check_deadline &) = delete;
  check_deadline &operator=(const check_deadline &) = delete;

  // Whether the check ran out of time (a lookup was refused or cut short).
  bool expired() const;
};

// Whether the calling thread's check has run out of time; false outside a
// check.
bool check_time_is_up();

// A resolver's wait for one query: seconds per try and tries (per name
// server, as resolv.conf's timeout and attempts).
struct resolver_wait {
  int timeout = 0;
  int tries = 0;
  bool operator==(const resolver_wait &) const = default;
};

// The longest a query waits with these settings and that many name servers,
// in seconds, as glibc's resolver counts it: per try, the timeout for the
// first server and timeout * 2^i / servers (at least 1) for server i.
int resolver_wait_seconds(resolver_wait wait, int servers);

// The wait for a query with left time left: the configured one when it
// fits, otherwise the most tries (then the longest timeout) that fit; a
// zero wait when not even one try of a second fits.
resolver_wait fit_resolver_wait(resolver_wait configured, int servers,
                                std::chrono::milliseconds left);

// How the layer reads and sets the resolver's waits for the calling thread;
// the default is libspf2's resolver layer. get returns false when there is
// nothing to set (the layer then only refuses lookups past the deadline).
struct resolver_wait_control {
  bool (*get)(resolver_wait *configured, int *servers);
  void (*set)(resolver_wait wait);  // a zero wait restores the configured
};
resolver_wait_control libspf2_resolver_wait();

// A new deadline layer over layer_below (which it owns from then on), or
// none when memory runs out (layer_below is then still the caller's).
SPF_dns_server_t *deadline_layer_new(
    SPF_dns_server_t *layer_below, int debug,
    resolver_wait_control control = libspf2_resolver_wait());

#endif  // HERONSEND_SPF_CHECK_DEADLINE_H_
