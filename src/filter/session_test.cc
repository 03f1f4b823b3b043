// Whole SMTP sessions through the filter callbacks, with real SPF
// evaluation over the in-memory zone.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/config.h"
#include "common/version.h"
#include "fake_syslog.h"
#include "filter/headers.h"
#include "filter/result.h"
#include "filter/statistics.h"
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
// pass record permits (192.0.2.10), with and without -m; each gets its
// verdict line (-V), a refused one after the refusal's own line.
TEST_F(SessionTest, EveryVerdictThroughTheLibrary) {
  const std::string r = "mx.example.org";
  const struct {
    const char *domain;
    bool refused; // without -m
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
  const std::string line_start =
      "verdict: queue=- client=192.0.2.10 client_name=client.example.net "
      "helo=client.example.net from=";
  for (char mark_only : {0, 1}) {
    config.mark_only = mark_only;
    config.verdict_log = 1;
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
        EXPECT_EQ(
            captured_log().front(),
            (log_line{LOG_INFO, "rejecting mail from [192.0.2.10] - fail"}));
        EXPECT_EQ(verdict_lines(),
                  (std::vector<std::string>{
                      line_start + sender +
                      " identity=mailfrom spf=fail action=refused time_ms=N "
                      "lookups=0"}));
        continue;
      }
      EXPECT_EQ(answer, SMFIS_CONTINUE);
      EXPECT_TRUE(s.ctx.replies.empty());
      EXPECT_EQ(s.rcpt("<rcpt@example.org>"), SMFIS_CONTINUE);
      s.header("Subject", "hello");
      EXPECT_EQ(s.eoh(), SMFIS_CONTINUE);
      s.ctx.macros["i"] = "4Fb2Q1"; // Postfix's queue ID, from DATA on
      EXPECT_EQ(s.eom(), SMFIS_CONTINUE);
      EXPECT_EQ(s.inserted_headers(),
                (std::vector<std::string>{
                    c.value_start + " receiver=" + r +
                    "; client-ip=192.0.2.10; helo=client.example.net; "
                    "envelope-from=" +
                    sender + "; identity=mailfrom;" + software()}));
      std::string word = c.value_start.substr(0, c.value_start.find(' '));
      EXPECT_EQ(captured_log().size(), 1u);
      std::string line = line_start + sender +
                         " identity=mailfrom spf=" + word +
                         " action=marked time_ms=N lookups=0";
      line.replace(line.find("queue=-"), 7, "queue=4Fb2Q1");
      EXPECT_EQ(verdict_lines(), (std::vector<std::string>{line}));
    }
  }
}

