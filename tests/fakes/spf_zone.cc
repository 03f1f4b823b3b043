#include "spf_zone.h"

#include "spf/lib.h"

extern "C" {
#include <spf2/spf_dns_zone.h>
}

namespace {

void add(const std::string &name, ns_type type, int status, const char *data) {
  SPF_dns_zone_add_str(spf_server->resolver, name.c_str(), type, status, data);
}

}  // namespace

bool start_spf_with_zone() { return lib_init(SPF_DNS_ZONE); }

void stop_spf() { lib_fini(); }

void zone_add_txt(const std::string &name, const std::string &text) {
  add(name, ns_t_txt, NETDB_SUCCESS, text.c_str());
}

void zone_add_a(const std::string &name, const std::string &address) {
  add(name, ns_t_a, NETDB_SUCCESS, address.c_str());
}

void zone_add_aaaa(const std::string &name, const std::string &address) {
  add(name, ns_t_aaaa, NETDB_SUCCESS, address.c_str());
}

void zone_add_mx(const std::string &name, const std::string &host) {
  add(name, ns_t_mx, NETDB_SUCCESS, host.c_str());
}

void zone_add_failure(const std::string &name) {
  add(name, ns_t_txt, TRY_AGAIN, nullptr);
}

void load_standard_zone() {
  zone_add_txt("pass.test", "v=spf1 ip4:192.0.2.10 ip6:2001:db8::10 -all");
  zone_add_txt("fail.test", "v=spf1 -all");
  zone_add_txt("softfail.test", "v=spf1 ~all");
  zone_add_txt("neutral.test", "v=spf1 ?all");
  zone_add_txt("permerror.test", "v=spf1 include:broken.test -all");
  zone_add_txt("broken.test", "v=spf1 ip4:not-an-address -all");
  zone_add_txt("temperror.test", "v=spf1 include:dnsfail.test -all");
  zone_add_failure("dnsfail.test");
  zone_add_txt("invalid.test", "v=spf1 ip4:not-an-address -all");
  zone_add_failure("ownfail.test");
  zone_add_txt("exp.test", "v=spf1 exp=why.exp.test -all");
  zone_add_txt("why.exp.test",
               "%{i} is not one of %{d}'s designated mail servers.");
  zone_add_mx("rcpt.test", "mx.rcpt.test");
  zone_add_a("mx.rcpt.test", "192.0.2.10");
}
