#include "spf/dns_trace.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <string>
#include <vector>

#include "spf/dns_cache.h"

extern "C" {
#include <spf2/spf_dns_rr.h>
#include <spf2/spf_dns_zone.h>
}

namespace {

// The trace over the daemon's cache over a zone: each lookup is recorded
// with its answer, and a repeated one as answered by the cache.
TEST(DnsTraceTest, RecordsEveryLookupWithItsAnswer) {
  SPF_dns_server_t *zone = SPF_dns_zone_new(nullptr, "zone", 0);
  ASSERT_NE(zone, nullptr);
  SPF_dns_zone_add_str(zone, "pass.test", ns_t_txt, NETDB_SUCCESS, "v=spf1 -all");
  SPF_dns_zone_add_str(zone, "mail.test", ns_t_a, NETDB_SUCCESS, "192.0.2.10");
  SPF_dns_zone_add_str(zone, "mail.test", ns_t_a, NETDB_SUCCESS, "192.0.2.11");
  SPF_dns_zone_add_str(zone, "mail.test", ns_t_mx, NETDB_SUCCESS, "mx.test");
  SPF_dns_zone_add_str(zone, "v6.test", ns_t_aaaa, NETDB_SUCCESS, "2001:db8::1");
  SPF_dns_zone_add_str(zone, "down.test", ns_t_txt, TRY_AGAIN, nullptr);
  SPF_dns_server_t *cache = dns_cache_new(zone, 0, dns_cache_limits{});
  ASSERT_NE(cache, nullptr);
  SPF_dns_server_t *trace = dns_trace_new(cache, cache);
  ASSERT_NE(trace, nullptr);

  const struct {
    const char *name;
    ns_type type;
    const char *status;
    std::vector<std::string> records;
    bool cached;
  } cases[] = {
      {"pass.test", ns_t_txt, "NOERROR", {"v=spf1 -all"}, false},
      {"pass.test", ns_t_txt, "NOERROR", {"v=spf1 -all"}, true},
      {"mail.test", ns_t_a, "NOERROR", {"192.0.2.10", "192.0.2.11"}, false},
      {"mail.test", ns_t_mx, "NOERROR", {"mx.test"}, false},
      {"v6.test", ns_t_aaaa, "NOERROR", {"2001:db8::1"}, false},
      {"nx.test", ns_t_txt, "NXDOMAIN", {}, false},
      {"down.test", ns_t_txt, "TRY_AGAIN", {}, false},
  };
  for (const auto &c : cases) SPF_dns_rr_free(SPF_dns_lookup(trace, c.name, c.type, 1));
  std::vector<dns_trace_entry> entries = dns_trace_entries(trace);
  ASSERT_EQ(entries.size(), std::size(cases));
  for (std::size_t i = 0; i < entries.size(); i++) {
    SCOPED_TRACE(cases[i].name);
    const dns_trace_entry &e = entries[i];
    EXPECT_EQ(e.name, cases[i].name);
    EXPECT_EQ(e.type, cases[i].type);
    EXPECT_EQ(dns_status_name(e.status, static_cast<int>(e.records.size())),
              cases[i].status);
    EXPECT_EQ(e.records, cases[i].records);
    EXPECT_EQ(e.cached, cases[i].cached);
    EXPECT_GE(e.microseconds, 0);
  }
  EXPECT_EQ(dns_type_name(ns_t_txt), "TXT");
  SPF_dns_free(trace);  // the cache and the zone with it
}

}  // namespace
