#include "common/safe_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SafeTextTest, LogText) {
  const std::string long_text(1200, 'a');
  const struct {
    const char *in;
    std::string out;
  } cases[] = {
      {"mail.example.org", "mail.example.org"},
      {nullptr, ""},
      {"a\r\nb", "a\\x0d\\x0ab"},
      {"tab\there\x7f", "tab\\x09here\\x7f"},
      {"back\\slash", "back\\\\slash"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},  // 8-bit text passes
      {long_text.c_str(), std::string(1000, 'a') + "..."},
  };
  for (const auto &c : cases) EXPECT_EQ(log_text(c.in).c_str(), c.out);
  // A cut never splits an escape.
  std::string near_end = std::string(998, 'a') + "\n";
  EXPECT_EQ(log_text(near_end.c_str()).c_str(), std::string(998, 'a') + "...");
}

// A key=value reader that splits at blanks and each field at its first
// "=" cannot be fooled by a value: no blank, quote or control character
// stays bare, "-" (none) and "" are told apart from real values.
TEST(SafeTextTest, KeyValueValues) {
  const std::string longest(256, 'a'), too_long(300, 'b');
  const struct {
    const char *in;
    std::string out;
  } cases[] = {
      {"alice@example.org", "alice@example.org"},
      {"SRS0=x=y@fwd.example", "SRS0=x=y@fwd.example"},  // "=" stays bare
      {nullptr, "-"},
      {"-", "\"-\""},
      {"", "\"\""},
      {"two words", "\"two words\""},
      {"a spf=pass b", "\"a spf=pass b\""},
      {"q\"uote", "\"q\\\"uote\""},
      {"back\\slash", "\"back\\\\slash\""},
      {"line\r\nverdict: x", "\"line\\x0d\\x0averdict: x\""},
      {"tab\tdel\x7f", "\"tab\\x09del\\x7f\""},
      {"caf\xc3\xa9", "\"caf\\xc3\\xa9\""},
      {longest.c_str(), longest},
      {too_long.c_str(), "\"" + std::string(256, 'b') + "...\""},
  };
  for (const auto &c : cases) {
    kv_line line;
    line.add_value(c.in);
    EXPECT_EQ(line.c_str(), c.out) << (c.in ? c.in : "(null)");
  }
  // A line never overflows its buffer: the excess is cut.
  kv_line full;
  for (int i = 0; i < 100; i++) full.add_value(too_long.c_str());
  EXPECT_EQ(full.used(), kv_line::ROOM - 1);
}

TEST(SafeTextTest, BlankControls) {
  char text[] = "a\r\nb\tc\x01" "d\x7f" "e\xc3\xa9";
  blank_controls(text);
  EXPECT_STREQ(text, "a??b?c?d?e\xc3\xa9");
  blank_controls(nullptr);
}

}  // namespace
