#include "filter/connection.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fake_alloc.h"
#include "fake_syslog.h"
#include "smtp_session.h"

namespace {
std::atomic<bool> gethostname_fails{false};
}  // namespace

// Stands in for the C library's gethostname in the unit tests, so a test
// can make it fail; otherwise it answers like the real one.
extern "C" int gethostname(char *name, size_t len) noexcept {
  if (gethostname_fails) {
    errno = EPERM;
    return -1;
  }
  struct utsname u;
  if (uname(&u) != 0) return -1;
  if (std::strlen(u.nodename) >= len) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strcpy(name, u.nodename);
  return 0;
}

namespace {

class ConnectionTest : public filter_test {};

TEST_F(ConnectionTest, NoSocketAddressIsAcceptedWithoutARecord) {
  SMFICTX ctx;
  char host[] = "h";
  EXPECT_EQ(spf_connect(&ctx, host, nullptr), SMFIS_ACCEPT);
  EXPECT_EQ(ctx.priv, nullptr);
  EXPECT_EQ(ctx.setpriv_calls, 0);
  EXPECT_TRUE(captured_log().empty());
}

TEST_F(ConnectionTest, ClientAddressesAsTextAndInTheRequest) {
  const struct {
    const char *client;
    const char *ip_str;
    int family;  // what the SPF request holds
  } cases[] = {
      {"192.0.2.10", "192.0.2.10", AF_INET},
      {"2001:db8::10", "2001:db8::10", AF_INET6},
      // A dual-stack MTA's view of an IPv4 client is checked as IPv4.
      {"::ffff:192.0.2.10", "192.0.2.10", AF_INET},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.client);
    smtp_session s(c.client);
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    EXPECT_STREQ(s.cd()->ip_str.get(), c.ip_str);
    EXPECT_EQ(s.cd()->lib->request->client_ver, c.family);
    EXPECT_EQ(s.cd()->result_index, -1);
    EXPECT_EQ(s.cd()->action, ACTION_NONE);
  }
  EXPECT_TRUE(captured_log().empty());
}

TEST_F(ConnectionTest, UnknownAddressFamilyIsAcceptedAndReleasedAtClose) {
  smtp_session s("not an address");
  EXPECT_EQ(s.connect(), SMFIS_ACCEPT);
  EXPECT_NE(s.cd(), nullptr) << "the record stays attached until close";
  EXPECT_TRUE(log_contains(LOG_ERR, "unknown address family - accepting"));
  EXPECT_EQ(s.close(), SMFIS_CONTINUE);
  EXPECT_EQ(s.cd(), nullptr);
}

TEST_F(ConnectionTest, SetprivFailureReleasesTheRecord) {
  smtp_session s("192.0.2.10");
  s.ctx.setpriv_result = MI_FAILURE;
  EXPECT_EQ(s.connect(), SMFIS_ACCEPT);
  EXPECT_EQ(s.cd(), nullptr);
  EXPECT_EQ(captured_log(),
            (std::vector<log_line>{{LOG_ERR, "smfi_setpriv() failed"}}));
  EXPECT_FALSE(receiver) << "nothing after the failed attach runs";
  s.close();
  EXPECT_TRUE(log_contains(LOG_NOTICE, "spf_close called but cd is null"));
}

TEST_F(ConnectionTest, AbortAndCloseWithoutARecordOnlyLog) {
  SMFICTX ctx;
  EXPECT_EQ(spf_abort(&ctx), SMFIS_CONTINUE);
  EXPECT_EQ(spf_close(&ctx), SMFIS_CONTINUE);
  EXPECT_EQ(captured_log(),
            (std::vector<log_line>{
                {LOG_NOTICE, "spf_abort called but cd is null"},
                {LOG_NOTICE, "spf_close called but cd is null"}}));
  EXPECT_EQ(ctx.setpriv_calls, 0);
}

TEST_F(ConnectionTest, AbortReleasesOnlyTheMessageTexts) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_EQ(s.helo("h.example"), SMFIS_CONTINUE);
  ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
  EXPECT_EQ(s.abort(), SMFIS_CONTINUE);
  EXPECT_FALSE(s.cd()->mail_from);
  EXPECT_FALSE(s.cd()->use_mail_from);
  EXPECT_STREQ(s.cd()->helo.get(), "h.example");
  EXPECT_STREQ(s.cd()->ip_str.get(), "192.0.2.10");
}

TEST_F(ConnectionTest, ReceiverComesFromTheMtaOnceForTheProcess) {
  smtp_session first("192.0.2.10");
  ASSERT_EQ(first.connect(), SMFIS_CONTINUE);
  EXPECT_STREQ(receiver.get(), "mx.example.org");
  EXPECT_EQ(receiver_len, 14u);
  EXPECT_STREQ(spf_server->rec_dom, "mx.example.org");

  smtp_session second("192.0.2.11");
  second.ctx.macros["{j}"] = "other.example.org";
  ASSERT_EQ(second.connect(), SMFIS_CONTINUE);
  EXPECT_STREQ(receiver.get(), "mx.example.org");
  EXPECT_EQ(std::count(second.ctx.macro_requests.begin(),
                       second.ctx.macro_requests.end(), "{j}"),
            0)
      << "a later connection does not ask again";
}