// Every way a message ends gives its one verdict line, and the statistics
// count each message once.
TEST_F(SessionTest, VerdictLineForEveryWayAMessageEnds) {
  config.verdict_log = 1;
  config.refuse_helo_fail = 1;
  config.check_helo = 1;
  config.defer_temperror = 1;
  zone_add_txt("helo.pass.test", "v=spf1 ip4:192.0.2.10 -all");
  zone_add_txt("helo.fail.test", "v=spf1 -all");
  kv_line discard;
  take_statistics(&discard); // other tests' messages
  const std::string from_client =
      "verdict: queue=- client=192.0.2.10 client_name=client.example.net ";
  {
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo("helo.pass.test"), SMFIS_CONTINUE);
    ASSERT_EQ(s.mail("<>"), SMFIS_CONTINUE); // the null sender
    s.eom();
    ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
    s.abort(); // the MTA's abort
    ASSERT_EQ(s.mail("<b@pass.test>"), SMFIS_CONTINUE);
    // A new MAIL FROM without an abort before it, with its own queue ID
    // (as Sendmail sends it): not the aborted message's.
    s.ctx.macros["i"] = "5ABC";
    EXPECT_EQ(s.mail("<c@temperror.test>"), SMFIS_TEMPFAIL);
    s.abort(); // after a refusal: nothing more to log
    ASSERT_EQ(s.mail("<\"odd sender\"@pass.test>"), SMFIS_CONTINUE);
    s.close(); // the client went away
  }
  {
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    s.ctx.macros["{auth_type}"] = "PLAIN";
    ASSERT_EQ(s.mail("<a@fail.test>"), SMFIS_CONTINUE);
    s.eom();
  }
  {
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo("helo.fail.test"), SMFIS_CONTINUE);
    EXPECT_EQ(s.mail("<a@pass.test>"), SMFIS_REJECT);
  }
  {
    smtp_session s("192.0.2.10"); // no MAIL FROM: no line
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo("helo.pass.test"), SMFIS_CONTINUE);
  }
  const std::string pass_helo = from_client + "helo=helo.pass.test ";
  std::string with_queue = pass_helo;
  with_queue.replace(with_queue.find("queue=-"), 7, "queue=5ABC");
  EXPECT_EQ(
      verdict_lines(),
      (std::vector<std::string>{
          pass_helo + "from=<> identity=helo spf=pass action=marked "
                      "time_ms=N lookups=0",
          pass_helo + "from=a@pass.test identity=mailfrom spf=pass "
                      "action=aborted time_ms=N lookups=0",
          pass_helo + "from=b@pass.test identity=mailfrom spf=pass "
                      "action=aborted time_ms=N lookups=0",
          with_queue + "from=c@temperror.test identity=mailfrom "
                       "spf=temperror action=deferred time_ms=N lookups=0",
          with_queue + "from=\"\\\"odd sender\\\"@pass.test\" "
                       "identity=mailfrom spf=pass action=aborted "
                       "time_ms=N lookups=0",
          from_client + "helo=- from=a@fail.test identity=auth spf=pass "
                        "action=marked time_ms=N lookups=0",
          from_client + "helo=helo.fail.test from=a@pass.test "
                        "identity=helo spf=fail action=refused "
                        "time_ms=N lookups=0",
      }));
  kv_line figures;
  take_statistics(&figures);
  std::string counted = figures.c_str();
  EXPECT_EQ(counted.substr(0, counted.find(" slowest_ms=")),
            "statistics: messages=7 checks=8 pass=5 fail=1 softfail=0 "
            "neutral=0 none=0 temperror=1 permerror=0 invalid=0 "
            "no_verdict=0 accepted=0 marked=2 refused=1 deferred=1 "
            "aborted=3 quarantined=0 left_to_dmarc=0 kept_only=0 lookups=0 "
      "cache_hits=0 lookups_failed=0");
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
// What each verdict gets under each -o choice: the reply at MAIL FROM, or
// "mark" (let through with its header). -m refuses and defers nothing;
// the library's own trouble ("invalid") is never turned away.
TEST_F(SessionTest, ResultPolicies) {
  struct choice {
    const char *name;
    char softfail, permerror, temperror, mark_only;
  };
  const choice choices[] = {
      {"default", 0, 0, 0, 0},           {"softfail=refuse", 1, 0, 0, 0},
      {"permerror=refuse", 0, 1, 0, 0},  {"temperror=defer", 0, 0, 1, 0},
      {"all three with -m", 1, 1, 1, 1},
  };
  const struct {
    const char *domain;
    const char *outcome[5]; // per choice, in the order above
  } cases[] = {
      {"pass.test", {"mark", "mark", "mark", "mark", "mark"}},
      {"fail.test",
       {"550 5.7.1 fail", "550 5.7.1 fail", "550 5.7.1 fail", "550 5.7.1 fail",
        "mark"}},
      {"softfail.test", {"mark", "550 5.7.1 softfail", "mark", "mark", "mark"}},
      {"neutral.test", {"mark", "mark", "mark", "mark", "mark"}},
      {"none.test", {"mark", "mark", "mark", "mark", "mark"}},
      {"permerror.test",
       {"mark", "mark", "550 5.5.2 permerror", "mark", "mark"}},
      {"invalid.test", {"mark", "mark", "550 5.5.2 permerror", "mark", "mark"}},
      {"temperror.test",
       {"mark", "mark", "mark", "451 4.4.3 temperror", "mark"}},
      {"ownfail.test", {"mark", "mark", "mark", "451 4.4.3 temperror", "mark"}},
  };
  for (int k = 0; k < 5; k++) {
    const choice &c = choices[k];
    config.refuse_softfail = c.softfail;
    config.refuse_permerror = c.permerror;
    config.defer_temperror = c.temperror;
    config.mark_only = c.mark_only;
    for (const auto &row : cases) {
      SCOPED_TRACE(std::string(row.domain) + " with " + c.name);
      smtp_session s("192.0.2.10");
      ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
      sfsistat answer = s.mail(std::string("<a@") + row.domain + ">");
      std::string outcome = row.outcome[k];
      if (outcome == "mark") {
        EXPECT_EQ(answer, SMFIS_CONTINUE);
        EXPECT_TRUE(s.ctx.replies.empty());
        s.eom();
        EXPECT_EQ(s.inserted_headers().size(), 1u);
        continue;
      }
      EXPECT_EQ(answer, outcome[0] == '4' ? SMFIS_TEMPFAIL : SMFIS_REJECT);
      ASSERT_EQ(s.ctx.replies.size(), 1u);
      const milter_reply &r = s.ctx.replies[0];
      EXPECT_EQ(r.rcode + " " + r.xcode + " " + r.message, outcome);
      EXPECT_TRUE(log_contains(
          LOG_INFO, std::string(outcome[0] == '4' ? "deferring" : "rejecting") +
                        " mail from [192.0.2.10] - " + outcome.substr(10)));
      EXPECT_FALSE(s.cd()->mail_from) << "the message ends here";
    }
  }
  // The library's own trouble is marked, whatever the choice.
  config = daemon_config{};
  config.refuse_softfail = config.refuse_permerror = config.defer_temperror = 1;
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  s.cd()->lib->result = SPF_RESULT_INVALID;
  s.cd()->result_index = spf_result_index(SPF_RESULT_INVALID);
  EXPECT_EQ(apply_spf_result(&s.ctx), SMFIS_CONTINUE);
  EXPECT_EQ(s.cd()->action, ACTION_MARK);
}

