// Real SPF evaluation without a DNS server: starts the SPF adapter with
// libspf2's in-memory zone layer and fills the zone. The zone answers
// "host not found" for every name it does not hold.

#ifndef HERONSEND_TESTS_FAKES_SPF_ZONE_H_
#define HERONSEND_TESTS_FAKES_SPF_ZONE_H_

#include <string>

// lib_init(SPF_DNS_ZONE) with the current config; false if it failed.
bool start_spf_with_zone();
// lib_fini().
void stop_spf();

void zone_add_txt(const std::string &name, const std::string &text);
void zone_add_a(const std::string &name, const std::string &address);
void zone_add_aaaa(const std::string &name, const std::string &address);
void zone_add_mx(const std::string &name, const std::string &host);
// Lookups of name (TXT, or the given type) fail temporarily (TRY_AGAIN).
void zone_add_failure(const std::string &name);

// The standard test zone used by the filter tests:
//   pass.test      "v=spf1 ip4:192.0.2.10 ip6:2001:db8::10 -all"
//   fail.test      "v=spf1 -all"
//   softfail.test  "v=spf1 ~all"
//   neutral.test   "v=spf1 ?all"
//   (none.test has no record)
//   permerror.test "v=spf1 include:broken.test -all"  (broken.test has a bad record)
//   temperror.test "v=spf1 include:dnsfail.test -all" (dnsfail.test lookups fail)
//   invalid.test   a record that does not compile (permerror)
//   ownfail.test   its own lookup fails (temperror)
//   exp.test       fails with an exp= explanation
//   rcpt.test      MX mx.rcpt.test, whose A record is 192.0.2.10
void load_standard_zone();

#endif  // HERONSEND_TESTS_FAKES_SPF_ZONE_H_
