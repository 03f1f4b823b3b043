// SPF library adapter.
//
// Everything the daemon asks of libspf2 goes through the lib_ operations
// below (the one exception is SPF_strresult for the rejection text). There
// is one process-wide SPF server, created by lib_init at start-up and shared
// read-only by the connection threads, and one lib_data per connection with
// that connection's SPF request and latest response.
//
// Failure convention: an operation that fails logs one LOG_ERR line naming
// the libspf2 call ("SPF_request_set_ipv4_str() failed") and returns false;
// the caller then logs its own line, the operation's name followed by
// "() failed - %s" with lib_error_string().

#ifndef HERONSEND_SPF_LIB_H_
#define HERONSEND_SPF_LIB_H_

#include <chrono>
#include <cstdint>

#include "spf/dmarc.h"

extern "C" {
#include <netinet/in.h>
#include <spf2/spf.h>
}

// The process-wide SPF server; none before lib_init and after lib_fini.
extern SPF_server_t *spf_server;

// What the connection's latest query cost: its time and the DNS lookups
// it asked for (spf/dns_cache.h counts them). All zero before the first
// query; queries = 1 once one ran, so a caller can tell a query that cost
// nothing (every answer from the cache) from none at all.
struct check_cost {
  std::int64_t micros = 0;
  std::uint32_t lookups = 0;
  std::uint32_t hits = 0;    // of those, answered from the cache
  std::uint32_t failed = 0;  // of those, failed or timed out
  std::uint32_t queries = 0;
};

struct lib_data {
  lib_data() = default;
  lib_data(const lib_data &) = delete;
  lib_data &operator=(const lib_data &) = delete;
  ~lib_data();  // releases the request and the response

  SPF_request_t *request = nullptr;
  // The response of the connection's latest query, or none.
  SPF_response_t *response = nullptr;
  // The SPF_result_t code of that response, held as a plain unsigned
  // number (so no value is ever an invalid enumerator). It reads
  // SPF_RESULT_INVALID until a query has succeeded, so it always has a
  // defined value.
  std::uint32_t result = SPF_RESULT_INVALID;
  // Why the library gave that result, an SPF_reason_t code held the same
  // way: SPF_REASON_LOCALHOST for its free pass of a loopback client,
  // SPF_REASON_LOCAL_POLICY when the local policy (-l, -t) decided
  // (patches/libspf2/31). SPF_REASON_NONE when no query ran.
  std::uint32_t reason = SPF_REASON_NONE;
  // The error code of the most recent failed operation, for lib_error_string.
  SPF_errcode_t last_error = SPF_E_SUCCESS;
  // The cost of the latest query (lib_do_check, lib_do_helo_check,
  // lib_do_rcpt_check), whether or not it reached a verdict.
  check_cost cost;
  // When the latest query started: a DMARC discovery after it gets the
  // rest of the same check's time limit.
  std::chrono::steady_clock::time_point check_started{};
};

// Creates spf_server with the given DNS layer and the -d debug level. The
// daemon passes SPF_DNS_CACHE, which here means the daemon's own stack:
// libspf2's resolver layer under the bounded cache of spf/dns_cache.h (not
// libspf2's cache layer). Any other type is libspf2's own (unit tests pass
// SPF_DNS_ZONE and fill the zone). Then it routes the library's messages to the system log, and
// compiles config.local_policy (with config.trusted_forwarders) and
// config.explanation when set. A policy or explanation that does not compile
// is reported line by line ("error compiling local policy - %d (%s)", then
// "  Error: ..." or "  Warning: ..." per library message). Returns false on
// any failure; the caller logs "lib_init() failed".
//
// add_top, when given, puts a layer of the caller's on top of the daemon's
// stack (heronsend-check's DNS trace): it gets the stack's top layer and
// returns the new top, which owns the stack from then on, or none (lib_init
// then fails). Only with SPF_DNS_CACHE; the daemon passes none.
using dns_top_layer = SPF_dns_server_t *(*)(SPF_dns_server_t *stack);
bool lib_init(SPF_server_dnstype_t dns_type, dns_top_layer add_top = nullptr);

// Releases spf_server (if any) and the daemon's DNS stack.
void lib_fini();

// A new lib_data with a fresh request, or none (logged when the request
// cannot be made).
lib_data *lib_init_connection_data();

// Releases the request, the response and the record itself.
void lib_free_connection_data(lib_data *lib);

// Makes host_name the receiving domain of the shared SPF server. On
// failure the server keeps the library's default (this host's name). Must
// only run while no other thread uses the server's receiving domain (the
// connection code serialises it).
bool lib_set_local_hostname(lib_data *lib, const char *host_name);

bool lib_set_ipv4(lib_data *lib, const char *address);
bool lib_set_ipv6(lib_data *lib, const char *address);
bool lib_set_helo_hostname(lib_data *lib, const char *name);
bool lib_set_from(lib_data *lib, const char *sender);

// Runs the MAIL FROM query, replacing the response of an earlier message.
// Succeeds whenever the library reached a verdict, including "none",
// "permerror" (the sender's record does not compile) and "temperror" (its
// lookup failed), which the library reports with a non-zero code too;
// lib->result then holds it. Fails only when the query
// produced no verdict: no response, or the query could not run at all.
bool lib_do_check(lib_data *lib);

// Runs the check of the HELO identity (RFC 7208 section 2.3): the HELO
// name as the sender's domain, with the local part "postmaster". A name
// that is not a multi-label domain name (an address literal such as
// "[192.0.2.1]", a single label, an empty label) gives "none" without a
// query (section 4.3). Replaces the response of an earlier query and the
// request's sender (MAIL FROM sets its own). Same success rule and result
// field as lib_do_check.
bool lib_do_helo_check(lib_data *lib, const char *helo);

// Runs the recipient-MX query for one recipient: whether the client is one
// of the MX hosts of the recipient's domain (the text after the last "@",
// or the whole recipient when it has none). Same success rule and result
// field as lib_do_check. A domain that is not a plain host name (letters,
// digits, "-", "_", ".") is not queried: the operation fails with
// SPF_E_INVALID_CHAR.
bool lib_do_rcpt_check(lib_data *lib, const char *recipient);

// The mechanism that matched and decided the latest query's result, as
// "DOMAIN: TERM" (an include's with the included record's own in
// parentheses, see SPF_response_get_matched_mech), or none: no mechanism
// decided (the record's default, an error, no record), no query yet, or a
// system libspf2 without the note.
const char *lib_matched_mechanism(const lib_data *lib);

// The explanation of the latest query's verdict (computed by libspf2 for a
// fail: the sender's exp= text, else the -e text, else the library's
// default), or none. Untrusted: the sender's domain chose it.
const char *lib_explanation(const lib_data *lib);

// -o fail=dmarc: the DMARC policy of domain (spf/dmarc.h), looked up
// through the SPF server's DNS stack within what is left of the latest
// query's time limit.
dmarc_policy lib_dmarc_policy(const lib_data *lib, const char *domain);

// The library's text for the most recent failure of this connection's
// operations: the query's error code when the query failed, otherwise the
// failing call's own code.
const char *lib_error_string(const lib_data *lib);

#endif  // HERONSEND_SPF_LIB_H_
