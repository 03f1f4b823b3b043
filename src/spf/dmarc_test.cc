#include "spf/dmarc.h"

#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "spf/check_deadline.h"
#include "spf/lib.h"
#include "spf_zone.h"

namespace {

using kind = dmarc_policy_kind;

TEST(DmarcRecordTest, PolicyOfOneRecord) {
  const struct {
    const char *text;
    bool subdomain;
    bool ok;
    kind k;
    const char *word;
  } cases[] = {
      {"v=DMARC1; p=reject", false, true, kind::enforcing, "reject"},
      {"v=DMARC1;p=Quarantine;pct=10", false, true, kind::enforcing, "Quarantine"},
      {"v = DMARC1 ; p = none ;", false, true, kind::monitor, "none"},
      {"v=DMARC1; p=none; sp=reject", false, true, kind::monitor, "none"},
      {"v=DMARC1; p=none; sp=reject", true, true, kind::enforcing, "reject"},
      {"v=DMARC1; p=reject", true, true, kind::enforcing, "reject"},  // no sp=
      {"v=DMARC1; p=maybe", false, false, kind::none, ""},
      {"v=DMARC1; rua=mailto:a@b.test", false, false, kind::none, ""},  // no p=
      {"p=reject; v=DMARC1", false, false, kind::none, ""},  // version first
      {"v=DMARC2; p=reject", false, false, kind::none, ""},
      {"v=DMARC1; p", false, false, kind::none, ""},
      {"", false, false, kind::none, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.text) + (c.subdomain ? " (subdomain)" : ""));
    kind k = kind::none;
    std::string_view word;
    ASSERT_EQ(dmarc_parse_record(c.text, c.subdomain, &k, &word), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(k, c.k);
    EXPECT_EQ(word, c.word);
  }
}

class DmarcDiscoveryTest : public testing::Test {
 protected:
  void SetUp() override {
    config = daemon_config{};
    config.fail_dmarc = 1;  // lib_init loads the Public Suffix List
    ASSERT_TRUE(start_spf_with_zone());
    zone_add_txt("_dmarc.reject.test", "v=DMARC1; p=reject");
    zone_add_txt("_dmarc.none.test", "v=DMARC1; p=none");
    zone_add_txt("_dmarc.org.test", "v=DMARC1; p=none; sp=quarantine");
    zone_add_txt("_dmarc.parent.test", "v=DMARC1; p=reject");
    zone_add_txt("_dmarc.two.test", "v=DMARC1; p=reject");
    zone_add_txt("_dmarc.two.test", "v=DMARC1; p=none");
    zone_add_txt("_dmarc.bad.test", "v=DMARC1; p=maybe");
    zone_add_txt("_dmarc.other.test", "v=spf1 -all");
    zone_add_txt("_dmarc.sub.own.test", "v=DMARC1; p=none");
    zone_add_txt("_dmarc.own.test", "v=DMARC1; p=reject");
    zone_add_failure("_dmarc.down.test");
    zone_add_failure("_dmarc.orgdown.test");
  }
  void TearDown() override {
    stop_spf();
    config = daemon_config{};
  }
};

TEST_F(DmarcDiscoveryTest, DomainThenOrganizationalDomain) {
  const struct {
    const char *domain;
    kind k;
    const char *policy;
    const char *found_at;
  } cases[] = {
      {"reject.test", kind::enforcing, "reject", "reject.test"},
      {"REJECT.Test.", kind::enforcing, "reject", "reject.test"},
      {"none.test", kind::monitor, "none", "none.test"},
      // Only at the parent: its sp= for a subdomain, else its p=.
      {"mail.org.test", kind::enforcing, "quarantine", "org.test"},
      {"org.test", kind::monitor, "none", "org.test"},
      {"a.b.parent.test", kind::enforcing, "reject", "parent.test"},
      // The domain's own record wins over its parent's.
      {"sub.own.test", kind::monitor, "none", "sub.own.test"},
      // Two records, or one without a valid policy: no policy, and no look
      // at the parent either.
      {"two.test", kind::none, "", "two.test"},
      {"bad.test", kind::none, "", "bad.test"},
      {"other.test", kind::none, "", ""},
      {"nothing.test", kind::none, "", ""},
      {"x.nothing.test", kind::none, "", ""},
      // A failed lookup, at the domain or its parent.
      {"down.test", kind::failed, "", "down.test"},
      {"x.orgdown.test", kind::failed, "", "x.orgdown.test"},
      // Not a domain name: no lookup, no policy.
      {"bad name.test", kind::none, "", ""},
      {"", kind::none, "", ""},
      {"a..test", kind::none, "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.domain);
    dmarc_policy p =
        dmarc_discover(spf_server->resolver, c.domain, CHECK_TIME_LIMIT);
    EXPECT_EQ(p.kind, c.k);
    EXPECT_STREQ(p.policy, c.policy);
    EXPECT_STREQ(p.found_at, c.found_at);
  }
}

TEST_F(DmarcDiscoveryTest, OrganizationalDomainByThePublicSuffixList) {
  const struct {
    const char *domain;
    const char *org;  // none: no organizational domain
  } cases[] = {
      {"mail.example.co.uk", "example.co.uk"},
      {"example.co.uk", "example.co.uk"},
      {"a.b.example.com", "example.com"},
      {"co.uk", nullptr},
      {"a.b.c.test", "c.test"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.domain);
    char org[DMARC_DOMAIN_SIZE] = {};
    bool found = organizational_domain(c.domain, org);
    EXPECT_EQ(found, c.org != nullptr);
    if (found) {
      EXPECT_STREQ(org, c.org);
    }
  }
}

}  // namespace
