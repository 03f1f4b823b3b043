#include "spf/lib.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/config.h"
#include "fake_syslog.h"
#include "spf_zone.h"

namespace {

class LibTest : public testing::Test {
 protected:
  void SetUp() override {
    config = daemon_config{};
    clear_log();
  }
  void TearDown() override {
    stop_spf();
    config = daemon_config{};
  }
  void start() {
    ASSERT_TRUE(start_spf_with_zone());
    load_standard_zone();
    lib.reset(lib_init_connection_data());
    ASSERT_NE(lib, nullptr);
  }
  struct deleter {
    void operator()(lib_data *l) const { lib_free_connection_data(l); }
  };
  std::unique_ptr<lib_data, deleter> lib;
};

// -t only adds the trusted-forwarder include to a -l policy; the library's
// own empty default policy stays otherwise.
TEST_F(LibTest, LocalPolicyMechanismsWithAndWithoutTrustedForwarders) {
  const struct {
    const char *policy;
    char trusted;
    int mechanisms;
  } cases[] = {
      {nullptr, 0, 0},
      {nullptr, 1, 0},
      {"ip4:198.51.100.0/24", 0, 1},
      {"ip4:198.51.100.0/24", 1, 2},
  };
  for (const auto &c : cases) {
    config.local_policy = c.policy;
    config.trusted_forwarders = c.trusted;
    ASSERT_TRUE(start_spf_with_zone());
    ASSERT_NE(spf_server->local_policy, nullptr);
    EXPECT_EQ(spf_server->local_policy->num_mech, c.mechanisms);
    EXPECT_TRUE(captured_log().empty());
    stop_spf();
  }
}

// The -l mechanisms are applied: libspf2 inserts them before a record's
// final "-all" (after its last mechanism that is not "-"), so a client they
// name passes where the sender's own record alone fails it.
TEST_F(LibTest, LocalPolicyIsApplied) {
  const struct {
    const char *policy;
    const char *client;
    SPF_result_t result;
    const char *matched;
  } cases[] = {
      {nullptr, "198.51.100.7", SPF_RESULT_FAIL, "pass.test: -all"},
      {"ip4:198.51.100.0/24", "198.51.100.7", SPF_RESULT_PASS,
       "local policy: ip4:198.51.100.0/24"},
      {"ip4:198.51.100.0/24", "203.0.113.7", SPF_RESULT_FAIL,
       "pass.test: -all"},
      {"ip4:198.51.100.0/24", "192.0.2.10", SPF_RESULT_PASS,
       "pass.test: ip4:192.0.2.10"},
  };
  for (const auto &c : cases) {
    config.local_policy = c.policy;
    start();
    ASSERT_TRUE(lib_set_ipv4(lib.get(), c.client));
    ASSERT_TRUE(lib_set_from(lib.get(), "a@pass.test"));
    ASSERT_TRUE(lib_do_check(lib.get()));
    EXPECT_EQ(lib->result, static_cast<std::uint32_t>(c.result))
        << (c.policy ? c.policy : "no policy") << " " << c.client;
    EXPECT_STREQ(lib_matched_mechanism(lib.get()), c.matched);
    lib.reset();
    stop_spf();
  }
}

TEST_F(LibTest, UncompilableTextsGiveTheCompileReport) {
  const struct {
    const char *policy;
    const char *explanation;
    std::vector<log_line> report;
  } cases[] = {
      {"ip4:300.1.2.3", nullptr,
       {{LOG_ERR, "error compiling local policy - 19 (Invalid IPv4 address literal)"},
        {LOG_ERR, "  Error: Invalid IPv4 address literal near '300.1.2.3'"},
        {LOG_ERR, "  Error: Failed to compile local policy 'ip4:300.1.2.3'"}}},
      {nullptr, "%{q}",
       {{LOG_ERR, "error compiling explanation - 12 (Invalid macro variable)"},
        {LOG_ERR, "  Error: Unknown variable 'q' near 'q}'"},
        {LOG_ERR, "  Error: Failed to compile explanation '%{q}'"}}},
      // A blank is literal in an explanation; a "%" must still begin an
      // escape.
      {nullptr, "a % b",
       {{LOG_ERR, "error compiling explanation - 11 (Invalid %-escape character)"},
        {LOG_ERR, "  Error: Invalid %-escape near '% b'"},
        {LOG_ERR, "  Error: Failed to compile explanation 'a % b'"}}},
      {nullptr, "see our policy %",
       {{LOG_ERR, "error compiling explanation - 11 (Invalid %-escape character)"},
        {LOG_ERR, "  Error: Invalid %-escape near '%'"},
        {LOG_ERR, "  Error: Failed to compile explanation 'see our policy %'"}}},
  };
  for (const auto &c : cases) {
    clear_log();
    config.local_policy = c.policy;
    config.explanation = c.explanation;
    EXPECT_FALSE(start_spf_with_zone());
    EXPECT_EQ(captured_log(), c.report);
    stop_spf();
  }
}

// The explanation of a fail, as libspf2 expands it: the -e text, or the
// sender's own exp= record (exp.test), which takes precedence. Blanks are
// kept; "%%" is a percent sign, "%_" a blank and "%-" an encoded blank
// (RFC 7208 section 7); an upper-case macro letter is URL-encoded.
const std::string LONG_EXPLANATION =
    std::string(300, 'x') + " %{d} " + std::string(600, 'y') + "%%";
const std::string LONG_EXPANDED =
    std::string(300, 'x') + " fail.test " + std::string(600, 'y') + "%";

TEST_F(LibTest, ExplanationsExpandWithTheirBlanks) {
  const struct {
    const char *explanation;  // -e
    const char *sender;
    const char *expanded;
  } cases[] = {
      {nullptr, "a@exp.test",
       "192.0.2.1 is not one of exp.test's designated mail servers."},
      {"See our policy page", "a@exp.test",
       "192.0.2.1 is not one of exp.test's designated mail servers."},
      {"See https://example.org/spf?s=%{S}&i=%{I} for why", "a@fail.test",
       "See https://example.org/spf?s=a%40fail.test&i=192.0.2.1 for why"},
      {"Mail from %{i} for %{d} is refused by local policy", "a@fail.test",
       "Mail from 192.0.2.1 for fail.test is refused by local policy"},
      {"rejected: 100%% sure", "a@fail.test", "rejected: 100% sure"},
      {"Please%_see%-this", "a@fail.test", "Please see%20this"},
      {"  two  blanks  ", "a@fail.test", "  two  blanks  "},
      // Longer than one literal block (255) and the former 511-byte room.
      {LONG_EXPLANATION.c_str(), "a@fail.test", LONG_EXPANDED.c_str()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.explanation ? c.explanation : "no -e");
    config.explanation = c.explanation;
    start();
    EXPECT_TRUE(captured_log().empty());
    ASSERT_TRUE(lib_set_ipv4(lib.get(), "192.0.2.1"));
    ASSERT_TRUE(lib_set_from(lib.get(), c.sender));
    ASSERT_TRUE(lib_do_check(lib.get()));
    EXPECT_EQ(lib->result, static_cast<std::uint32_t>(SPF_RESULT_FAIL));
    const char *got = SPF_response_get_explanation(lib->response);
    EXPECT_STREQ(got ? got : "(none)", c.expanded);
    lib.reset();
    stop_spf();
  }
}

TEST_F(LibTest, SetUpFailuresReportTheCallAndItsOwnError) {
  start();
  const struct {
    bool (*op)(lib_data *, const char *);
    const char *arg;
    const char *line;
    SPF_errcode_t code;
  } cases[] = {
      {lib_set_ipv4, "192.0.2.300", "SPF_request_set_ipv4_str() failed",
       SPF_E_INVALID_IP4},
      {lib_set_ipv6, "2001:db8::zz", "SPF_request_set_ipv6_str() failed",
       SPF_E_INVALID_IP6},
  };
  for (const auto &c : cases) {
    clear_log();
    EXPECT_FALSE(c.op(lib.get(), c.arg));
    EXPECT_EQ(captured_log(), (std::vector<log_line>{{LOG_ERR, c.line}}));
    EXPECT_STREQ(lib_error_string(lib.get()), SPF_strerror(c.code));
  }
}

// Every kind of verdict the library reaches is a successful query, even
// when the library returns a non-zero code with it.
// Every verdict, and the mechanism that decided it (none for the record's
// default, an error or no record).
TEST_F(LibTest, EveryVerdictIsASuccessfulQuery) {
  start();
  zone_add_txt("include.test", "v=spf1 ip4:192.0.2.99 include:pass.test -all");
  zone_add_txt("redirect.test", "v=spf1 redirect=pass.test");
  zone_add_txt("default.test", "v=spf1 ip4:192.0.2.99");
  const struct {
    const char *sender;
    SPF_result_t result;
    const char *matched;
  } cases[] = {
      {"a@pass.test", SPF_RESULT_PASS, "pass.test: ip4:192.0.2.10"},
      {"a@fail.test", SPF_RESULT_FAIL, "fail.test: -all"},
      {"a@softfail.test", SPF_RESULT_SOFTFAIL, "softfail.test: ~all"},
      {"a@neutral.test", SPF_RESULT_NEUTRAL, "neutral.test: ?all"},
      {"a@none.test", SPF_RESULT_NONE, nullptr},
      {"a@permerror.test", SPF_RESULT_PERMERROR, nullptr},
      {"a@temperror.test", SPF_RESULT_TEMPERROR, nullptr},
      {"a@invalid.test", SPF_RESULT_PERMERROR, nullptr},
      {"a@ownfail.test", SPF_RESULT_TEMPERROR, nullptr},
      {"a@include.test", SPF_RESULT_PASS,
       "include.test: include:pass.test (pass.test: ip4:192.0.2.10)"},
      {"a@redirect.test", SPF_RESULT_PASS, "pass.test: ip4:192.0.2.10"},
      {"a@default.test", SPF_RESULT_NEUTRAL, nullptr},
  };
  ASSERT_TRUE(lib_set_ipv4(lib.get(), "192.0.2.10"));
  for (const auto &c : cases) {
    SCOPED_TRACE(c.sender);
    clear_log();
    lib->result = 99;
    ASSERT_TRUE(lib_set_from(lib.get(), c.sender));
    EXPECT_TRUE(lib_do_check(lib.get()));
    EXPECT_EQ(lib->result, c.result);
    EXPECT_STREQ(lib_matched_mechanism(lib.get()), c.matched);
    EXPECT_TRUE(captured_log().empty());
  }
}

TEST_F(LibTest, SecondQueryReplacesTheFirstResponse) {
  start();
  ASSERT_TRUE(lib_set_ipv4(lib.get(), "192.0.2.10"));
  ASSERT_TRUE(lib_set_from(lib.get(), "a@pass.test"));
  ASSERT_TRUE(lib_do_check(lib.get()));
  EXPECT_EQ(lib->result, SPF_RESULT_PASS);
  ASSERT_TRUE(lib_set_from(lib.get(), "a@fail.test"));
  ASSERT_TRUE(lib_do_check(lib.get()));
  EXPECT_EQ(lib->result, SPF_RESULT_FAIL);
  EXPECT_EQ(SPF_response_result(lib->response), SPF_RESULT_FAIL);
}

TEST_F(LibTest, ResultIsDefinedBeforeAnyQuery) {
  start();
  EXPECT_EQ(lib->result, SPF_RESULT_INVALID);
}

TEST_F(LibTest, RecipientQueryChecksTheRecipientDomainsMxHosts) {
  start();
  const struct {
    const char *client;
    const char *recipient;
    SPF_result_t result;
  } cases[] = {
      {"192.0.2.10", "rcpt.test", SPF_RESULT_PASS},
      {"192.0.2.10", "user@rcpt.test", SPF_RESULT_PASS},
      {"192.0.2.10", "\"odd@local\"@rcpt.test", SPF_RESULT_PASS},
      {"192.0.2.99", "user@rcpt.test", SPF_RESULT_NEUTRAL},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.recipient);
    ASSERT_TRUE(lib_set_ipv4(lib.get(), c.client));
    ASSERT_TRUE(lib_set_from(lib.get(), "a@pass.test"));
    EXPECT_TRUE(lib_do_rcpt_check(lib.get(), c.recipient));
    EXPECT_EQ(lib->result, c.result);
  }
}

}  // namespace