// -c: the HELO name is checked on its own at the first HELO; its verdict
// gets a Received-SPF header of its own (identity=helo) below the
// sender's, and a second result in Authentication-Results with -A; with
// -o helofail=refuse a HELO fail is refused at MAIL FROM, for every message
// of the connection. The sender's verdict decides everything else.
TEST_F(SessionTest, HeloIdentityCheck) {
  zone_add_txt("mail.pass.test", "v=spf1 ip4:192.0.2.10 -all");
  zone_add_txt("fail.test.example", "v=spf1 -all");
  zone_add_txt("localhost", "v=spf1 +all");
  const struct {
    const char *helo;
    const char *helo_word; // the HELO header's first word, "" for none
  } cases[] = {
      {"mail.pass.test", "pass"}, {"fail.test.example", "fail"},
      {"[192.0.2.10]", "none"}, // an address literal: no query
      {"localhost", "none"},    // a single label: no query
      {"none.test", "none"},
  };
  config.check_helo = 1;
  config.auth_results = 1;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.helo);
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo(c.helo), SMFIS_CONTINUE);
    for (int message = 0; message < 2; message++) {
      ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
      s.eom();
    }
    std::vector<std::string> spf = s.inserted_headers();
    ASSERT_EQ(spf.size(), 4u) << "two headers for each message";
    // Inserted last first: the HELO header, then the sender's on top.
    EXPECT_EQ(spf[0].rfind(std::string(c.helo_word) + " (mx.example.org: ", 0),
              0u)
        << spf[0];
    EXPECT_NE(spf[0].find("postmaster@" + std::string(c.helo)),
              std::string::npos);
    EXPECT_NE(spf[0].find(" identity=helo; x-software="), std::string::npos);
    EXPECT_EQ(spf[1].rfind("pass (", 0), 0u);
    EXPECT_NE(spf[1].find(" identity=mailfrom;"), std::string::npos);
    EXPECT_EQ(spf[2], spf[0]) << "the HELO verdict is kept for the connection";
    std::vector<std::string> ar = s.inserted_headers("Authentication-Results");
    ASSERT_EQ(ar.size(), 2u);
    EXPECT_NE(
        ar[0].find("smtp.mailfrom=pass.test; spf=" + std::string(c.helo_word)),
        std::string::npos)
        << ar[0];
  }
  // Refusing a HELO fail; an authenticated sender is not refused, the null
  // sender's own verdict is already the HELO name's.
  config.refuse_helo_fail = 1;
  {
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo("fail.test.example"), SMFIS_CONTINUE);
    EXPECT_EQ(s.mail("<a@pass.test>"), SMFIS_REJECT);
    EXPECT_EQ(s.mail("<b@pass.test>"), SMFIS_REJECT);
    ASSERT_EQ(s.ctx.replies.size(), 2u);
    EXPECT_EQ(s.ctx.replies[0].rcode + " " + s.ctx.replies[0].xcode + " " +
                  s.ctx.replies[0].message,
              "550 5.7.1 HELO fail");
    EXPECT_TRUE(
        log_contains(LOG_INFO, "rejecting mail from [192.0.2.10] - HELO fail"));
    s.ctx.macros["{auth_type}"] = "PLAIN";
    EXPECT_EQ(s.mail("<c@pass.test>"), SMFIS_CONTINUE);
  }
  {
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo("mail.pass.test"), SMFIS_CONTINUE);
    ASSERT_EQ(s.mail("<>"), SMFIS_CONTINUE);
    s.eom();
    EXPECT_EQ(s.inserted_headers().size(), 1u);
  }
}

