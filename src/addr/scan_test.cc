#include "addr/scan.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

// What sscanf makes of text with "%d.%d.%d.%d" or the eight-group "%x:..."
// format: the count converted (EOF as 0) and the values. Only meaningful for
// texts whose numbers fit an int.
struct scanned {
  int count;
  std::vector<long long> values;
};

scanned reference_decimal(const std::string &text) {
  int v[4] = {0, 0, 0, 0};
  int n = std::sscanf(text.c_str(), "%d.%d.%d.%d", &v[0], &v[1], &v[2], &v[3]);
  if (n < 0) n = 0;
  return {n, std::vector<long long>(v, v + n)};
}

scanned reference_hex(const std::string &text) {
  unsigned v[8] = {};
  int n = std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x:%x:%x", &v[0], &v[1],
                      &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
  if (n < 0) n = 0;
  return {n, std::vector<long long>(v, v + n)};
}

scanned ours(const std::string &text, char sep, int base, int max) {
  long long v[8] = {};
  int n = scan_numbers(text.c_str(), sep, base, max, v);
  return {n, std::vector<long long>(v, v + n)};
}

// sscanf's %x wraps a negative number to 2^32 minus its magnitude; ours
// keeps the sign.
long long as_sscanf_hex(long long v) { return v < 0 ? v + (1LL << 32) : v; }

void expect_same_as_sscanf(const std::string &text) {
  scanned want = reference_decimal(text);
  scanned got = ours(text, '.', 10, 4);
  EXPECT_EQ(got.count, want.count) << "decimal [" << text << "]";
  EXPECT_EQ(got.values, want.values) << "decimal [" << text << "]";

  want = reference_hex(text);
  got = ours(text, ':', 16, 8);
  EXPECT_EQ(got.count, want.count) << "hex [" << text << "]";
  for (long long &v : got.values) v = as_sscanf_hex(v);
  EXPECT_EQ(got.values, want.values) << "hex [" << text << "]";
}

TEST(ScanTest, SyntaxMatchesSscanf) {
  const char *texts[] = {
      "", " ", "1", "+1", "-1", "-0", "- 1", "+", "-", "1.2.3.4", "1.2.3.4.5",
      "1. 2.3", "1 .2", "1..2", " \t\n\v\f\r7", "010.0.0.1", "0x10", "0X1f",
      "0x", "0xg", "0x:1", "0X:5", "1:0x", "-0x1", "+0x", "-0x", "x1", "+x1",
      "0x0x", "0xx", "00x5", "0x 1", "a:b:c", "A:B:C", "fg", "1:2::3", "::1",
      ":1", "1:", "1: 2", "1 :2", "ffff:0:ffff", "1:2:3:4:5:6:7:8:9",
      "1234567", "-1234567", "7ffffff", "-fffffff", "-ffff", "ffff.ffff",
  };
  for (const char *t : texts) expect_same_as_sscanf(t);
}

bool has_long_digit_run(const std::string &text) {
  int run = 0;
  for (char c : text) {
    run = std::isxdigit(static_cast<unsigned char>(c)) ? run + 1 : 0;
    if (run > 7) return true;
  }
  return false;
}

// Texts built from the characters that matter to the syntax, compared with
// the C library's own reading.
TEST(ScanTest, GeneratedTextsMatchSscanf) {
  const char *pieces[] = {"0", "1", "9", "a", "F", "g", "x", "X", "0x",
                          " ", "\t", "+", "-", ".", ":", "/"};
  std::mt19937 random(4);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    int length = static_cast<int>(random() % 10);
    for (int j = 0; j < length; ++j) text += pieces[random() % 16];
    if (has_long_digit_run(text)) continue;  // sscanf's overflow is not ours
    expect_same_as_sscanf(text);
    if (testing::Test::HasFailure()) break;
  }
}

TEST(ScanTest, OverLargeNumbersSaturate) {
  struct {
    const char *text;
    int base;
    long long value;
  } cases[] = {
      {"2147483647", 10, 2147483647},
      {"2147483648", 10, SCAN_LIMIT},
      {"-2147483648", 10, -SCAN_LIMIT},
      {"4294967296", 10, SCAN_LIMIT},  // glibc's sscanf: 0
      {"4294967424", 10, SCAN_LIMIT},  // glibc's sscanf: 128
      {"-99999999999999999999999999999", 10, -SCAN_LIMIT},
      {"000000000000000000000000000000007", 10, 7},
      {"7fffffff", 16, 0x7fffffff},
      {"80000000", 16, SCAN_LIMIT},
      {"10000ffff", 16, SCAN_LIMIT},   // glibc's sscanf: 0xffff
      {"-ffff0001", 16, -SCAN_LIMIT},  // glibc's sscanf: 0xffff
      {"0x000000000000000000000000001", 16, 1},
      {"ffffffffffffffffffffffffffffffffffffffff", 16, SCAN_LIMIT},
  };
  for (const auto &c : cases) {
    long long v = 0;
    EXPECT_EQ(scan_numbers(c.text, '.', c.base, 1, &v), 1) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
  std::string huge(100000, '9');
  long long v = 0;
  EXPECT_EQ(scan_numbers(huge.c_str(), '.', 10, 1, &v), 1);
  EXPECT_EQ(v, SCAN_LIMIT);
}

TEST(ScanTest, StopsAtMaxCountAndAtTheTerminator) {
  long long v[3] = {-5, -5, -5};
  EXPECT_EQ(scan_numbers("1.2.3.4", '.', 10, 2, v), 2);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[1], 2);
  EXPECT_EQ(v[2], -5) << "nothing past max_count is written";
  // A '\0' separator never matches the terminator.
  EXPECT_EQ(scan_numbers("5", '\0', 10, 3, v), 1);
}

}  // namespace
