// A DNS trace, as one layer of libspf2's stack of DNS layers.
//
// heronsend-check puts it on top of the daemon's own stack (the bounded
// cache over libspf2's resolver layer) to show every lookup an SPF
// evaluation made: the record type and name asked for, the answer's status
// and records, whether the cache answered it, and how long it took. It
// passes every lookup on unchanged and only records; the daemon does not
// use it.
//
// Threads: lookups are recorded under a lock, so several threads may look
// up through one trace; the entries are read once the lookups are done.

#ifndef HERONSEND_SPF_DNS_TRACE_H_
#define HERONSEND_SPF_DNS_TRACE_H_

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <netinet/in.h>
#include <spf2/spf.h>
#include <spf2/spf_dns.h>
}

struct dns_trace_entry {
  ns_type type = ns_t_invalid;
  std::string name;
  SPF_dns_stat_t status = NETDB_SUCCESS;  // the answer's h_errno code
  // The records of the asked type, as text: addresses for A and AAAA, host
  // names for MX and PTR, the text itself for TXT (control characters as
  // they came).
  std::vector<std::string> records;
  bool cached = false;          // the cache layer answered from memory
  std::int64_t microseconds = 0;
};

// A new trace layer over layer_below (which it owns from then on:
// SPF_dns_free of the trace frees the layer below too), or none when memory
// runs out (layer_below is then still the caller's). cache, when not none,
// is a layer made by dns_cache_new at or below layer_below: a lookup it
// answered from memory is marked cached.
SPF_dns_server_t *dns_trace_new(SPF_dns_server_t *layer_below,
                                SPF_dns_server_t *cache);

// The lookups recorded so far by a layer made by dns_trace_new, in order.
std::vector<dns_trace_entry> dns_trace_entries(SPF_dns_server_t *trace);

// "A", "AAAA", "MX", "PTR", "TXT", or the type's number.
std::string dns_type_name(ns_type type);

// The status as a DNS reader knows it: "NOERROR" (records found), "NODATA"
// (the name has none of that type), "NXDOMAIN", "TRY_AGAIN" (a server
// failure, a refusal or a timeout), "NO_RECOVERY", or the code's number.
std::string dns_status_name(SPF_dns_stat_t status, int records);

#endif  // HERONSEND_SPF_DNS_TRACE_H_
