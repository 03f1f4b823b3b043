// Hostile DNS data through the SPF adapter.
//
// Anyone can publish an SPF or explanation record for a domain they own, and
// one message whose sender names that domain makes the daemon evaluate it.
// Each record below once made libspf2 write past a buffer (or is the control
// right next to such a record). Every case is evaluated in a child process,
// so that a crash fails the case instead of killing the test runner; the
// child exits 0 only when the query ended with the expected verdict, or with
// the fail-open path when that is what is expected.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "daemon/config.h"
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
};

// Runs one case; returns the exit status of the child's side of the test.
int evaluate(const hostile_case &c) {
  config = daemon_config{};
  if (!start_spf_with_zone()) {
    std::fprintf(stderr, "%s: lib_init failed\n", c.name);
    return 2;
  }
  zone_add_txt("evil.test", c.record);
  if (!c.explanation.empty()) zone_add_txt("e.evil.test", c.explanation);
  lib_data *lib = lib_init_connection_data();
  if (lib == nullptr || !lib_set_ipv4(lib, "192.0.2.1") ||
      !lib_set_from(lib, c.sender.c_str())) {
    std::fprintf(stderr, "%s: request set-up failed\n", c.name);
    return 2;
  }
  int outcome = lib_do_check(lib) ? static_cast<int>(lib->result) : FAIL_OPEN;
  lib_free_connection_data(lib);
  stop_spf();
  if (outcome != c.expected) {
    std::fprintf(stderr, "%s: outcome %d, expected %d\n", c.name, outcome,
                 c.expected);
    return 1;
  }
  return 0;
}

void expect_harmless(const hostile_case &c) {
  SCOPED_TRACE(c.name);
  EXPECT_EXIT(std::exit(evaluate(c)), testing::ExitedWithCode(0), "");
}

const std::string EXP_RECORD = "v=spf1 exp=e.evil.test -all";
const std::string SENDER = "user@evil.test";

// Records whose explanation or modifier compiles to more than the compiler's
// buffer holds. The record itself still fails the client; an explanation
// that does not compile only loses the explanation text.
TEST(HostileRecordsTest, OverlongCompiledMacrosAreRefused) {
  const hostile_case cases[] = {
      {"exp127", EXP_RECORD, M + repeat("A", 64), SENDER, SPF_RESULT_FAIL},
      {"exp2", EXP_RECORD,
       repeat("A", 248) + "%{d}" + repeat("B", 244) + "%{d}" + repeat("C", 64),
       SENDER, SPF_RESULT_FAIL},
      {"expesc", EXP_RECORD, M + repeat("%-", 100), SENDER, SPF_RESULT_FAIL},
      {"mod127", "v=spf1 x=" + M + repeat("A", 4000) + " -all", "", SENDER,
       SPF_RESULT_INVALID},
      {"mech127", "v=spf1 exists:" + M + repeat("A", 4000) + " -all", "",
       SENDER, SPF_RESULT_INVALID},
      {"redir127", "v=spf1 redirect=" + M + repeat("A", 4000), "", SENDER,
       SPF_RESULT_INVALID},
      // The control: one macro less leaves room for the literal.
      {"exp126", EXP_RECORD, repeat("%{d}", 126) + repeat("A", 64), SENDER,
       SPF_RESULT_FAIL},
  };
  for (const auto &c : cases) expect_harmless(c);
}

}  // namespace
