// Whole SMTP sessions through the filter callbacks, with real SPF
// evaluation over the in-memory zone.

#include <gtest/gtest.h>

#include <string>

#include "daemon/config.h"
#include "daemon/daemon.h"
#include "fake_syslog.h"
#include "filter/headers.h"
#include "filter/result.h"
#include "smtp_session.h"
#include "spf_zone.h"

namespace {

class SessionTest : public filter_test {
 protected:
  std::string software() const {
    return std::string(" x-software=heronsend 2.2 http://www.heronsend.org/ "
                       "with ") +
           version_text + ";";
  }
};

// One message per sender domain of the standard zone, from a client the
// pass record permits (192.0.2.10), with and without -m.
TEST_F(SessionTest, EveryVerdictThroughTheLibrary) {
  const std::string r = "mx.example.org";
  const struct {
    const char *domain;
    bool refused;  // without -m
    std::string value_start;
  } cases[] = {
      {"pass.test", false,
       "pass (mx.example.org: domain of a@pass.test designates 192.0.2.10 as "
       "permitted sender)"},
      {"fail.test", true,
       "fail (mx.example.org: domain of a@fail.test does not designate "
       "192.0.2.10 as permitted sender)"},
      {"softfail.test", false,
       "softfail (mx.example.org: domain of transitioning a@softfail.test does "
       "not designate 192.0.2.10 as permitted sender)"},
      {"neutral.test", false,
       "neutral (mx.example.org: 192.0.2.10 is neither permitted nor denied by "
       "domain of a@neutral.test)"},
      {"none.test", false,
       "none (mx.example.org: a@none.test does not designate permitted sender "
       "hosts)"},
      {"permerror.test", false,
       "permerror (mx.example.org: error in processing during lookup of "
       "a@permerror.test)"},
      {"temperror.test", false,
       "temperror (mx.example.org: temporary error in processing during "
       "lookup of a@temperror.test)"},
      // The sender's own record broken, or its own lookup failing.
      {"invalid.test", false,
       "permerror (mx.example.org: error in processing during lookup of "
       "a@invalid.test)"},
      {"ownfail.test", false,
       "temperror (mx.example.org: temporary error in processing during "
       "lookup of a@ownfail.test)"},
      {"exp.test", true,
       "fail (mx.example.org: domain of a@exp.test does not designate "
       "192.0.2.10 as permitted sender)"},
  };
  for (char mark_only : {0, 1}) {
    config.mark_only = mark_only;
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(c.domain) + (mark_only ? " -m" : ""));
      clear_log();
      smtp_session s("192.0.2.10");
      ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
      ASSERT_EQ(s.helo("client.example.net"), SMFIS_CONTINUE);
      std::string sender = std::string("a@") + c.domain;
      sfsistat answer = s.mail("<" + sender + ">");
      if (c.refused && !mark_only) {
        EXPECT_EQ(answer, SMFIS_REJECT);
        ASSERT_EQ(s.ctx.replies.size(), 1u);
        EXPECT_EQ(s.ctx.replies[0].rcode, "550");
        EXPECT_EQ(s.ctx.replies[0].xcode, "5.7.1");
        EXPECT_EQ(s.ctx.replies[0].message, "fail");
        EXPECT_TRUE(
            log_contains(LOG_INFO, "rejecting mail from [192.0.2.10] - fail"));
        continue;
      }
      EXPECT_EQ(answer, SMFIS_CONTINUE);
      EXPECT_TRUE(s.ctx.replies.empty());
      EXPECT_EQ(s.rcpt("<rcpt@example.org>"), SMFIS_CONTINUE);
      s.header("Subject", "hello");
      EXPECT_EQ(s.eoh(), SMFIS_CONTINUE);
      EXPECT_EQ(s.eom(), SMFIS_CONTINUE);
      EXPECT_EQ(s.inserted_headers(),
                (std::vector<std::string>{
                    c.value_start + " receiver=" + r +
                    "; client-ip=192.0.2.10; helo=client.example.net; "
                    "envelope-from=" + sender + "; identity=mailfrom;" +
                    software()}));
      EXPECT_TRUE(captured_log().empty());
    }
  }
}

TEST_F(SessionTest, NullSenderIsCheckedAsMailerDaemon) {
  zone_add_txt("h.example", "v=spf1 ip4:192.0.2.10 -all");
  {
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo("h.example"), SMFIS_CONTINUE);
    ASSERT_EQ(s.mail("<>"), SMFIS_CONTINUE);
    s.eom();
    EXPECT_EQ(s.inserted_headers(),
              (std::vector<std::string>{
                  "pass (mx.example.org: domain of mailer_daemon@h.example "
                  "designates 192.0.2.10 as permitted sender) "
                  "receiver=mx.example.org; client-ip=192.0.2.10; "
                  "helo=h.example; envelope-from=\"\"; identity=helo;" +
                  software()}));
  }
  {
    // Without HELO the sender's domain is the client's address literal,
    // which has no SPF record.
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.mail("<>"), SMFIS_CONTINUE);
    EXPECT_STREQ(s.cd()->lib->request->env_from, "mailer_daemon@[192.0.2.10]");
    s.eom();
    std::vector<std::string> values = s.inserted_headers();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_NE(values[0].find("mailer_daemon@[192.0.2.10]"), std::string::npos)
        << values[0];
    EXPECT_NE(values[0].find("client-ip=192.0.2.10; envelope-from=\"\"; "
                             "identity=helo;"),
              std::string::npos)
        << values[0];
  }
}