TEST_F(SessionTest, AuthenticationResultsBesideReceivedSpf) {
  const std::string r = "mx.example.org; spf=";
  const struct {
    const char *helo; // nullptr: no HELO
    const char *sender;
    const char *identity;
    std::string auth_results; // "" for none
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
  // Passes this host made, not the domain: libspf2's free pass for a
  // loopback client, and the local policy's. They are the receiver's
  // decision (identity=x-local), with no Authentication-Results field a
  // DMARC filter would align on; the domain's own pass still is one.
  config.local_policy = "ip4:198.51.100.7";
  stop_spf();
  ASSERT_TRUE(start_spf_with_zone());
  load_standard_zone();
  zone_add_txt("policy.test", "v=spf1 ip4:198.51.100.7 -all");
  const std::string by_policy =
      "(mx.example.org: 198.51.100.7 is permitted by local policy)";
  const struct {
    const char *client, *helo, *sender;
    std::string comment;      // the message's header's
    std::string helo_header;  // its HELO header's start, "" for none
    std::string auth_results; // "" for none
  } passes[] = {
      {"127.0.0.1", "fail.test", "<a@fail.test>",
       "(mx.example.org: 127.0.0.1 is this host)", "", ""},
      {"::1", "fail.test", "<a@pass.test>",
       "(mx.example.org: ::1 is this host)", "", ""},
      // The policy goes before the record's "-all" (not "v=spf1 -all").
      {"198.51.100.7", "fail.test", "<a@pass.test>", by_policy, "", ""},
      // The domain's own passes; a HELO pass by the local policy is this
      // host's, and no result in Authentication-Results.
      {"192.0.2.10", "fail.test", "<a@pass.test>",
       "(mx.example.org: domain of a@pass.test designates 192.0.2.10 as "
       "permitted sender)",
       "fail (mx.example.org: domain of postmaster@fail.test does not "
       "designate "
       "192.0.2.10 as permitted sender) ",
       r + "pass (mx.example.org: domain of a@pass.test designates 192.0.2.10 "
           "as "
           "permitted sender) smtp.mailfrom=pass.test; spf=fail "
           "(mx.example.org: "
           "domain of postmaster@fail.test does not designate 192.0.2.10 as "
           "permitted sender) smtp.helo=fail.test"},
      {"198.51.100.7", "pass.test", "<a@policy.test>",
       "(mx.example.org: domain of a@policy.test designates 198.51.100.7 as "
       "permitted sender)",
       "pass " + by_policy + " ",
       r + "pass (mx.example.org: domain of a@policy.test designates "
           "198.51.100.7 as "
           "permitted sender) smtp.mailfrom=policy.test"},
  };
  config.check_helo = 1;
  for (const auto &c : passes) {
    SCOPED_TRACE(c.sender);
    smtp_session s(c.client);
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo(c.helo), SMFIS_CONTINUE);
    ASSERT_EQ(s.mail(c.sender), SMFIS_CONTINUE);
    s.eom();
    const std::vector<std::string> spf = s.inserted_headers();
    bool own = !c.auth_results.empty();
    ASSERT_EQ(spf.size(), own ? 2u : 1u) << spf[0];
    EXPECT_EQ(spf.back().substr(0, spf.back().find(" receiver=")),
              "pass " + c.comment);
    EXPECT_NE(
        spf.back().find(own ? " identity=mailfrom;" : " identity=x-local;"),
        std::string::npos);
    if (own) {
      EXPECT_EQ(spf[0].substr(0, c.helo_header.size()), c.helo_header);
      EXPECT_NE(spf[0].find(c.helo_header[0] == 'f' ? " identity=helo;"
                                                    : " identity=x-local;"),
                std::string::npos);
    }
    EXPECT_EQ(s.inserted_headers("Authentication-Results"),
              own ? std::vector<std::string>{c.auth_results}
                  : std::vector<std::string>{});
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
  EXPECT_NE(values[1].find("envelope-from=b@softfail.test;"),
            std::string::npos);
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
                      c.shown +
                      " as permitted sender) receiver=mx.example.org;"
                      " client-ip=" +
                      c.shown + ";",
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
                "envelope-from=a@fail.test; identity=x-local;" +
                software()}));
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
  EXPECT_EQ(
      captured_log(),
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

} // namespace