TEST_F(ConnectionTest, ReceiverFromGethostnameWithoutTheMacro) {
  smtp_session s("192.0.2.10");
  s.ctx.macros.erase("{j}");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  char host[256] = "";
  ASSERT_EQ(gethostname(host, sizeof host), 0);
  EXPECT_STREQ(receiver.get(), host);
}

TEST_F(ConnectionTest, AFailedAttemptIsRetriedByTheNextConnection) {
  smtp_session first("192.0.2.10");
  first.ctx.macros.erase("{j}");
  gethostname_fails = true;
  EXPECT_EQ(first.connect(), SMFIS_ACCEPT);
  gethostname_fails = false;
  EXPECT_FALSE(receiver);
  EXPECT_EQ(captured_log(),
            (std::vector<log_line>{{LOG_ERR, "couldn't get local hostname"}}));
  EXPECT_NE(first.cd(), nullptr) << "released by close";

  smtp_session second("192.0.2.11");
  EXPECT_EQ(second.connect(), SMFIS_CONTINUE);
  EXPECT_STREQ(receiver.get(), "mx.example.org");
  EXPECT_STREQ(spf_server->rec_dom, "mx.example.org");
}

TEST_F(ConnectionTest, CopyFailuresAcceptTheConnection) {
  {
    smtp_session s("192.0.2.10");
    fail_next_strdup_of("mx.example.org");
    EXPECT_EQ(s.connect(), SMFIS_ACCEPT);
    EXPECT_EQ(captured_log(),
              (std::vector<log_line>{
                  {LOG_ERR, "couldn't strdup local hostname"}}));
    EXPECT_FALSE(receiver) << "the next connection tries again";
  }
  clear_log();
  {
    smtp_session s("192.0.2.10");
    fail_next_strdup_of("192.0.2.10");
    EXPECT_EQ(s.connect(), SMFIS_ACCEPT);
    EXPECT_EQ(captured_log(),
              (std::vector<log_line>{{LOG_ERR, "couldn't strdup ip_str"}}));
    EXPECT_STREQ(receiver.get(), "mx.example.org");
    EXPECT_FALSE(s.cd()->ip_str);
  }
  clear_log();
  {
    // The library refuses the receiving domain: the receiver stays set and
    // no later connection repeats the step.
    release_receiver();
    smtp_session s("192.0.2.10");
    s.ctx.macros["{j}"] = "mx2.example.org";
    // The daemon's copy comes first; the library's copy is the second.
    fail_next_strdup_of("mx2.example.org", 1);
    EXPECT_EQ(s.connect(), SMFIS_ACCEPT);
    EXPECT_EQ(captured_log(),
              (std::vector<log_line>{
                  {LOG_ERR, "SPF_server_set_rec_dom() failed"},
                  {LOG_ERR, "lib_set_local_hostname() failed - Out of memory"}}));
    EXPECT_STREQ(receiver.get(), "mx2.example.org");
    // The library's own default (this host's name) is back, so queries
    // still have a receiving domain.
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    ASSERT_NE(spf_server->rec_dom, nullptr);
    EXPECT_STREQ(spf_server->rec_dom, host);
  }
  {
    smtp_session s("192.0.2.10");
    s.ctx.macros["{j}"] = "mx3.example.org";
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    EXPECT_STREQ(receiver.get(), "mx2.example.org") << "not determined again";
    ASSERT_EQ(s.mail("<a@fail.test>"), SMFIS_REJECT);
  }
}

TEST_F(ConnectionTest, EmptyMacroGivesAnEmptyReceiver) {
  smtp_session s("192.0.2.10");
  s.ctx.macros["{j}"] = "";
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_TRUE(receiver);
  EXPECT_STREQ(receiver.get(), "");
  EXPECT_EQ(receiver_len, 0u);
}

// Many first connections at once: exactly one determines the receiver, and
// every one sees it set when its connect returns (run under
// ThreadSanitizer to catch unsynchronised access).
TEST_F(ConnectionTest, ConcurrentFirstConnectionsDetermineTheReceiverOnce) {
  constexpr int kThreads = 8;
  std::vector<std::unique_ptr<smtp_session>> sessions;
  for (int i = 0; i < kThreads; i++) {
    sessions.push_back(std::make_unique<smtp_session>("192.0.2.10"));
    sessions.back()->ctx.macros["{j}"] = "host" + std::to_string(i) + ".example";
  }
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  std::vector<std::string> seen(kThreads);
  for (int i = 0; i < kThreads; i++) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      EXPECT_EQ(sessions[i]->connect(), SMFIS_CONTINUE);
      seen[i] = receiver.get();
    });
  }
  go = true;
  for (std::thread &t : threads) t.join();
  int askers = 0;
  for (int i = 0; i < kThreads; i++) {
    EXPECT_EQ(seen[i], receiver.get());
    askers += static_cast<int>(std::count(sessions[i]->ctx.macro_requests.begin(),
                                          sessions[i]->ctx.macro_requests.end(),
                                          "{j}"));
  }
  EXPECT_EQ(askers, 1);
  EXPECT_STREQ(spf_server->rec_dom, receiver.get());
}

}  // namespace
