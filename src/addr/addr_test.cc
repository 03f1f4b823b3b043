#include "addr/addr.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// The 16 address bytes as 32 lower-case hexadecimal digits.
std::string hex_bytes(const addr_entry &e) {
  std::string out;
  char two[3];
  for (std::uint8_t b : e.addr) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

std::string format(const addr_entry &e) {
  char buffer[100];
  return addr_format(&e, buffer, sizeof buffer);
}

// ffff-mapped IPv4 prefix of every IPv4 entry's bytes.
#define V4 "00000000000000000000ffff"

struct parse_case {
  const char *text;
  int code;                       // 0: parses
  const char *bytes = nullptr;    // when it parses
  unsigned width = 0;
  const char *formatted = nullptr;
};

const parse_case worked_examples[] = {
    // IPv4, with the implied widths of one to four numbers.
    {"10", 0, V4 "0a000000", 104, "10.0.0.0/8"},
    {"192.168.1", 0, V4 "c0a80100", 120, "192.168.1.0/24"},
    {"192.0.2.1", 0, V4 "c0000201", 128, "192.0.2.1"},
    {"010.0.0.1", 0, V4 "0a000001", 128, "10.0.0.1"},
    {"10.1.2.3/8", 8},
    {"10.0.0.0/8", 0, V4 "0a000000", 104, "10.0.0.0/8"},
    {"0.0.0.0/0", 0, V4 "00000000", 96, "0.0.0.0/0"},
    {"1.2.3.256", 2},
    {"-1.2.3.4", 2},
    {"1.2.3.4/33", 3},
    {"1.2.3.4/x", 5},
    {"localhost", 6},
    {"  \tx1.2.3.4", 6},
    {"10.1.2.3.4", 0, V4 "0a010203", 128, "10.1.2.3"},
    // IPv6.
    {"2001:db8::/32", 0, "20010db8000000000000000000000000", 32,
     "2001:db8:0:0:0:0:0:0/32"},
    {"2001:db8::", 0, "20010db8000000000000000000000000", 32,
     "2001:db8:0:0:0:0:0:0/32"},
    {"2001:db8", 0, "20010db8000000000000000000000000", 32,
     "2001:db8:0:0:0:0:0:0/32"},
    {"2001:db8::1", 0, "20010db8000000000000000000000001", 128,
     "2001:db8:0:0:0:0:0:1"},
    {"2001:db8::/64", 0, "20010db8000000000000000000000000", 64,
     "2001:db8:0:0:0:0:0:0/64"},
    {"2001:db8::1/64", 8},
    {"2001:db8::/129", 3},
    {"1:2:3:4:5:6::", 0, "00010002000300040005000600000000", 96,
     "1:2:3:4:5:6:0:0/96"},
    {"1:2:3:4:5:6:7::", 4},
    {"1::2:3:4:5:6:7", 4},
    {"fffff::1", 2},
    {"::", 0, "00000000000000000000000000000000", 0, "0:0:0:0:0:0:0:0/0"},
    {":x", 0, "00000000000000000000000000000000", 0, "0:0:0:0:0:0:0:0/0"},
    {"0:0:0:0:0:ffff:c000:201", 0, V4 "c0000201", 128, "192.0.2.1"},
    {"::ffff:192.0.2.1", 0, "000000000000000000000000ffff0192", 128,
     "0:0:0:0:0:0:ffff:192"},
    {"10.0.0.1:25", 0, "00100000000000000000000000000000", 16,
     "10:0:0:0:0:0:0:0/16"},
};

void check(const parse_case &c) {
  SCOPED_TRACE(std::string("text [") + c.text + "]");
  addr_error = 0;
  addr_entry e;
  bool ok = addr_parse(c.text, &e);
  if (c.code != 0) {
    EXPECT_FALSE(ok);
    EXPECT_EQ(addr_error, c.code);
    return;
  }
  ASSERT_TRUE(ok) << "code " << addr_error;
  EXPECT_EQ(addr_error, 0) << "a success does not set the code";
  EXPECT_EQ(hex_bytes(e), c.bytes);
  EXPECT_EQ(e.width, c.width);
  EXPECT_EQ(format(e), c.formatted);
  // The formatted text reads back as the same entry.
  addr_entry again;
  ASSERT_TRUE(addr_parse(format(e).c_str(), &again));
  EXPECT_EQ(again, e);
}

TEST(AddrParseTest, WorkedExamples) {
  for (const parse_case &c : worked_examples) check(c);
}

// Several faults in one text: the first check in order reports (IPv6: 2, 4,
// 5, 3, 8; IPv4: 6, 5, 2, 3, 8).
TEST(AddrParseTest, FirstFailingCheckReports) {
  const parse_case cases[] = {
      {"fffff::1/x", 2},        {"fffff::1/200", 2},
      {"1:2:3:4:5:6:7::/x", 4}, {"1::2:3:4:5:6:7/200", 4},
      {"2001:db8::1/x", 5},     {"2001:db8::1/", 5},
      {"2001:db8::1/200", 3},   {"2001:db8::1/-1", 3},
      {"1:2:3:4:5:6:7:fffff", 2}, {"1:2:3:4:5:6:7:8::", 4},
      {"x/x", 6},               {"/8", 6},
      {"1.2.3.256/x", 5},       {"1.2.3.256/33", 2},
      {"10.1.2.3/33", 3},       {"10.1.2.3/-1", 3},
      {"10.1.2.3/31", 8},       {"10.0.0.1/0", 8},
  };
  for (const parse_case &c : cases) check(c);
}

// The reading is lenient in sscanf's way: white space before numbers, signs,
// 0x before groups, and anything after the last number read is ignored.
TEST(AddrParseTest, SscanfLeniency) {
  const parse_case cases[] = {
      {" 10.0.0.1", 0, V4 "0a000001", 128, "10.0.0.1"},
      {"10. 0.\t0.+1", 0, V4 "0a000001", 128, "10.0.0.1"},
      {"10 .0.0.1", 0, V4 "0a000000", 104, "10.0.0.0/8"},
      {"10.0.0.1 trailing words", 0, V4 "0a000001", 128, "10.0.0.1"},
      {"192.0.2.0 / 24", 0, V4 "c0000200", 120, "192.0.2.0/24"},
      {"192.0.2.0/24/8", 0, V4 "c0000200", 120, "192.0.2.0/24"},
      {"192.0.2.0/+24", 0, V4 "c0000200", 120, "192.0.2.0/24"},
      {"-0.0.0.0/0", 0, V4 "00000000", 96, "0.0.0.0/0"},
      {"2001:DB8::0x1", 0, "20010db8000000000000000000000001", 128,
       "2001:db8:0:0:0:0:0:1"},
      {" 2001: db8::", 0, "20010db8000000000000000000000000", 32,
       "2001:db8:0:0:0:0:0:0/32"},
      {"1::2::3", 0, "00010000000000000000000000000002", 128,
       "1:0:0:0:0:0:0:2"},
      {"-0::", 0, "00000000000000000000000000000000", 16,
       "0:0:0:0:0:0:0:0/16"},
      {"1:2:3:4:5:6:7:8:9", 0, "00010002000300040005000600070008", 128,
       "1:2:3:4:5:6:7:8"},
      {"-1::", 2},
  };
  for (const parse_case &c : cases) check(c);
}

// Numbers too large for a 32-bit int are out of bounds (glibc's sscanf
// would keep their low 32 bits and accept several of these).
TEST(AddrParseTest, OverLargeNumbersAreOutOfBounds) {
  std::string huge(5000, '9');
  const parse_case cases[] = {
      {"1.2.3.4294967296", 2},
      {"4294967306.0.0.0", 2},
      {"-4294967295.0.0.0", 2},
      {"10.0.0.0/4294967304", 3},
      {"10.0.0.0/-4294967288", 3},
      {"10000ffff::", 2},
      {"-ffff0001::", 2},
      {"::1/4294967424", 3},
      {"ffffffffffffffffffffffffffffffff::", 2},
      {"1:2:3:4:5:6:7:00000000000000000000000000000008", 0,
       "00010002000300040005000600070008", 128, "1:2:3:4:5:6:7:8"},
  };
  for (const parse_case &c : cases) check(c);
  check({huge.c_str(), 2});
  check({("1.2.3.4/" + huge).c_str(), 3});
}

TEST(AddrParseTest, EveryIpv4WidthKeepsOnlyPrefixBits) {
  for (int w = 0; w <= 32; ++w) {
    std::string all_ones = "255.255.255.255/" + std::to_string(w);
    addr_entry e;
    EXPECT_EQ(addr_parse(all_ones.c_str(), &e), w == 32) << all_ones;
    std::string zero = "0.0.0.0/" + std::to_string(w);
    ASSERT_TRUE(addr_parse(zero.c_str(), &e)) << zero;
    EXPECT_EQ(e.width, static_cast<unsigned>(w + 96));
  }
}

TEST(AddrParseTest, FailureStaysReportedAfterLaterSuccess) {
  addr_entry e;
  EXPECT_FALSE(addr_parse("1.2.3.4/33", &e));
  EXPECT_TRUE(addr_parse("192.0.2.1", &e));
  EXPECT_EQ(addr_error, 3);
  EXPECT_STREQ(addr_strerror(), "prefix/netmask width is out of bounds");
}

TEST(AddrParseGroupsTest, CountsGroupsAndChecksBounds) {
  addr_entry e;
  ASSERT_TRUE(addr_parse_groups("1:2:3", &e));
  EXPECT_EQ(hex_bytes(e), "00010002000300000000000000000000");
  EXPECT_EQ(e.width, 48u);
  ASSERT_TRUE(addr_parse_groups("", &e)) << "no group is not a failure";
  EXPECT_EQ(e.width, 0u);
  ASSERT_TRUE(addr_parse_groups(":1", &e));
  EXPECT_EQ(e.width, 0u);
  addr_error = 0;
  EXPECT_FALSE(addr_parse_groups("1:10000", &e));
  EXPECT_EQ(addr_error, 2);
}

TEST(AddrStrerrorTest, MessageTable) {
  const char *messages[] = {
      "no error",
      "out of memory",
      "address component is out of bounds",
      "prefix/netmask width is out of bounds",
      "address is too long",
      "prefix/netmask width is invalid",
      "invalid IPv4 address",
      "invalid IPv6 address",
      "non-prefix part is non-zero",
      "shouldn't happen",
  };
  for (int code = 0; code < 10; ++code) {
    addr_error = code;
    EXPECT_STREQ(addr_strerror(), messages[code]);
  }
  addr_error = 0;
}

addr_entry parsed(const char *text) {
  addr_entry e;
  EXPECT_TRUE(addr_parse(text, &e)) << text;
  return e;
}

TEST(AddrFormatTest, CutsToTheBufferAndFitsTheLongestText) {
  addr_entry e = parsed("192.0.2.1");
  char small[8];
  EXPECT_STREQ(addr_format(&e, small, sizeof small), "192.0.2");
  addr_entry longest = parsed("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127");
  EXPECT_EQ(format(longest).size(), 43u);
  addr_entry v4 = parsed("255.255.255.254/31");
  EXPECT_EQ(format(v4), "255.255.255.254/31");
}

TEST(AddrIsIpv4MappedTest, LooksAtBytesOnly) {
  addr_entry e = parsed("192.0.2.1");
  EXPECT_TRUE(addr_is_ipv4_mapped(&e));
  e.width = 0;
  EXPECT_TRUE(addr_is_ipv4_mapped(&e));
  EXPECT_FALSE(addr_is_ipv4_mapped(&(e = parsed("::1:ffff:0:1"))));
  EXPECT_FALSE(addr_is_ipv4_mapped(&(e = parsed("1::ffff:c000:201"))));
  EXPECT_FALSE(addr_is_ipv4_mapped(&(e = parsed("::"))));
}

TEST(AddrPrefixContainsTest, FirstWidthBitsAgree) {
  struct {
    const char *network;
    const char *address;
    bool contains;
  } cases[] = {
      {"10.0.0.0/8", "10.1.2.3", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"10.0.0.0/9", "10.127.255.255", true},
      {"10.0.0.0/9", "10.128.0.0", false},
      {"10.0.0.0/8", "10.0.0.0/8", true},
      {"10.0.0.0/8", "10.0.0.0/7", false},  // the address is wider
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false},
      {"::", "2001:db8::1", true},
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"192.0.2.7", "192.0.2.7", true},
      {"192.0.2.7", "192.0.2.6", false},
  };
  for (const auto &c : cases) {
    addr_entry network = parsed(c.network);
    addr_entry address = parsed(c.address);
    EXPECT_EQ(addr_prefix_contains(&network, &address), c.contains)
        << c.network << " " << c.address;
  }
}

TEST(AddrPrefixContainsTest, WidthOver128) {
  addr_entry network = parsed("::");
  addr_entry address = parsed("::1");
  network.width = 129;
  addr_error = 0;
  EXPECT_FALSE(addr_prefix_contains(&network, &address));
  EXPECT_EQ(addr_error, 0) << "the narrower address is refused first";
  address.width = 200;
  EXPECT_FALSE(addr_prefix_contains(&network, &address));
  EXPECT_EQ(addr_error, 3);
  addr_error = 0;
}

}  // namespace
