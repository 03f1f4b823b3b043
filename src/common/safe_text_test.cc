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

TEST(SafeTextTest, BlankControls) {
  char text[] = "a\r\nb\tc\x01" "d\x7f" "e\xc3\xa9";
  blank_controls(text);
  EXPECT_STREQ(text, "a??b?c?d?e\xc3\xa9");
  blank_controls(nullptr);
}

}  // namespace
