#include "addr/allowlist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "addr/addrset.h"
#include "fake_syslog.h"
#include "filter/connection.h"

namespace {

// A client socket address as the mail filter library hands it over.
struct client_address {
  sockaddr_storage storage{};
  const sockaddr *get() const {
    return reinterpret_cast<const sockaddr *>(&storage);
  }
};

client_address client(const char *text) {
  client_address c;
  if (std::string(text).find(':') != std::string::npos) {
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&c.storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(40000);
    EXPECT_EQ(inet_pton(AF_INET6, text, &sin6->sin6_addr), 1) << text;
  } else {
    auto *sin = reinterpret_cast<sockaddr_in *>(&c.storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(40000);
    EXPECT_EQ(inet_pton(AF_INET, text, &sin->sin_addr), 1) << text;
  }
  return c;
}

class AllowlistTest : public testing::Test {
 protected:
  void SetUp() override {
    clear_log();
    path_ = testing::TempDir() + "heronsend-allowlist-" +
            std::to_string(getpid()) + ".txt";
  }
  void TearDown() override {
    free_allowlist();
    std::remove(path_.c_str());
    addrset_allocate = std::calloc;
  }
  void load(const std::string &content) {
    std::ofstream(path_, std::ios::binary) << content;
    load_allowlist(path_.c_str());
    ASSERT_NE(allowlist, nullptr);
  }
  // Checks a client; the flag it got.
  bool check(const char *address, const char *host = "client.example") {
    client_address c = client(address);
    return check_allowlist(host, c.get());
  }
  std::vector<log_line> warnings() const {
    std::vector<log_line> out;
    for (const log_line &line : captured_log())
      if (line.priority == LOG_WARNING) out.push_back(line);
    return out;
  }
  std::string path_;
};

TEST_F(AllowlistTest, NetworksWithCommentsAndBlankLines) {
  load("10.0.0.0/8 # office\n192.0.2.7\n\n");
  EXPECT_TRUE(captured_log().empty());
  EXPECT_TRUE(check("10.20.30.40", "mail.example.net"));
  EXPECT_TRUE(check("192.0.2.7", "relay.example.org"));
  // A host name from DNS with a line break stays on one log line.
  EXPECT_TRUE(check("10.0.0.1", "evil\r\nheronsend: fake"));
  EXPECT_FALSE(check("192.0.2.8"));
  EXPECT_FALSE(check("11.0.0.1"));
  std::vector<log_line> want = {
      {LOG_INFO, "allowlist \"mail.example.net\" [10.20.30.40]"},
      {LOG_INFO, "allowlist \"relay.example.org\" [192.0.2.7]"},
      {LOG_INFO, "allowlist \"evil\\x0d\\x0aheronsend: fake\" [10.0.0.1]"},
  };
  EXPECT_EQ(captured_log(), want);
}

TEST_F(AllowlistTest, UnparsableLineIsSkippedWithAWarning) {
  load("192.0.2.1\n10.1.2.3/8\n  2001:db8::/32   # lab\n"
       "not an address # really\n198.51.100.0/24");
  std::vector<log_line> want = {
      {LOG_WARNING, "unparsable IP address - '10.1.2.3/8'"},
      {LOG_WARNING, "unparsable IP address - 'not an address'"},
  };
  EXPECT_EQ(captured_log(), want);
  EXPECT_TRUE(check("192.0.2.1"));
  EXPECT_FALSE(check("10.1.2.3"));
  EXPECT_TRUE(check("2001:db8::25"));
  EXPECT_TRUE(check("198.51.100.200")) << "a last line without newline";
}

TEST_F(AllowlistTest, CommentsBlanksAndCrlfLines) {
  load("# allowlist\r\n"
       "   \t \r\n"
       "\r\n"
       "#192.0.2.1\n"
       "192.0.2.7\r\n"
       "\t192.0.2.9 \t\r\n"
       "192.0.2.11#no space before the comment\n"
       "#");
  EXPECT_TRUE(captured_log().empty());
  EXPECT_EQ(allowlist->used, 3u);
  EXPECT_FALSE(check("192.0.2.1"));
  EXPECT_TRUE(check("192.0.2.7"));
  EXPECT_TRUE(check("192.0.2.9"));
  EXPECT_TRUE(check("192.0.2.11"));
}

// What an editor may add: a byte order mark before the first line, and no
// newline after the last.
TEST_F(AllowlistTest, ByteOrderMarkBeforeTheFirstLine) {
  load("\xEF\xBB\xBF" "10.0.0.0/8\r\n192.0.2.7");
  EXPECT_TRUE(captured_log().empty());
  EXPECT_TRUE(check("10.1.2.3"));
  EXPECT_TRUE(check("192.0.2.7"));
}

TEST_F(AllowlistTest, EmptyFile) {
  load("");
  EXPECT_EQ(allowlist->used, 0u);
  EXPECT_FALSE(check("192.0.2.1"));
  EXPECT_TRUE(captured_log().empty());
}

// A line is read in pieces of at most 499 characters, each a line of its own.
TEST_F(AllowlistTest, LongLinesAreReadInPieces) {
  // 499 characters: the address and blanks; the second piece is the
  // address after them.
  std::string line = "192.0.2.1" + std::string(490, ' ') + "198.51.100.7";
  load(line + "\n" + std::string(600, 'x') + "\n203.0.113.5\n");
  EXPECT_TRUE(check("192.0.2.1"));
  EXPECT_TRUE(check("198.51.100.7"));
  EXPECT_TRUE(check("203.0.113.5"));
  std::vector<log_line> want = {
      {LOG_WARNING, "unparsable IP address - '" + std::string(499, 'x') + "'"},
      {LOG_WARNING, "unparsable IP address - '" + std::string(101, 'x') + "'"},
  };
  EXPECT_EQ(warnings(), want);
}

TEST_F(AllowlistTest, LineOfExactly499Characters) {
  std::string line = "192.0.2.1" + std::string(490, ' ');
  ASSERT_EQ(line.size(), 499u);
  std::string bad = std::string(499, 'y');
  load(line + "\n" + bad + "\n203.0.113.5\n");
  EXPECT_TRUE(check("192.0.2.1"));
  EXPECT_TRUE(check("203.0.113.5"));
  // The newline of a 499-character line is a piece of its own, skipped.
  std::vector<log_line> want = {
      {LOG_WARNING, "unparsable IP address - '" + bad + "'"},
  };
  EXPECT_EQ(warnings(), want);
  EXPECT_EQ(allowlist->used, 2u);
}

TEST_F(AllowlistTest, Ipv4EntriesMatchIpv4MappedClients) {
  load("10.0.0.0/8\n");
  EXPECT_TRUE(check("::ffff:10.1.2.3", "mapped.example"));
  EXPECT_FALSE(check("::ffff:11.1.2.3"));
  EXPECT_FALSE(check("::10.1.2.3")) << "IPv4-compatible is not mapped";
  EXPECT_EQ(captured_log(),
            (std::vector<log_line>{
                {LOG_INFO, "allowlist \"mapped.example\" [10.1.2.3]"}}));
}

TEST_F(AllowlistTest, Ipv6ClientsAreLoggedWithAllEightGroups) {
  load("2001:db8::/32\n");
  EXPECT_TRUE(check("2001:db8::5", "v6.example"));
  EXPECT_FALSE(check("2001:db9::5"));
  std::vector<log_line> want = {
      {LOG_INFO, "allowlist \"v6.example\" [2001:db8:0:0:0:0:0:5]"}};
  EXPECT_EQ(captured_log(), want);
}

TEST_F(AllowlistTest, AllIpv4AndTheWidthZeroNetwork) {
  load("0.0.0.0/0\n");
  EXPECT_TRUE(check("192.0.2.1"));
  EXPECT_TRUE(check("255.255.255.255"));
  EXPECT_TRUE(check("::ffff:1.2.3.4"));
  EXPECT_FALSE(check("2001:db8::1"));
  free_allowlist();

  load("::/0\n");
  EXPECT_EQ(allowlist->used, 1u);
  EXPECT_FALSE(check("2001:db8::1"));
  EXPECT_FALSE(check("192.0.2.1"));
}

TEST_F(AllowlistTest, WithoutAnAllowlistNothingHappens) {
  ASSERT_EQ(allowlist, nullptr);
  EXPECT_FALSE(check("192.0.2.1"));
  EXPECT_TRUE(captured_log().empty());
  free_allowlist();  // harmless without a set
}

TEST_F(AllowlistTest, OtherAddressFamiliesAreIgnored) {
  load("0.0.0.0/0\n");
  sockaddr_storage storage{};
  storage.ss_family = AF_UNIX;
  EXPECT_FALSE(check_allowlist("local", reinterpret_cast<sockaddr *>(&storage)));
  EXPECT_TRUE(captured_log().empty());
}

TEST_F(AllowlistTest, LoadingAgainReplacesTheSet) {
  load("192.0.2.1\n");
  load("192.0.2.2\n");
  EXPECT_FALSE(check("192.0.2.1"));
  EXPECT_TRUE(check("192.0.2.2"));
}

// Connection threads look the set up at the same time (ThreadSanitizer
// checks that this needs no lock).
TEST_F(AllowlistTest, ConcurrentChecks) {
  load("10.0.0.0/8\n2001:db8::/32\n");
  clear_log();
  std::vector<std::thread> threads;
  std::vector<int> hits(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&hits, t] {
      const char *addresses[] = {"10.1.2.3", "2001:db8::1", "192.0.2.1"};
      for (int i = 0; i < 300; ++i) {
        client_address c = client(addresses[i % 3]);
        hits[t] += check_allowlist("concurrent", c.get()) ? 1 : 0;
      }
    });
  for (std::thread &t : threads) t.join();
  for (int h : hits) EXPECT_EQ(h, 200);
  EXPECT_EQ(captured_log().size(), 800u);
}

using AllowlistDeathTest = AllowlistTest;

TEST_F(AllowlistDeathTest, MissingFileExits71) {
  std::string missing = testing::TempDir() + "heronsend-no-such-allowlist";
  EXPECT_EXIT(
      {
        openlog("heronsend", LOG_PERROR, LOG_MAIL);
        load_allowlist(missing.c_str());
      },
      testing::ExitedWithCode(71),
      "heronsend: fopen '" + missing + "' - No such file or directory\n");
}

TEST_F(AllowlistDeathTest, SetThatCannotBeCreatedExits71) {
  EXPECT_EXIT(
      {
        openlog("heronsend", LOG_PERROR, LOG_MAIL);
        addrset_allocate = [](std::size_t, std::size_t) -> void * {
          return nullptr;
        };
        load_allowlist(path_.c_str());
      },
      testing::ExitedWithCode(71), "heronsend: allowlist create failed\n");
}

}  // namespace