// With -A: the verdict in an Authentication-Results header too, below the
// Received-SPF header, for the verdicts RFC 7208 defines; none where no
// identity was checked. The identity= key of the Received-SPF header is the
// value's last, whatever the client wrote before it.
TEST_F(SessionTest, AuthenticationResultsBesideReceivedSpf) {
  const std::string r = "mx.example.org; spf=";
  const struct {
    const char *helo;  // nullptr: no HELO
    const char *sender;
    const char *identity;
    std::string auth_results;  // "" for none
  } cases[] = {
      {"h.example", "<a@pass.test>", "mailfrom",
       r + "pass (mx.example.org: domain of a@pass.test designates "
           "192.0.2.10 as permitted sender) smtp.mailfrom=pass.test"},
      {"h.example", "<a@fail.test>", "mailfrom",
       r + "fail (mx.example.org: domain of a@fail.test does not designate "
           "192.0.2.10 as permitted sender) smtp.mailfrom=fail.test"},
      {"h.example", "<b@temperror.test>", "mailfrom",
       r + "temperror (mx.example.org: temporary error in processing during "
           "lookup of b@temperror.test) smtp.mailfrom=temperror.test"},
      {"h.example", "<identity=helo@permerror.test>", "mailfrom",
       r + "permerror (mx.example.org: error in processing during lookup of "
           "identity=helo@permerror.test) smtp.mailfrom=permerror.test"},
      {"pass.test", "<>", "helo",
       r + "pass (mx.example.org: domain of mailer_daemon@pass.test designates "
           "192.0.2.10 as permitted sender) smtp.helo=pass.test"},
      {nullptr, "<>", "helo",
       r + "none (mx.example.org: mailer_daemon@[192.0.2.10] does not "
           "designate permitted sender hosts)"},
      {"[192.0.2.10]", "<postmaster>", "helo",
       r + "none (mx.example.org: mailer_daemon@[192.0.2.10] does not "
           "designate permitted sender hosts) smtp.helo=\"[192.0.2.10]\""},
  };
  config.mark_only = 1;
  config.auth_results = 1;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.sender);
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    if (c.helo) {
      ASSERT_EQ(s.helo(c.helo), SMFIS_CONTINUE);
    }
    ASSERT_EQ(s.mail(c.sender), SMFIS_CONTINUE);
    s.eom();
    ASSERT_EQ(s.inserted_headers().size(), 1u);
    const std::string spf = s.inserted_headers()[0];
    EXPECT_EQ(spf.substr(spf.rfind(" identity=")),
              std::string(" identity=") + c.identity + ";" + software());
    EXPECT_EQ(s.inserted_headers("Authentication-Results"),
              (std::vector<std::string>{c.auth_results}));
    EXPECT_EQ(s.ctx.header_changes.back().name, "Received-SPF")
        << "Received-SPF is inserted last, so it is the first field";
  }
  // Unchecked messages: no SPF verdict to report.
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  s.ctx.macros["{auth_type}"] = "PLAIN";
  ASSERT_EQ(s.mail("<a@fail.test>"), SMFIS_CONTINUE);
  s.eom();
  EXPECT_EQ(s.inserted_headers().size(), 1u);
  EXPECT_TRUE(s.inserted_headers("Authentication-Results").empty());
}

TEST_F(SessionTest, TwoMessagesOnOneConnection) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_EQ(s.helo("client.example.net"), SMFIS_CONTINUE);
  ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
  s.header("Received-SPF", "pass (mx.example.org: forged)");
  s.eom();
  ASSERT_EQ(s.mail("<b@softfail.test>"), SMFIS_CONTINUE);
  s.header("Received-SPF", "softfail (other.example: fine)");
  s.eom();
  std::vector<std::string> values = s.inserted_headers();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].rfind("pass (", 0), 0u);
  EXPECT_EQ(values[1].rfind("softfail (", 0), 0u);
  EXPECT_NE(values[1].find("envelope-from=b@softfail.test;"), std::string::npos);
  EXPECT_EQ(s.deleted_indices(), (std::vector<int>{1}))
      << "the second message's unsuspected header stays";
}

TEST_F(SessionTest, RefusedMessageThenANewOne) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  EXPECT_EQ(s.mail("<a@fail.test>"), SMFIS_REJECT);
  EXPECT_FALSE(s.cd()->mail_from);
  EXPECT_FALSE(s.cd()->use_mail_from);
  EXPECT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
  s.eom();
  ASSERT_EQ(s.inserted_headers().size(), 1u);
  EXPECT_EQ(s.inserted_headers()[0].rfind("pass (", 0), 0u);
}

