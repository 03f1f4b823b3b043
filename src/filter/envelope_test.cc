#include "filter/envelope.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/config.h"
#include "fake_alloc.h"
#include "fake_syslog.h"
#include "smtp_session.h"

namespace {

TEST(NormalizeAddressTest, Cases) {
  const struct {
    const char *in;
    const char *out;
  } cases[] = {
      {"<user@example.org>", "user@example.org"},
      {"user@example.org", "user@example.org"},
      {"<<user@example.org>>", "user@example.org"},
      {"<>", ""},
      {"", ""},
      {"<<<", ""},
      {">>>", ""},
      {"<user@example.org\r>", "user@example.org"},  // CR goes with ">"
      {"<user@example.org>\r", "user@example.org>"},  // CR stops ">" removal
      {"<user@example.org\r\r>>", "user@example.org"},
      {"<\r>", ""},
      {"a<b>c", "a<b>c"},
  };
  for (const auto &c : cases) {
    std::string buf = c.in;
    EXPECT_STREQ(normalize_address(buf.data()), c.out) << c.in;
  }
}

class EnvelopeTest : public filter_test {};

TEST_F(EnvelopeTest, RepeatedHeloKeepsTheFirstNameAndQueriesTheNewest) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  EXPECT_EQ(s.helo("first.example"), SMFIS_CONTINUE);
  EXPECT_EQ(s.helo("first.example"), SMFIS_CONTINUE);
  EXPECT_TRUE(captured_log().empty()) << "the same name again is no notice";
  EXPECT_EQ(s.helo("Second.example"), SMFIS_CONTINUE);
  EXPECT_EQ(captured_log(),
            (std::vector<log_line>{
                {LOG_NOTICE, "multiple HELOs from first.example [192.0.2.10] - "
                             "ignoring 'Second.example'"}}));
  EXPECT_STREQ(s.cd()->helo.get(), "first.example");
  EXPECT_STREQ(s.cd()->lib->request->helo_dom, "Second.example");
}

TEST_F(EnvelopeTest, AllowlistedClientsHeloIsNotHandedToSpf) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  s.cd()->allowlisted = 1;
  EXPECT_EQ(s.helo("h.example"), SMFIS_CONTINUE);
  EXPECT_STREQ(s.cd()->helo.get(), "h.example");
  EXPECT_EQ(s.cd()->lib->request->helo_dom, nullptr);
}

TEST_F(EnvelopeTest, SenderGivenToSpf) {
  const struct {
    const char *helo;  // none when null
    const char *sender;
    const char *mail_from;
    const char *checked;
  } cases[] = {
      {"h.example", "<a@pass.test>", "a@pass.test", "a@pass.test"},
      {"h.example", "<>", "", "mailer_daemon@h.example"},
      {nullptr, "<>", "", "mailer_daemon@[192.0.2.10]"},
      {"h.example", "<postmaster>", "postmaster", "mailer_daemon@h.example"},
      {nullptr, "postmaster", "postmaster", "mailer_daemon@[192.0.2.10]"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.sender);
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    if (c.helo) {
      ASSERT_EQ(s.helo(c.helo), SMFIS_CONTINUE);
    }
    s.mail(c.sender);
    EXPECT_STREQ(s.cd()->mail_from.get(), c.mail_from);
    EXPECT_STREQ(s.cd()->use_mail_from.get(), c.checked);
    EXPECT_STREQ(s.cd()->lib->request->env_from, c.checked);
  }
}

TEST_F(EnvelopeTest, SubstituteSenderIsBoundedByScratch) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  std::string long_helo(3000, 'h');
  ASSERT_EQ(s.helo(long_helo), SMFIS_CONTINUE);
  s.mail("<>");
  ASSERT_TRUE(s.cd()->use_mail_from);
  EXPECT_EQ(std::strlen(s.cd()->use_mail_from.get()), SCRATCH_SIZE - 1);
}

TEST_F(EnvelopeTest, AuthenticatedSendersAreNotChecked) {
  const struct {
    const char *auth_type;
    const char *verify;
    bool authenticated;
  } cases[] = {
      {"PLAIN", nullptr, true},
      {"XCLIENT", nullptr, true},
      {nullptr, "OK", true},
      {nullptr, "FAIL", false},
      {nullptr, "ok", false},
      {nullptr, "NONE", false},
      {"", nullptr, false},
      {nullptr, nullptr, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.auth_type ? c.auth_type : "-") + "/" +
                 (c.verify ? c.verify : "-"));
    smtp_session s("192.0.2.99");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    if (c.auth_type) s.ctx.macros["{auth_type}"] = c.auth_type;
    if (c.verify) s.ctx.macros["{verify}"] = c.verify;
    sfsistat answer = s.mail("<a@fail.test>");
    EXPECT_EQ(s.cd()->authenticated, c.authenticated ? 1 : 0);
    EXPECT_EQ(answer, c.authenticated ? SMFIS_CONTINUE : SMFIS_REJECT);
    EXPECT_EQ(s.cd()->lib->response == nullptr, c.authenticated)
        << "no query for an authenticated sender";
  }
}

