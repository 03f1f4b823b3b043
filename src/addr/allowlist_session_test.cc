// The allowlist through the filter callbacks: a client found at connect is
// not checked with SPF and its mail is marked as passing.

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "addr/allowlist.h"
#include "fake_syslog.h"
#include "smtp_session.h"

namespace {

class AllowlistSessionTest : public filter_test {
 protected:
  void SetUp() override {
    filter_test::SetUp();
    path_ = testing::TempDir() + "heronsend-session-allowlist-" +
            std::to_string(getpid()) + ".txt";
    std::ofstream(path_) << "10.0.0.0/8 # office\n192.0.2.7\n2001:db8::/32\n";
    load_allowlist(path_.c_str());
    clear_log();
  }
  void TearDown() override {
    free_allowlist();
    std::remove(path_.c_str());
    filter_test::TearDown();
  }
  // One message from a@fail.test, whose SPF record fails every client.
  void send(smtp_session &s, sfsistat expected_mail_answer) {
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo("client.example.net"), SMFIS_CONTINUE);
    ASSERT_EQ(s.mail("<a@fail.test>"), expected_mail_answer);
    if (expected_mail_answer == SMFIS_CONTINUE) s.eom();
  }
  std::string path_;
};

TEST_F(AllowlistSessionTest, AllowlistedClientsAreMarkedPassWithoutCheck) {
  const struct {
    const char *client;
    const char *logged;
    const char *shown;  // in the header
  } cases[] = {
      {"10.20.30.40", "10.20.30.40", "10.20.30.40"},
      {"192.0.2.7", "192.0.2.7", "192.0.2.7"},
      {"::ffff:10.1.2.3", "10.1.2.3", "10.1.2.3"},
      {"2001:db8::5", "2001:db8:0:0:0:0:0:5", "2001:db8::5"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.client);
    clear_log();
    smtp_session s(c.client, "relay.example.net");
    send(s, SMFIS_CONTINUE);
    EXPECT_EQ(s.cd()->allowlisted, 1);
    EXPECT_TRUE(log_contains(
        LOG_INFO,
        std::string("allowlist \"relay.example.net\" [") + c.logged + "]"));
    std::vector<std::string> headers = s.inserted_headers();
    ASSERT_EQ(headers.size(), 1u);
    std::string start =
        std::string("pass (mx.example.org: ") + c.shown + " is allowlisted) ";
    EXPECT_EQ(headers[0].rfind(start, 0), 0u) << headers[0];
  }
}

TEST_F(AllowlistSessionTest, OtherClientsAreChecked) {
  for (const char *client : {"192.0.2.8", "11.0.0.1", "2001:db9::5"}) {
    SCOPED_TRACE(client);
    clear_log();
    smtp_session s(client);
    send(s, SMFIS_REJECT);
    for (const log_line &line : captured_log())
      EXPECT_EQ(line.text.rfind("allowlist ", 0), std::string::npos)
          << line.text;
  }
}

}  // namespace
