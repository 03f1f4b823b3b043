// A bounded DNS cache, as one layer of libspf2's stack of DNS layers.
//
// libspf2 asks its DNS layer for one name and record type at a time; a layer
// that cannot answer asks the layer below it. This layer sits between the SPF
// server and the resolver layer: it answers from memory when it holds a live
// copy of the answer, otherwise it asks the layer below and keeps a copy.
// Every answer is handed out as the caller's own SPF_dns_rr_t (libspf2 frees
// it).
//
// libspf2's own cache layer is not used: nothing bounds its size (whoever can
// send mail can fill it with fresh names), one mutex covers every name and is
// held while its chains are walked, and it keeps TXT answers and DNS errors
// for at least 30 minutes.
//
// How long an answer is kept:
//   - records found: their DNS TTL (the lowest in the answer, as the
//     resolver layer reports it), held between min_ttl and max_ttl;
//   - the name or the record type does not exist (HOST_NOT_FOUND, NO_DATA,
//     or an answer without records): negative_ttl;
//   - the lookup failed (TRY_AGAIN for SERVFAIL, refusals and timeouts,
//     NO_RECOVERY, anything else): error_ttl, a few seconds, so a name
//     server that failed once is asked again within seconds; not at all
//     when it failed after the thread's check ran out of time
//     (check_deadline.h): that failure is the deadline's.
//
// Size: at most max_entries answers and max_bytes of memory (an estimate of
// what the entries hold, allocator overhead included), both split evenly
// over the shards. A full shard drops its least recently used entries. An
// answer larger than an eighth of a shard's byte share is passed on without
// being kept.
//
// Threads: a name's shard is chosen by its hash; each shard has its own
// mutex, held only to find, copy, insert or drop entries and never while the
// layer below is asked. Lookups of names in different shards do not wait for
// each other. Two threads that miss the same name at once both ask the layer
// below; the later answer replaces the earlier one.

#ifndef HERONSEND_SPF_DNS_CACHE_H_
#define HERONSEND_SPF_DNS_CACHE_H_

#include <cstddef>
#include <cstdint>

extern "C" {
#include <netinet/in.h>
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}

struct dns_cache_limits {
  int shards = 64;                         // a power of two, 1 to 1024
  std::size_t max_entries = 65536;         // over all shards
  std::size_t max_bytes = 32 << 20;        // over all shards
  std::int64_t min_ttl = 30;               // seconds
  std::int64_t max_ttl = 3600;
  std::int64_t negative_ttl = 60;
  std::int64_t error_ttl = 5;
};

// Seconds on a clock that never goes back. The default is the monotonic
// clock; tests pass their own.
using dns_cache_clock = std::int64_t (*)();

// A new cache layer over layer_below (which it owns from then on:
// SPF_dns_free of the cache layer frees the layer below too). Returns none
// when the limits are unusable (shards not a power of two in range, no
// entries or bytes, a negative TTL bound, min_ttl above max_ttl) or memory
// runs out; layer_below is then still the caller's.
SPF_dns_server_t *dns_cache_new(SPF_dns_server_t *layer_below, int debug,
                                const dns_cache_limits &limits,
                                dns_cache_clock clock = nullptr);

struct dns_cache_stats {
  std::size_t entries = 0;
  std::size_t bytes = 0;  // the estimate that max_bytes bounds
  std::uint64_t hits = 0;
  std::uint64_t misses = 0;      // lookups passed to the layer below
  std::uint64_t evictions = 0;   // live entries dropped to make room
};

// The figures of a layer made by dns_cache_new.
dns_cache_stats dns_cache_stats_of(SPF_dns_server_t *layer);

// The lookups the calling thread has asked of any cache layer since it
// started: every lookup, those answered from memory, and those the layer
// below answered with a failure (SERVFAIL, a refusal, a timeout, a lookup
// refused for want of time). Per thread, so counting takes no lock and
// costs nothing shared; a check's share is the difference of two readings
// (lib.cc does that around each query).
struct dns_lookup_tally {
  std::uint64_t lookups = 0;
  std::uint64_t hits = 0;
  std::uint64_t failed = 0;
};
dns_lookup_tally dns_lookup_tally_of_thread();

#endif  // HERONSEND_SPF_DNS_CACHE_H_