TEST_F(EnvelopeTest, NewMessageStartsFresh) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_EQ(s.helo("h.example"), SMFIS_CONTINUE);
  s.ctx.macros["{auth_type}"] = "PLAIN";
  ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
  EXPECT_EQ(s.cd()->authenticated, 1);
  s.header("Received-SPF", "pass (mx.example.org: x) receiver=mx.example.org;");
  EXPECT_EQ(s.cd()->header_count, 1);
  EXPECT_EQ(s.cd()->spoof_count, 1);
  s.cd()->action = ACTION_REJECT;
  s.cd()->result_index = 5;

  s.ctx.macros.erase("{auth_type}");
  ASSERT_EQ(s.mail("<b@softfail.test>"), SMFIS_CONTINUE);
  connection_data *cd = s.cd();
  EXPECT_EQ(cd->authenticated, 0);
  EXPECT_EQ(cd->header_count, 0);
  EXPECT_EQ(cd->spoof_count, 0);
  EXPECT_EQ(cd->result_index, 2);
  EXPECT_EQ(cd->action, ACTION_MARK);
  EXPECT_STREQ(cd->mail_from.get(), "b@softfail.test");
  EXPECT_STREQ(cd->helo.get(), "h.example");
  EXPECT_STREQ(cd->ip_str.get(), "192.0.2.10");
}

TEST_F(EnvelopeTest, FailedQueryAcceptsWithTheTwoLines) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  // A request that lost its client address cannot be evaluated at all.
  s.cd()->lib->request->client_ver = AF_UNSPEC;
  clear_log();
  EXPECT_EQ(s.mail("<a@pass.test>"), SMFIS_ACCEPT);
  std::vector<log_line> log = captured_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], (log_line{LOG_ERR, "SPF_request_query_mailfrom() failed"}));
  EXPECT_EQ(log[1].priority, LOG_ERR);
  EXPECT_EQ(log[1].text.rfind("lib_do_check() failed on mail from "
                              "'a@pass.test' sent by [192.0.2.10] - ",
                              0),
            0u)
      << log[1].text;
  EXPECT_EQ(s.cd()->action, ACTION_NONE);
}

// Every internal failure lets the message through unchecked: the callback
// answers SMFIS_ACCEPT (libmilter then calls nothing more for the message,
// so it gets no header and keeps its Received-SPF headers) after the
// failure's own log lines.
TEST_F(EnvelopeTest, FailOpenPaths) {
  const struct {
    const char *name;
    const char *failing_copy;  // the text whose copy fails
    std::vector<log_line> log;
  } cases[] = {
      {"helo copy", "h.example", {{LOG_ERR, "couldn't strdup helo"}}},
      {"helo in the SPF request", "second.example",
       {{LOG_ERR, "SPF_request_set_helo_dom() failed"},
        {LOG_ERR, "lib_set_helo_hostname() failed - Out of memory"}}},
      {"mail_from copy", "a@pass.test", {{LOG_ERR, "couldn't strdup mail_from"}}},
      {"use_mail_from copy", "mailer_daemon@h.example",
       {{LOG_ERR, "couldn't strdup use_mail_from"}}},
      {"sender in the SPF request", "pass.test",
       {{LOG_ERR, "SPF_request_set_env_from() failed"},
        {LOG_ERR, "lib_set_from() failed - Out of memory"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    clear_log();
    fail_next_strdup_of(c.failing_copy);
    // The daemon copies the HELO name and the sender; the library copies
    // the newest HELO name, the sender and the sender's domain.
    sfsistat answer = s.helo("h.example");
    if (answer == SMFIS_CONTINUE) answer = s.helo("second.example");
    if (answer == SMFIS_CONTINUE) answer = s.mail("<a@pass.test>");
    if (answer == SMFIS_CONTINUE) answer = s.mail("<>");
    EXPECT_EQ(answer, SMFIS_ACCEPT);
    EXPECT_FALSE(cancel_strdup_failure()) << "the failure was not reached";
    std::vector<log_line> log = captured_log();
    // Notices about the repeated HELO are not part of the failure.
    std::erase_if(log, [](const log_line &l) { return l.priority == LOG_NOTICE; });
    EXPECT_EQ(log, c.log);
    EXPECT_TRUE(s.ctx.replies.empty());
  }
}

TEST_F(EnvelopeTest, RecipientCallbacksDoNothingInTheNormalMode) {
  smtp_session s("192.0.2.99");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  s.ctx.macros["{auth_type}"] = "PLAIN";
  ASSERT_EQ(s.mail("<a@fail.test>"), SMFIS_CONTINUE);
  EXPECT_EQ(s.rcpt("<x@rcpt.test>"), SMFIS_CONTINUE);
  EXPECT_EQ(s.eoh(), SMFIS_CONTINUE);
  EXPECT_EQ(s.cd()->result_index, -1);
  EXPECT_EQ(s.cd()->lib->response, nullptr);
}

}  // namespace