TEST_F(SessionTest, Ipv6AndMappedIpv4Clients) {
  const struct {
    const char *client;
    const char *shown;
  } cases[] = {
      {"2001:db8::10", "2001:db8::10"},
      {"::ffff:192.0.2.10", "192.0.2.10"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.client);
    smtp_session s(c.client);
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
    s.eom();
    ASSERT_EQ(s.inserted_headers().size(), 1u);
    EXPECT_EQ(s.inserted_headers()[0].rfind(
                  std::string("pass (mx.example.org: domain of a@pass.test "
                              "designates ") +
                      c.shown + " as permitted sender) receiver=mx.example.org;"
                                " client-ip=" + c.shown + ";",
                  0),
              0u)
        << s.inserted_headers()[0];
  }
}

TEST_F(SessionTest, AbortedMessageGetsNoHeader) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
  s.abort();
  ASSERT_EQ(s.mail("<a@softfail.test>"), SMFIS_CONTINUE);
  s.eom();
  ASSERT_EQ(s.inserted_headers().size(), 1u);
  EXPECT_EQ(s.inserted_headers()[0].rfind("softfail (", 0), 0u);
}

class RecipientMxTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    config.recipient_mx = 1;
  }
};

TEST_F(RecipientMxTest, EachRecipientIsCheckedAgainstItsDomainsMx) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_EQ(s.helo("client.example.net"), SMFIS_CONTINUE);
  ASSERT_EQ(s.mail("<a@fail.test>"), SMFIS_CONTINUE)
      << "no MAIL FROM query in this mode";
  EXPECT_EQ(s.cd()->lib->response, nullptr);
  EXPECT_EQ(s.rcpt("<x@elsewhere.test>"), SMFIS_CONTINUE);
  EXPECT_EQ(s.cd()->result_index, 3);
  EXPECT_EQ(s.rcpt("<y@rcpt.test>"), SMFIS_CONTINUE);
  EXPECT_EQ(s.cd()->result_index, 0);
  EXPECT_EQ(s.eoh(), SMFIS_CONTINUE);
  s.eom();
  EXPECT_EQ(s.inserted_headers(),
            (std::vector<std::string>{
                "pass (mx.example.org: domain of a@fail.test designates "
                "192.0.2.10 as permitted sender) receiver=mx.example.org; "
                "client-ip=192.0.2.10; helo=client.example.net; "
                "envelope-from=a@fail.test; identity=x-local;" + software()}));
}

// A refused recipient ends only that recipient, not the message: the
// message's texts must survive for its header. (The library's recipient
// check never fails a client, so the refusal is set up by hand.)
TEST_F(RecipientMxTest, ARefusedRecipientLeavesTheMessageTexts) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
  EXPECT_EQ(s.rcpt("<ok@rcpt.test>"), SMFIS_CONTINUE);
  s.cd()->lib->result = SPF_RESULT_FAIL;
  s.cd()->result_index = 1;
  EXPECT_EQ(apply_spf_result(&s.ctx), SMFIS_REJECT);
  ASSERT_EQ(s.ctx.replies.size(), 1u);
  EXPECT_EQ(s.ctx.replies[0].rcode, "550");
  EXPECT_STREQ(s.cd()->mail_from.get(), "a@pass.test");
  EXPECT_STREQ(s.cd()->use_mail_from.get(), "a@pass.test");
  EXPECT_EQ(s.rcpt("<ok2@rcpt.test>"), SMFIS_CONTINUE)
      << "a later recipient is judged on its own";
  s.eoh();
  s.eom();
  ASSERT_EQ(s.inserted_headers().size(), 1u);
  EXPECT_EQ(s.inserted_headers()[0].rfind(
                "pass (mx.example.org: domain of a@pass.test designates "
                "192.0.2.10 as permitted sender) receiver=mx.example.org; "
                "client-ip=192.0.2.10; envelope-from=a@pass.test;",
                0),
            0u)
      << s.inserted_headers()[0];
}

TEST_F(RecipientMxTest, RecipientDomainMustBeAHostName) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
  clear_log();
  EXPECT_EQ(s.rcpt("<x@rcpt.test +all>"), SMFIS_ACCEPT);
  EXPECT_EQ(captured_log(),
            (std::vector<log_line>{
                {LOG_ERR, "SPF_request_query_rcptto() failed"},
                {LOG_ERR, "lib_do_rcpt_check() failed on recipient 'x@rcpt.test "
                          "+all' sent by [192.0.2.10] - Invalid character "
                          "found"}}));
}

TEST_F(RecipientMxTest, AuthenticatedAndAllowlistedAreNotChecked) {
  smtp_session s("192.0.2.99");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  s.ctx.macros["{auth_type}"] = "LOGIN";
  ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
  EXPECT_EQ(s.rcpt("<x@elsewhere.test>"), SMFIS_CONTINUE);
  EXPECT_EQ(s.cd()->lib->response, nullptr);
  s.eoh();
  s.eom();
  ASSERT_EQ(s.inserted_headers().size(), 1u);
  EXPECT_EQ(s.inserted_headers()[0].rfind(
                "pass (mx.example.org: authenticated connection)", 0),
            0u);
}

}  // namespace