namespace {

// The receiver's choices that spare wanted mail, one message each from
// 192.0.2.10: what MAIL FROM and each RCPT TO answer (C continue, R reject,
// T tempfail), the reply of the first refusal, whether the message is
// marked with its verdict, the quarantine reason and a log line.
TEST_F(SessionTest, ChoicesThatSpareWantedMail) {
  const std::string default_exp =
      "The domain fail.test explains: Please see "
      "http://www.openspf.org/Why?id=a%%40fail.test&ip=192.0.2.10&receiver=";
  const struct {
    const char *options; // as given on the command line
    void (*set)(daemon_config &);
    const char *domain;
    const char *answers; // MAIL FROM, then RCPT TO user, Postmaster
    std::string reply;   // how the first refusal "RCODE XCODE TEXT" begins
    const char *marked;  // the verdict in Received-SPF, or none
    const char *quarantine;
    const char *log;
  } cases[] = {
      // -k: refused at each recipient but the kept one, marked for it.
      {"-k postmaster,abuse@example.org",
       [](daemon_config &c) {
         c.keep_recipients = "postmaster,abuse@example.org";
       },
       "fail.test", "CRC", "550 5.7.1 fail", "fail", "",
       "accepting mail from [192.0.2.10] for kept recipient "
       "'Postmaster@example.org' - fail"},
      {"-k postmaster -o temperror=defer",
       [](daemon_config &c) {
         c.keep_recipients = "postmaster";
         c.defer_temperror = 1;
       },
       "temperror.test", "CTC", "451 4.4.3 temperror", "temperror", "",
       "deferring mail from [192.0.2.10] - temperror"},
      {"-k abuse", [](daemon_config &c) { c.keep_recipients = "abuse"; },
       "fail.test", "CRR", "550 5.7.1 fail", nullptr, "",
       "rejecting mail from [192.0.2.10] - fail - at each recipient but the "
       "kept ones"},
      {"-k postmaster",
       [](daemon_config &c) { c.keep_recipients = "postmaster"; }, "pass.test",
       "CCC", "", "pass", "", ""},
      // Quarantine: accepted, marked, held with the verdict named.
      {"-o fail=quarantine", [](daemon_config &c) { c.quarantine_fail = 1; },
       "fail.test", "CCC", "", "fail", "heronsend: SPF fail from [192.0.2.10]",
       "quarantining mail from [192.0.2.10] - fail"},
      {"-o softfail=quarantine",
       [](daemon_config &c) { c.quarantine_softfail = 1; }, "softfail.test",
       "CCC", "", "softfail", "heronsend: SPF softfail from [192.0.2.10]", ""},
      {"-o permerror=quarantine",
       [](daemon_config &c) { c.quarantine_permerror = 1; }, "permerror.test",
       "CCC", "", "permerror", "heronsend: SPF permerror from [192.0.2.10]",
       ""},
      {"-m -o fail=quarantine",
       [](daemon_config &c) {
         c.mark_only = 1;
         c.quarantine_fail = 1;
       },
       "fail.test", "CCC", "", "fail", "", ""},
      // fail=dmarc: left to DMARC only under an enforcing policy, also one
      // of the organizational domain; a failed lookup lets the fail stand.
      {"-o fail=dmarc", [](daemon_config &c) { c.fail_dmarc = 1; }, "fail.test",
       "CCC", "", "fail", "",
       "leaving mail from [192.0.2.10] to DMARC - fail, but 'fail.test' "
       "publishes p=reject at _dmarc.fail.test"},
      {"-o fail=dmarc", [](daemon_config &c) { c.fail_dmarc = 1; },
       "sub.neutral.test", "CCC", "", "fail", "",
       "publishes p=quarantine at _dmarc.neutral.test"},
      {"-o fail=dmarc", [](daemon_config &c) { c.fail_dmarc = 1; }, "exp.test",
       "R", "550 5.7.1 fail", nullptr, "",
       "DMARC policy lookup for 'exp.test' failed - the fail stands"},
      {"-o fail=dmarc", [](daemon_config &c) { c.fail_dmarc = 1; },
       "softfail.test", "CCC", "", "softfail", "", ""},
      {"-o fail=dmarc,softfail=refuse",
       [](daemon_config &c) {
         c.fail_dmarc = 1;
         c.refuse_softfail = 1;
       },
       "softfail.test", "R", "550 5.7.1 softfail", nullptr, "", ""},
      // -b: the fail's explanation, the sender's exp= text or libspf2's.
      {"-b", [](daemon_config &c) { c.bounce_explanation = 1; }, "exp.test",
       "R",
       "550 5.7.1 The domain exp.test explains: 192.0.2.10 is not one of "
       "exp.test's designated mail servers.",
       nullptr, "", ""},
      {"-b", [](daemon_config &c) { c.bounce_explanation = 1; }, "fail.test",
       "R", "550 5.7.1 " + default_exp, nullptr, "", ""},
      {"-b -o softfail=refuse",
       [](daemon_config &c) {
         c.bounce_explanation = 1;
         c.refuse_softfail = 1;
       },
       "softfail.test", "R", "550 5.7.1 softfail", nullptr, "", ""},
      {"-b -k postmaster",
       [](daemon_config &c) {
         c.bounce_explanation = 1;
         c.keep_recipients = "postmaster";
       },
       "exp.test", "CRC",
       "550 5.7.1 The domain exp.test explains: 192.0.2.10 is not one of "
       "exp.test's designated mail servers.",
       "fail", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.domain) + " " + c.options);
    stop_spf();
    config = daemon_config{};
    c.set(config);
    ASSERT_TRUE(start_spf_with_zone());
    load_standard_zone();
    zone_add_txt("_dmarc.fail.test", "v=DMARC1; p=reject");
    zone_add_txt("_dmarc.softfail.test", "v=DMARC1; p=none");
    zone_add_txt("_dmarc.neutral.test", "v=DMARC1; p=quarantine");
    zone_add_txt("sub.neutral.test", "v=spf1 -all");
    zone_add_failure("_dmarc.exp.test");
    clear_log();

    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo("client.example.net"), SMFIS_CONTINUE);
    std::string answers;
    auto letter = [](sfsistat a) {
      return a == SMFIS_CONTINUE   ? 'C'
             : a == SMFIS_REJECT   ? 'R'
             : a == SMFIS_TEMPFAIL ? 'T'
                                   : '?';
    };
    answers += letter(s.mail(std::string("<a@") + c.domain + ">"));
    if (answers == "C") {
      answers += letter(s.rcpt("<user@example.org>"));
      answers += letter(s.rcpt("<Postmaster@example.org>"));
    }
    EXPECT_EQ(answers, c.answers);
    if (!c.reply.empty()) {
      ASSERT_FALSE(s.ctx.replies.empty());
      const milter_reply &r = s.ctx.replies[0];
      std::string full = r.rcode + " " + r.xcode + " " + r.message;
      EXPECT_EQ(full.substr(0, c.reply.size()), c.reply);
    }
    if (answers.back() == 'C') {
      s.eoh();
      EXPECT_EQ(s.eom(), SMFIS_CONTINUE);
      std::vector<std::string> headers = s.inserted_headers();
      ASSERT_EQ(headers.size(), c.marked ? 1u : 0u);
      if (c.marked) {
        EXPECT_EQ(headers[0].substr(0, headers[0].find(' ')), c.marked);
      }
      EXPECT_EQ(s.ctx.quarantines.empty() ? "" : s.ctx.quarantines[0],
                c.quarantine);
    }
    if (*c.log) {
      bool found = false;
      for (const log_line &l : captured_log())
        found = found || l.text.find(c.log) != std::string::npos;
      EXPECT_TRUE(found) << c.log;
    }
  }
}

