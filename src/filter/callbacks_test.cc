#include "filter/callbacks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "common/config.h"
#include "fake_syslog.h"
#include "smtp_session.h"

namespace {

using std::chrono::milliseconds;

class CallbacksTest : public filter_test {
 protected:
  // Another test's daemon run may have left the gate closed.
  void SetUp() override {
    filter_test::SetUp();
    open_callbacks();
  }
  void TearDown() override {
    open_callbacks();
    filter_test::TearDown();
  }
  static sfsistat connect(smtp_session &s) {
    return milter_connect(&s.ctx, s.host_name.data(),
                          reinterpret_cast<_SOCK_ADDR *>(&s.address));
  }
  static sfsistat helo(smtp_session &s, const char *name) {
    std::string copy = name;
    return milter_helo(&s.ctx, copy.data());
  }
  static sfsistat mail(smtp_session &s, const char *sender) {
    std::string copy = sender;
    char *argv[] = {copy.data(), nullptr};
    return milter_envfrom(&s.ctx, argv);
  }
  static sfsistat rcpt(smtp_session &s, const char *recipient) {
    std::string copy = recipient;
    char *argv[] = {copy.data(), nullptr};
    return milter_envrcpt(&s.ctx, argv);
  }
  static sfsistat header(smtp_session &s, const char *name, const char *value) {
    std::string n = name, v = value;
    return milter_header(&s.ctx, n.data(), v.data());
  }
};

TEST_F(CallbacksTest, ShutdownWaitsForARunningCallback) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(connect(s), SMFIS_NOREPLY);
  std::promise<void> inside, release;
  std::shared_future<void> released = release.get_future().share();
  s.ctx.on_getsymval = [&](const std::string &name) {
    if (name == "{auth_type}") {
      inside.set_value();
      released.wait();
    }
  };
  auto answer = std::async(std::launch::async,
                           [&] { return mail(s, "<a@fail.test>"); });
  inside.get_future().wait();

  EXPECT_FALSE(close_callbacks(milliseconds(50)))
      << "a callback is still inside its body";
  release.set_value();
  EXPECT_TRUE(close_callbacks(milliseconds(5000)));
  EXPECT_EQ(answer.get(), SMFIS_REJECT) << "the running one finishes its work";
}

TEST_F(CallbacksTest, AfterShutdownCallbacksLeaveTheSharedStateAlone) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(connect(s), SMFIS_NOREPLY);
  ASSERT_EQ(helo(s, "h.example"), SMFIS_NOREPLY);
  ASSERT_EQ(mail(s, "<a@pass.test>"), SMFIS_CONTINUE);
  ASSERT_TRUE(close_callbacks(milliseconds(1000)));

  // A new connection is let through without a record (at its first step
  // that replies: CONNECT does not).
  smtp_session late("192.0.2.11");
  EXPECT_EQ(connect(late), SMFIS_NOREPLY);
  EXPECT_EQ(late.cd(), nullptr);
  EXPECT_EQ(mail(late, "<c@fail.test>"), SMFIS_ACCEPT);
  // The open one gets no more checks, no header...
  EXPECT_EQ(mail(s, "<b@fail.test>"), SMFIS_ACCEPT);
  EXPECT_EQ(milter_data(&s.ctx), SMFIS_CONTINUE);
  EXPECT_EQ(milter_eom(&s.ctx), SMFIS_CONTINUE);
  EXPECT_TRUE(s.inserted_headers().empty());
  // ...but abort and close still release its texts and its record.
  EXPECT_EQ(milter_abort(&s.ctx), SMFIS_CONTINUE);
  EXPECT_FALSE(s.cd()->mail_from);
  EXPECT_EQ(milter_close(&s.ctx), SMFIS_CONTINUE);
  s.closed = true;
  EXPECT_EQ(s.cd(), nullptr);
  late.closed = true;
}

