// Hostile DNS data through the SPF adapter.
//
// Anyone can publish an SPF or explanation record for a domain they own, and
// one message whose sender names that domain makes the daemon evaluate it;
// sender and recipient texts come from the SMTP client. Each case below once
// made libspf2 write past a buffer, run into undefined behaviour or reach a
// wrong verdict (or is the control right next to such a case). The library
// the daemon builds carries the fixes (patches/libspf2/); Debian 12's
// aborts on several of these. Every case is evaluated in a child process,
// so that a crash fails the case instead of killing the test runner; the
// child exits 0 only when the query ended with the expected verdict, or with
// the fail-open path when that is what is expected.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/config.h"
#include "spf/lib.h"
#include "spf_zone.h"

namespace {

std::string repeat(const std::string &text, int times) {
  std::string out;
  for (int i = 0; i < times; i++) out += text;
  return out;
}

// 127 macros compile to 508 bytes: 3 bytes are left of the compiler's
// 511-byte buffer when the text after them starts a string literal.
const std::string M = repeat("%{d}", 127);

// What the query must end with: a verdict, or no verdict (lib_do_check
// fails and the filter accepts the message unmarked).
constexpr int FAIL_OPEN = -1;

struct hostile_case {
  const char *name;
  std::string record;       // TXT of evil.test
  std::string explanation;  // TXT of e.evil.test, when not empty
  std::string sender;
  int expected;  // an SPF_result_t, or FAIL_OPEN
  // When not null: the explanation the response must carry.
  const char *explanation_text = nullptr;
  // When not empty: the recipient-MX query runs for it instead of the
  // MAIL FROM query.
  std::string recipient = {};
};

// Runs one case; returns the exit status of the child's side of the test.
int evaluate(const hostile_case &c) {
  config = daemon_config{};
  if (!start_spf_with_zone()) {
    std::fprintf(stderr, "%s: lib_init failed\n", c.name);
    return 2;
  }
  zone_add_txt("evil.test", c.record);
  zone_add_a("evil.test", "192.0.2.2");
  if (!c.explanation.empty()) zone_add_txt("e.evil.test", c.explanation);
  lib_data *lib = lib_init_connection_data();
  if (lib == nullptr || !lib_set_ipv4(lib, "192.0.2.1") ||
      !lib_set_from(lib, c.sender.c_str())) {
    std::fprintf(stderr, "%s: request set-up failed\n", c.name);
    return 2;
  }
  bool verdict = c.recipient.empty()
                     ? lib_do_check(lib)
                     : lib_do_rcpt_check(lib, c.recipient.c_str());
  int outcome = verdict ? static_cast<int>(lib->result) : FAIL_OPEN;
  std::string explanation;
  if (lib->response && SPF_response_get_explanation(lib->response))
    explanation = SPF_response_get_explanation(lib->response);
  lib_free_connection_data(lib);
  stop_spf();
  int status = 0;
  if (outcome != c.expected) {
    std::fprintf(stderr, "%s: outcome %d, expected %d\n", c.name, outcome,
                 c.expected);
    status = 1;
  }
  if (c.explanation_text && explanation != c.explanation_text) {
    std::fprintf(stderr, "%s: explanation '%s', expected '%s'\n", c.name,
                 explanation.c_str(), c.explanation_text);
    status = 1;
  }
  return status;
}

void expect_harmless(const hostile_case &c) {
  SCOPED_TRACE(c.name);
  EXPECT_EXIT(std::exit(evaluate(c)), testing::ExitedWithCode(0), "");
}

const std::string EXP_RECORD = "v=spf1 exp=e.evil.test -all";
const std::string SENDER = "user@evil.test";

// Records whose explanation or modifier compiles to more than the compiler's
// buffer holds. A record that does not compile is a permanent error; an
// explanation that does not compile only loses the explanation text.
// (Explanations are now compiled in room sized to their text: the exp cases
// must stay harmless.)
TEST(HostileRecordsTest, OverlongCompiledMacrosAreRefused) {
  const hostile_case cases[] = {
      {"exp127", EXP_RECORD, M + repeat("A", 64), SENDER, SPF_RESULT_FAIL},
      {"exp2", EXP_RECORD,
       repeat("A", 248) + "%{d}" + repeat("B", 244) + "%{d}" + repeat("C", 64),
       SENDER, SPF_RESULT_FAIL},
      {"expesc", EXP_RECORD, M + repeat("%-", 100), SENDER, SPF_RESULT_FAIL},
      {"mod127", "v=spf1 x=" + M + repeat("A", 4000) + " -all", "", SENDER,
       SPF_RESULT_PERMERROR},
      {"mech127", "v=spf1 exists:" + M + repeat("A", 4000) + " -all", "",
       SENDER, SPF_RESULT_PERMERROR},
      {"redir127", "v=spf1 redirect=" + M + repeat("A", 4000), "", SENDER,
       SPF_RESULT_PERMERROR},
      // The control: one macro less leaves room for the literal.
      {"exp126", EXP_RECORD, repeat("%{d}", 126) + repeat("A", 64), SENDER,
       SPF_RESULT_FAIL},
      // A record is compiled whole up to 65535 terms and 256 KiB of them
      // (4 bytes an "a", 8 an ip4); past either it is a permanent error,
      // never a record cut short.
      {"terms65535", "v=spf1 all " + repeat("a ", 65533) + "-all", "", SENDER,
       SPF_RESULT_PASS},
      {"terms65536", "v=spf1 all " + repeat("a ", 65534) + "-all", "", SENDER,
       SPF_RESULT_PERMERROR},
      {"bytes-fit", "v=spf1 all " + repeat("ip4:192.0.2.9 ", 32767), "", SENDER,
       SPF_RESULT_PASS},
      {"bytes-over", "v=spf1 all " + repeat("ip4:192.0.2.9 ", 32768), "", SENDER,
       SPF_RESULT_PERMERROR},
  };
  for (const auto &c : cases) expect_harmless(c);
}

// The compiler must also count the header of a literal that starts with
// fewer than its size left: with 3 bytes left, "AAA" went 4 bytes past the
// explanation buffer.
TEST(HostileRecordsTest, LiteralHeaderIsCountedInTheSpaceLeft) {
  const hostile_case cases[] = {
      {"exp127short", EXP_RECORD, M + "AAA", SENDER, SPF_RESULT_FAIL},
      {"exp128", EXP_RECORD, M + "%{d}", SENDER, SPF_RESULT_FAIL},
      // 127 macros and nothing after them still fit.
      {"exp127alone", EXP_RECORD, M, SENDER, SPF_RESULT_FAIL},
  };
  for (const auto &c : cases) expect_harmless(c);
}

// Macro expansion of the explanation with texts the sender controls: URL
// encoding of bytes above 0x7f, and the reverse transformer with a short
// first label and a long rest.
TEST(HostileRecordsTest, MacroExpansionStaysInItsBuffers) {
  const std::string high_bytes = "\xec\xed\xee\xef\xf0\xfe\xff\x80";
  const std::string long_label = repeat("b", 60);
  const std::string encoded = "%ec%ed%ee%ef%f0%fe%ff%80";
  const std::string EXPECT_L = repeat(encoded, 8);
  const std::string EXPECT_LR_HIGH = long_label + "." + encoded;
  const std::string EXPECT_LR = long_label + ".a";
  const hostile_case cases[] = {
      {"url-local-part", EXP_RECORD, "%{L}", repeat(high_bytes, 8) + "@evil.test",
       SPF_RESULT_FAIL, EXPECT_L.c_str()},
      {"url-sender", EXP_RECORD, "%{S}", high_bytes + "@evil.test",
       SPF_RESULT_FAIL, "%ec%ed%ee%ef%f0%fe%ff%80%40evil.test"},
      {"url-reversed", EXP_RECORD, "%{Lr}", high_bytes + "." + long_label + "@evil.test",
       SPF_RESULT_FAIL, EXPECT_LR_HIGH.c_str()},
      {"reverse-url", EXP_RECORD, "%{Lr}", "a." + long_label + "@evil.test",
       SPF_RESULT_FAIL, EXPECT_LR.c_str()},
      {"reverse-domain-url", EXP_RECORD, "%{Dr}", SENDER, SPF_RESULT_FAIL,
       "test.evil"},
      {"reverse-truncated", EXP_RECORD, "%{d1r}.%{l1r}", "x." + long_label + "@evil.test",
       SPF_RESULT_FAIL, "evil.x"},
  };
  for (const auto &c : cases) expect_harmless(c);
}

// Numbers in a record that do not fit their type: a CIDR length or a
// truncation depth of many digits (once undefined behaviour; 4294967320
// even passed as /24) make the record a permanent error. Empty texts
// before a CIDR once made the compiler index before the text; an empty
// domain-spec is a permanent error too.
TEST(HostileRecordsTest, OutOfRangeNumbersAndEmptyTexts) {
  const std::string huge = "99999999999999999999";
  constexpr int PERMERROR = SPF_RESULT_PERMERROR;  // does not compile
  const hostile_case cases[] = {
      {"cidr4-huge", "v=spf1 a/" + huge + " -all", "", SENDER, PERMERROR},
      {"cidr4-wraps", "v=spf1 a/4294967320 -all", "", SENDER, PERMERROR},
      {"cidr6-huge", "v=spf1 a//" + huge + " -all", "", SENDER, PERMERROR},
      {"cidr4-ip4", "v=spf1 ip4:192.0.2.0/" + huge + " -all", "", SENDER,
       PERMERROR},
      {"depth-huge", "v=spf1 exists:%{d" + huge + "}.x -all", "", SENDER,
       PERMERROR},
      {"depth-wraps", "v=spf1 exists:%{d4294967297}.x -all", "", SENDER,
       PERMERROR},
      {"empty-domain", "v=spf1 a: -all", "", SENDER, PERMERROR},
      {"empty-before-cidr6", "v=spf1 a://64 -all", "", SENDER, PERMERROR},
      {"only-cidr6", "v=spf1 a//64 -all", "", SENDER, SPF_RESULT_FAIL},
      // A prefix of 0 matches every address (a shift by 32 would be
      // undefined); a leading zero is a syntax error.
      {"cidr4-zero", "v=spf1 ip4:198.51.100.0/0 -all", "", SENDER,
       SPF_RESULT_PASS},
      {"a-cidr-zero", "v=spf1 a/0 -all", "", SENDER, SPF_RESULT_PASS},
      {"cidr4-leading-zero", "v=spf1 ip4:192.0.2.1/032 -all", "", SENDER,
       PERMERROR},
  };
  for (const auto &c : cases) expect_harmless(c);
}

// In recipient-MX mode the recipient's domain is compiled into the record
// "v=spf1 mx:DOMAIN", so a recipient address alone would reach the record
// compiler, without any DNS data. The adapter only queries plain host
// names: these recipients are refused before the library sees them (the
// patched library would survive them too).
TEST(HostileRecordsTest, RecipientDomainsDoNotReachTheCompiler) {
  const hostile_case cases[] = {
      {"rcpt-mech127", "", "", SENDER, FAIL_OPEN, nullptr,
       "user@" + M + repeat("A", 4000)},
      {"rcpt-short", "", "", SENDER, FAIL_OPEN, nullptr, "user@" + M + "AAA"},
      {"rcpt-cidr", "", "", SENDER, FAIL_OPEN, nullptr, "user@x/4294967320"},
      {"rcpt-url", "", "", "\xec\xff@evil.test", FAIL_OPEN, nullptr,
       "user@%{L}.%{Lr}.evil.test"},
      {"rcpt-plain", "", "", SENDER, SPF_RESULT_NEUTRAL, nullptr,
       "user@evil.test"},
  };
  for (const auto &c : cases) expect_harmless(c);
}

}  // namespace