// -b: the sender's text as the client sees it, whatever it holds.
TEST(ExplainedReplyTest, HostileTextStaysInsideItsLines) {
  explained_reply r;
  EXPECT_FALSE(build_explained_reply("a.test", nullptr, &r));
  EXPECT_FALSE(build_explained_reply("a.test", " \r\n\t", &r));

  ASSERT_TRUE(
      build_explained_reply("a.test", "go\r\n550 5.7.1 ok\x01 100%", &r));
  ASSERT_EQ(r.lines, 1);
  EXPECT_STREQ(r.line[0], "The domain a.test explains: go 550 5.7.1 ok 100%%");

  ASSERT_TRUE(
      build_explained_reply("b\r\n.test", "\xc3\xa9t\xc3\xa9", &r)); // UTF-8
  EXPECT_STREQ(r.line[0], "The domain b .test explains: t");

  // 5 000 characters in words: the head, then three lines of at most 200,
  // cut at blanks, the last ending in "...".
  std::string words;
  while (words.size() < 5000)
    words += "word%\r\n550 ";
  ASSERT_TRUE(build_explained_reply("a.test", words.c_str(), &r));
  ASSERT_EQ(r.lines, 4);
  EXPECT_STREQ(r.line[0], "The domain a.test explains:");
  std::size_t total = 0;
  for (int i = 1; i < 4; i++) {
    std::string line = r.line[i];
    SCOPED_TRACE(line);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(line.front(), ' ');
    std::string plain; // without the doubling
    for (std::size_t k = 0; k < line.size(); k++) {
      plain += line[k];
      if (line[k] == '%')
        k++;
    }
    EXPECT_LE(plain.size(), EXPLAINED_LINE_SIZE);
    total += plain.size();
  }
  EXPECT_LE(total, 3 * EXPLAINED_LINE_SIZE);
  EXPECT_EQ(std::string(r.line[3]).substr(std::strlen(r.line[3]) - 3), "...");

  // Cut at blanks, 554 characters need more than three lines: the last
  // one says the text goes on.
  std::string five;
  for (int i = 0; i < 5; i++)
    five += std::string(110, 'y') + " ";
  ASSERT_TRUE(build_explained_reply("a.test", five.c_str(), &r));
  ASSERT_EQ(r.lines, 4);
  EXPECT_EQ(std::string(r.line[3]), std::string(110, 'y') + "...");

  // One word longer than a line is cut, not lost.
  std::string word(450, 'x');
  ASSERT_TRUE(build_explained_reply("a.test", word.c_str(), &r));
  ASSERT_EQ(r.lines, 4);
  EXPECT_EQ(std::string(r.line[1]), std::string(200, 'x'));
  EXPECT_EQ(std::string(r.line[3]), std::string(50, 'x'));
}

} // namespace