TEST_F(CallbacksTest, DrainWaitsForOpenConnectionsToClose) {
  open_callbacks();
  smtp_session s("192.0.2.10");
  ASSERT_EQ(connect(s), SMFIS_NOREPLY);
  // A connection accepted without a record is not waited for.
  smtp_session unknown("192.0.2.11");
  EXPECT_EQ(milter_connect(&unknown.ctx, unknown.host_name.data(), nullptr),
            SMFIS_NOREPLY);
  clear_log();
  EXPECT_EQ(milter_close(&unknown.ctx), SMFIS_CONTINUE);
  unknown.closed = true;
  EXPECT_TRUE(log_contains(LOG_NOTICE, "spf_close called but cd is null"));
  // A connection whose connect step never came (a probe) closes silently.
  smtp_session probe("192.0.2.12");
  clear_log();
  EXPECT_EQ(milter_close(&probe.ctx), SMFIS_CONTINUE);
  probe.closed = true;
  EXPECT_TRUE(captured_log().empty());
  EXPECT_EQ(open_connections(), 1);
  EXPECT_FALSE(drain_connections(milliseconds(30)));
  // While draining, mail is still judged.
  EXPECT_EQ(mail(s, "<a@fail.test>"), SMFIS_REJECT);
  EXPECT_EQ(milter_close(&s.ctx), SMFIS_CONTINUE);
  s.closed = true;
  EXPECT_EQ(open_connections(), 0);
  EXPECT_TRUE(drain_connections(milliseconds(30)));
}

TEST_F(CallbacksTest, AnExceptionIsTurnedIntoAcceptance) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(connect(s), SMFIS_NOREPLY);
  s.ctx.on_getsymval = [](const std::string &) {
    throw std::runtime_error("unexpected");
  };
  EXPECT_EQ(mail(s, "<a@fail.test>"), SMFIS_ACCEPT);
  EXPECT_TRUE(log_contains(LOG_ERR, "spf_envfrom failed unexpectedly - accepting"));
  EXPECT_TRUE(close_callbacks(milliseconds(100))) << "the count is balanced";
}

// The negotiation asks for no reply at the quiet steps, no body, no unknown
// commands; with -r each recipient's step keeps its reply.
TEST_F(CallbacksTest, NegotiationAsksNotToWaitWhereNothingIsDecided) {
  const unsigned long quiet = SMFIP_NR_CONN | SMFIP_NR_HELO | SMFIP_NR_HDR |
                              SMFIP_NR_EOH;
  const struct {
    const char *what;
    int recipient_mx;
    unsigned long offered;
    sfsistat answer;
    unsigned long steps;
  } cases[] = {
      {"everything offered", 0, SMFI_CURR_PROT, SMFIS_CONTINUE,
       SMFIP_NOBODY | SMFIP_NOUNKNOWN | quiet | SMFIP_NR_RCPT},
      {"-r", 1, SMFI_CURR_PROT, SMFIS_CONTINUE,
       SMFIP_NOBODY | SMFIP_NOUNKNOWN | quiet},
      {"no body or unknown commands to leave out", 0, quiet | SMFIP_NR_RCPT,
       SMFIS_CONTINUE, quiet | SMFIP_NR_RCPT},
      {"a no-reply flag missing", 0, SMFI_CURR_PROT & ~SMFIP_NR_HDR,
       SMFIS_REJECT, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    config.recipient_mx = c.recipient_mx;
    smtp_session s("192.0.2.10");
    unsigned long actions = 0, steps = 0, f2 = 1, f3 = 1;
    EXPECT_EQ(milter_negotiate(&s.ctx, SMFI_CURR_ACTS, c.offered, 0, 0,
                               &actions, &steps, &f2, &f3),
              c.answer);
    if (c.answer != SMFIS_CONTINUE) continue;
    EXPECT_EQ(actions, static_cast<unsigned long>(SMFIF_ADDHDRS | SMFIF_CHGHDRS));
    EXPECT_EQ(steps, c.steps);
    EXPECT_EQ(f2 | f3, 0ul);
    s.closed = true;
  }
}

// A whole message through the entry points: only MAIL FROM, DATA and end of
// message answer; the header fields are still seen (a forged Received-SPF
// is deleted).
TEST_F(CallbacksTest, OnlyTheStepsThatDecideReply) {
  for (int recipient_mx : {0, 1}) {
    SCOPED_TRACE(recipient_mx ? "-r" : "default");
    config.recipient_mx = recipient_mx;
    smtp_session s("192.0.2.10");
    EXPECT_EQ(connect(s), SMFIS_NOREPLY);
    EXPECT_EQ(helo(s, "client.example.net"), SMFIS_NOREPLY);
    EXPECT_EQ(mail(s, "<a@pass.test>"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(s, "<user@rcpt.test>"),
              recipient_mx ? SMFIS_CONTINUE : SMFIS_NOREPLY);
    EXPECT_EQ(milter_data(&s.ctx), SMFIS_CONTINUE);
    EXPECT_EQ(header(s, "Received-SPF", "pass (mx.example.org: forged)"),
              SMFIS_NOREPLY);
    EXPECT_EQ(milter_eoh(&s.ctx), SMFIS_NOREPLY);
    EXPECT_EQ(milter_eom(&s.ctx), SMFIS_CONTINUE);
    EXPECT_EQ(s.deleted_indices(), std::vector<int>{1});
    EXPECT_EQ(s.inserted_headers().size(), 1u);
    milter_close(&s.ctx);
    s.closed = true;
  }
}

// A quiet step's own trouble (here: a callback arriving while shutdown has
// closed the gate) lets the mail through at the next step that replies:
// after CONNECT or HELO every message of the connection, after RCPT TO, a
// header field or end of headers the current message only. Each message
// let through so gets its verdict line (-V) when it is accepted.
TEST_F(CallbacksTest, TroubleAtAQuietStepAcceptsAtTheNextReply) {
  const std::string line_start =
      "verdict: queue=- client=192.0.2.10 client_name=client.example.net ";
  enum step { at_helo, at_rcpt, at_header, at_eoh };
  const struct {
    const char *what;
    step trouble;
    bool whole_connection;
  } cases[] = {
      {"HELO", at_helo, true},
      {"RCPT TO", at_rcpt, false},
      {"a header field", at_header, false},
      {"end of headers", at_eoh, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    config.verdict_log = 1;
    clear_log();
    smtp_session s("192.0.2.10");
    ASSERT_EQ(connect(s), SMFIS_NOREPLY);
    auto in_trouble = [&](step at, auto call) {
      if (at == c.trouble) {
        ASSERT_TRUE(close_callbacks(milliseconds(1000)));
      }
      EXPECT_EQ(call(), SMFIS_NOREPLY);
      open_callbacks();
    };
    in_trouble(at_helo, [&] { return helo(s, "client.example.net"); });
    config.mark_only = 1;  // a fail is let through to show what happens later
    sfsistat first = mail(s, "<a@fail.test>");
    if (c.whole_connection) {
      EXPECT_EQ(first, SMFIS_ACCEPT);
      EXPECT_EQ(mail(s, "<b@fail.test>"), SMFIS_ACCEPT) << "the next message too";
      milter_close(&s.ctx);
      s.closed = true;
      EXPECT_EQ(verdict_lines(),
                (std::vector<std::string>{
                    line_start + "helo=- from=a@fail.test identity=- spf=- "
                                 "action=accepted time_ms=N lookups=0",
                    line_start + "helo=- from=b@fail.test identity=- spf=- "
                                 "action=accepted time_ms=N lookups=0"}));
      continue;
    }
    EXPECT_EQ(first, SMFIS_CONTINUE);
    in_trouble(at_rcpt, [&] { return rcpt(s, "<user@example.net>"); });
    EXPECT_EQ(milter_data(&s.ctx), c.trouble == at_rcpt ? SMFIS_ACCEPT
                                                         : SMFIS_CONTINUE);
    if (c.trouble != at_rcpt) {
      in_trouble(at_header, [&] { return header(s, "Subject", "x"); });
      in_trouble(at_eoh, [&] { return milter_eoh(&s.ctx); });
      EXPECT_EQ(milter_eom(&s.ctx), SMFIS_ACCEPT);
    }
    EXPECT_TRUE(s.inserted_headers().empty()) << "accepted unmarked";
    // The next message is checked and marked again.
    EXPECT_EQ(mail(s, "<b@pass.test>"), SMFIS_CONTINUE);
    EXPECT_EQ(milter_data(&s.ctx), SMFIS_CONTINUE);
    EXPECT_EQ(milter_eom(&s.ctx), SMFIS_CONTINUE);
    EXPECT_EQ(s.inserted_headers().size(), 1u);
    milter_close(&s.ctx);
    s.closed = true;
    const std::string helo = line_start + "helo=client.example.net ";
    EXPECT_EQ(verdict_lines(),
              (std::vector<std::string>{
                  helo + "from=a@fail.test identity=mailfrom spf=fail "
                         "action=accepted time_ms=N lookups=0",
                  helo + "from=b@pass.test identity=mailfrom spf=pass "
                         "action=marked time_ms=N lookups=0"}));
  }
}

}  // namespace
