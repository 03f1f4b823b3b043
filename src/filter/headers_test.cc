#include "filter/headers.h"

#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "common/version.h"
#include "fake_syslog.h"
#include "filter/auth_results.h"
#include "smtp_session.h"

namespace {

class HeadersTest : public filter_test {
 protected:
  // A connection whose receiver is mx.example.org, with one message started
  // by an authenticated sender (no SPF query needed).
  void start(smtp_session &s) {
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo("client.example.net"), SMFIS_CONTINUE);
    s.ctx.macros["{auth_type}"] = "PLAIN";
    ASSERT_EQ(s.mail("<a@pass.test>"), SMFIS_CONTINUE);
    clear_log();
  }
  std::string software() const {
    return std::string(" x-software=heronsend 2.2 http://www.heronsend.org/ "
                       "with ") +
           version_text + ";";
  }
};

TEST_F(HeadersTest, SuspectTests) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_STREQ(receiver.get(), "mx.example.org");
  const struct {
    const char *value;
    bool suspect;
  } cases[] = {
      // Test B: the comment names this host, in any letter case.
      {"pass (mx.example.org: domain of a@b designates 1.2.3.4)", true},
      {"fail (MX.Example.ORG: domain of a@b ...)", true},
      {"temperror (mx.example.org: x) identity=mailfrom;", true},
      {"pass\t \t(mx.example.org: x)", true},
      {"pass (mx.example.org : x)", false},   // ":" must follow at once
      {"pass (mx.example.org.evil: x)", false},
      {"pass  mx.example.org: x", false},
      {"(mx.example.org: x)", false},  // the first word is "(mx.example.org:"
      {" (mx.example.org: x)", true},  // empty first word
      // Test A: receiver= after the last ")".
      {"pass (other.example: x) receiver=mx.example.org; client-ip=1.2.3.4;", true},
      {"pass (other.example: x) client-ip=1.2.3.4; receiver=MX.EXAMPLE.ORG;", true},
      {"pass (other.example: x) receiver=mx.example.org", false},  // no ";"
      {"pass (other.example: x) Receiver=mx.example.org;", false},  // case-sensitive key
      {"pass (other.example: x) receiver=mx.example.org.evil;", false},
      {"pass (receiver=mx.example.org;) x", false},  // only before the last ")"
      {"pass receiver=mx.example.org;", true},       // no ")": whole value
      // Only the first " receiver=" counts.
      {"pass (o: x) receiver=other.example; receiver=mx.example.org;", false},
      {"pass (other.example: x) receiver=other.example;", false},
      {"", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(received_spf_is_suspect(c.value), c.suspect) << c.value;
}

// With -A, an incoming Authentication-Results header whose authserv-id is
// this host is forged and goes like a forged Received-SPF header; without
// -A the filter leaves them alone.
TEST_F(HeadersTest, ForgedAuthenticationResultsAreRemovedWithA) {
  smtp_session probe("192.0.2.10");
  ASSERT_EQ(probe.connect(), SMFIS_CONTINUE);
  const struct {
    const char *value;
    bool ours;
  } cases[] = {
      {"mx.example.org; spf=pass smtp.mailfrom=a.test", true},
      {"MX.Example.Org; none", true},
      {"  (comment (nested)) mx.example.org 1; spf=pass", true},
      {"\"mx.example.org\"; dkim=pass", true},
      {"mx.example.org(c); spf=pass", true},
      {"mx.example.org.evil; spf=pass", false},
      {"other.example; spf=pass (mx.example.org) smtp.mailfrom=a", false},
      {"mx.example; spf=pass", false},
      {"", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(auth_results_names_us(c.value), c.ours) << c.value;
  probe.close();

  for (char with_a : {0, 1}) {
    config.auth_results = with_a;
    smtp_session s("192.0.2.10");
    start(s);
    s.header("Authentication-Results", "other.example; spf=pass");       // 1
    s.header("authentication-results", "mx.example.org; spf=pass");      // 2
    s.header("Received-SPF", "pass (mx.example.org: forged)");           // 1
    s.header("Authentication-Results", "MX.EXAMPLE.ORG; dkim=pass");     // 3
    s.eom();
    EXPECT_EQ(s.deleted_indices(), (std::vector<int>{1}));
    std::vector<int> forged = {3, 2};
    EXPECT_EQ(s.deleted_indices("Authentication-Results"),
              with_a ? forged : std::vector<int>());
    s.close();
    release_receiver();
  }
}

TEST_F(HeadersTest, OnlyReceivedSpfHeadersAreCountedAnyLetterCase) {
  smtp_session s("192.0.2.10");
  start(s);
  s.header("Received", "from mx.example.org (mx.example.org: x)");
  s.header("received-spf", "pass (other.example: x)");
  s.header("X-Received-SPF", "pass (mx.example.org: x)");
  s.header("RECEIVED-SPF", "pass (mx.example.org: x)");
  EXPECT_EQ(s.cd()->header_count, 2);
  EXPECT_EQ(s.cd()->spoof_count, 1);
  EXPECT_EQ(s.cd()->spoof_index[0], 2);
  EXPECT_EQ(captured_log(),
            (std::vector<log_line>{{LOG_NOTICE,
                                    "found possible spoofed header - 'pass "
                                    "(mx.example.org: x)'"}}));
}

TEST_F(HeadersTest, SuspectsAreDeletedFromTheLastDownAndTheNewHeaderGoesOnTop) {
  smtp_session s("192.0.2.10");
  start(s);
  s.header("Received-SPF", "pass (other.example: x)");              // 1
  s.header("Received-SPF", "pass (mx.example.org: forged)");        // 2
  s.header("Received-SPF", "none (o: x) receiver=mx.example.org;");  // 3
  s.header("Received-SPF", "softfail (other.example: y)");          // 4
  s.header("Received-SPF", "fail (MX.EXAMPLE.ORG: forged)");        // 5
  EXPECT_EQ(s.eom(), SMFIS_CONTINUE);
  EXPECT_EQ(s.deleted_indices(), (std::vector<int>{5, 3, 2}));
  ASSERT_EQ(s.inserted_headers().size(), 1u);
  // Deletions come before the insertion.
  EXPECT_TRUE(s.ctx.header_changes.back().insert);
}

TEST_F(HeadersTest, TenSuspectsDeleteEveryReceivedSpfHeader) {
  for (int suspects : {9, 10, 12}) {
    SCOPED_TRACE(suspects);
    smtp_session s("192.0.2.10");
    start(s);
    s.header("Received-SPF", "pass (other.example: kept?)");
    for (int i = 0; i < suspects; i++)
      s.header("Received-SPF", "pass (mx.example.org: forged)");
    s.header("Received-SPF", "pass (other.example: kept?)");
    EXPECT_EQ(s.cd()->spoof_count, std::min(suspects, 10));
    EXPECT_EQ(captured_log().size(), static_cast<std::size_t>(suspects));
    s.eom();
    std::vector<int> expected;
    if (suspects < 10) {
      for (int i = suspects + 1; i >= 2; i--) expected.push_back(i);
    } else {
      for (int i = suspects + 2; i >= 1; i--) expected.push_back(i);
    }
    EXPECT_EQ(s.deleted_indices(), expected);
    s.close();
    release_receiver();
  }
}

TEST_F(HeadersTest, AuthenticatedAndAllowlistedExplanations) {
  {
    smtp_session s("192.0.2.10");
    start(s);
    s.eom();
    EXPECT_EQ(s.inserted_headers(),
              (std::vector<std::string>{
                  "pass (mx.example.org: authenticated connection) "
                  "receiver=mx.example.org; client-ip=192.0.2.10; "
                  "helo=client.example.net; envelope-from=a@pass.test; "
                  "identity=x-local;" +
                  software()}));
  }
  {
    smtp_session s("2001:db8::77");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    s.cd()->allowlisted = 1;
    ASSERT_EQ(s.mail("<>"), SMFIS_CONTINUE);
    s.eom();
    EXPECT_EQ(s.inserted_headers(),
              (std::vector<std::string>{
                  "pass (mx.example.org: 2001:db8::77 is allowlisted) "
                  "receiver=mx.example.org; client-ip=2001:db8::77; "
                  "envelope-from=\"\"; identity=x-local;" +
                  software()}));
    EXPECT_FALSE(s.cd()->mail_from);
  }
}

TEST_F(HeadersTest, ExplanationTable) {
  const char *r = "mx.example.org";
  // Only the verdicts RFC 7208 defines name the identity they are about.
  const struct {
    int index;
    std::string text;
    const char *identity;
  } cases[] = {
      {0, "pass (mx.example.org: domain of f@d designates 192.0.2.10 as permitted sender)", "mailfrom"},
      {1, "fail (mx.example.org: domain of f@d does not designate 192.0.2.10 as permitted sender)", "mailfrom"},
      {2, "softfail (mx.example.org: domain of transitioning f@d does not designate 192.0.2.10 as permitted sender)", "mailfrom"},
      {3, "neutral (mx.example.org: 192.0.2.10 is neither permitted nor denied by domain of f@d)", "mailfrom"},
      {4, "unknown (mx.example.org: unknown result during lookup of f@d)", "x-local"},
      {5, "unknown-mechanisms (mx.example.org: domain of f@d uses a mechanism not recognized by this client)", "x-local"},
      {6, "invalid (mx.example.org: domain of f@d has invalid SPF)", "x-local"},
      {7, "temperror (mx.example.org: temporary error in processing during lookup of f@d)", "mailfrom"},
      {8, "permerror (mx.example.org: error in processing during lookup of f@d)", "mailfrom"},
      {9, "none (mx.example.org: f@d does not designate permitted sender hosts)", "mailfrom"},
      {-1, "?\?? (mx.example.org: ?\?\?)", "x-local"},
      {10, "?\?? (mx.example.org: ?\?\?)", "x-local"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.index);
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    s.cd()->mail_from = copy_text("e@d");
    s.cd()->use_mail_from = copy_text("f@d");
    s.cd()->result_index = c.index;
    s.cd()->action = ACTION_MARK;
    s.eom();
    EXPECT_EQ(s.inserted_headers(),
              (std::vector<std::string>{c.text + " receiver=" + r +
                                        "; client-ip=192.0.2.10; "
                                        "envelope-from=e@d; identity=" +
                                        c.identity + ";" + software()}));
    s.close();
  }
}

TEST_F(HeadersTest, NoHeaderWithoutAMarkAction) {
  for (int action : {ACTION_NONE, ACTION_REJECT}) {
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    s.cd()->mail_from = copy_text("e@d");
    s.cd()->result_index = 0;
    s.cd()->action = action;
    s.header("Received-SPF", "pass (mx.example.org: forged)");
    EXPECT_EQ(s.eom(), SMFIS_CONTINUE);
    EXPECT_TRUE(s.inserted_headers().empty());
    EXPECT_EQ(s.deleted_indices(), (std::vector<int>{1}));
    EXPECT_FALSE(s.cd()->mail_from) << "texts are released in any case";
    s.close();
  }
}

// The header's lines, "NAME: " counted on the first; each continuation
// line begins with the blank the fold went before.
std::vector<std::size_t> line_lengths(const std::string &name,
                                      const std::string &value) {
  std::vector<std::size_t> lengths;
  std::size_t start = 0, extra = name.size() + 2;
  for (;;) {
    std::size_t end = value.find('\n', start);
    lengths.push_back(extra + (end == std::string::npos ? value.size() : end) - start);
    if (end == std::string::npos) return lengths;
    EXPECT_EQ(value[end + 1], ' ') << "a fold goes before a key's blank";
    start = end + 1;
    extra = 0;
  }
}

std::string unfolded(std::string value) {
  std::erase(value, '\n');
  return value;
}

// The longest legal inputs (a 64-character local part at a 253-character
// domain, 255-character HELO and receiver names, an IPv6 client) fold
// before a key where a line would pass 998 characters, and unfold to the
// one-line value, whole; with -A -c the Authentication-Results value too.
// Client text longer than a line leaves its key out whole, never cut.
TEST_F(HeadersTest, LongValuesFoldBeforeAKeyAndKeepEveryKeyWhole) {
  auto name = [](char c, std::size_t n) {  // labels of 63, dot-separated
    std::string s;
    while (s.size() < n) s += (s.empty() ? "" : ".") + std::string(63, c);
    return s.substr(0, n - 4) + ".tst";
  };
  const std::string local(64, 'l'), domain = name('d', 253),
      helo = name('h', 255), rcv = name('r', 255);
  const std::string ip = "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff";
  const struct {
    std::string helo, from;
    std::size_t lines, ar_lines;  // Received-SPF's, Authentication-Results'
    std::string absent;           // a key left out
  } cases[] = {
      {helo, local + "@" + domain, 2, 3, ""},
      {helo, std::string(1500, 'f') + "@" + domain, 2, 3, " envelope-from="},
      {std::string(1200, 'h'), local + "@" + domain, 2, 2, " helo="},
  };
  config.auth_results = 1;
  config.check_helo = 1;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.from.size());
    clear_log();
    smtp_session s(ip);
    s.ctx.macros["{j}"] = rcv;
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo(c.helo), SMFIS_CONTINUE);
    s.cd()->mail_from = copy_text(c.from.c_str());
    s.cd()->use_mail_from = copy_text(c.from.c_str());
    s.cd()->result_index = 0;  // as if the domain had passed the client
    s.cd()->helo_result_index = 2;
    s.cd()->action = ACTION_MARK;
    s.eom();
    std::vector<std::string> spf = s.inserted_headers();
    std::vector<std::string> ar = s.inserted_headers("Authentication-Results");
    ASSERT_EQ(spf.size(), 2u);
    ASSERT_EQ(ar.size(), 1u);
    std::vector<std::size_t> lengths = line_lengths("Received-SPF", spf[1]);
    EXPECT_EQ(lengths.size(), c.lines) << spf[1];
    for (std::size_t n : lengths) EXPECT_LE(n, 998u);
    for (std::size_t n : line_lengths("Received-SPF", spf[0])) EXPECT_LE(n, 998u);
    lengths = line_lengths("Authentication-Results", ar[0]);
    EXPECT_EQ(lengths.size(), c.ar_lines) << ar[0];
    for (std::size_t n : lengths) EXPECT_LE(n, 998u);

    // Unfolded, the value is the one-line value, less a key left out; an
    // overlong sender or HELO name is not quoted in the comment either.
    bool long_helo = c.absent == " helo=";
    std::string expl = rcv + ": domain of " +
                       (c.from.size() > 320 ? domain : c.from) +
                       " designates " + ip + " as permitted sender";
    std::string helo_expl = rcv + ": domain of transitioning " +
                            (long_helo ? "an overlong sender" : "postmaster@" + c.helo) +
                            " does not designate " + ip + " as permitted sender";
    EXPECT_EQ(unfolded(spf[1]),
              "pass (" + expl + ") receiver=" + rcv + "; client-ip=" + ip + ";" +
                  (long_helo ? "" : " helo=" + c.helo + ";") +
                  (c.absent == " envelope-from=" ? "" : " envelope-from=" + c.from + ";") +
                  " identity=mailfrom;" + software());
    EXPECT_EQ(unfolded(ar[0]), rcv + "; spf=pass (" + expl + ") smtp.mailfrom=" +
                                   domain + "; spf=softfail (" + helo_expl + ")" +
                                   (long_helo ? "" : " smtp.helo=" + c.helo));
    if (!c.absent.empty()) {
      EXPECT_TRUE(log_contains(LOG_INFO, "header key " + c.absent.substr(1, c.absent.size() - 2) +
                                             " left out: too long for a line"));
    }
    s.close();
    release_receiver();
  }
}

// Client text with line breaks, NULs cut it short anyway, or great length:
// the header stays one line within 2000 characters, the log lines one line
// each.
TEST_F(HeadersTest, ClientTextCannotBreakTheHeaderOrTheLog) {
  const struct {
    std::string helo, from, forged;
    std::string header_part;  // must appear in the header value
  } cases[] = {
      {"evil\r\nX-Injected: yes", "<a@b.example>", "",
       " helo=\"evil??X-Injected: yes\";"},
      {"h.example", "<a\n@b.example>", "", " envelope-from=\"a?@b.example\";"},
      {"tab\there", "<a@b.example>", "", " helo=\"tab?here\";"},
      {"h.example", "<a@b.example>", "pass (mx.example.org: x)\r\n\tfolded",
       " helo=h.example;"},
      // Longer than a line: the keys are left out whole.
      {std::string(3000, 'h') + "\n", "<" + std::string(3000, 'f') + "\r@d>", "",
       " client-ip=192.0.2.10; identity=x-local;"},
      // A field separator, quote or parenthesis cannot end a field early.
      {"h; envelope-from=forged@x.example", "<a@b.example>", "",
       " helo=\"h; envelope-from=forged@x.example\"; envelope-from=a@b.example;"},
      {"h.example", "<\"a) b\\\"@x.example>", "",
       " envelope-from=\"\\\"a) b\\\\\\\"@x.example\";"},
  };
  for (const auto &c : cases) {
    smtp_session s("192.0.2.10");
    ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo(c.helo), SMFIS_CONTINUE);
    ASSERT_EQ(s.helo(c.helo + "\n2nd"), SMFIS_CONTINUE);
    s.ctx.macros["{auth_type}"] = "PLAIN";
    ASSERT_EQ(s.mail(c.from), SMFIS_CONTINUE);
    if (!c.forged.empty()) s.header("Received-SPF", c.forged);
    s.eom();
    std::vector<std::string> values = s.inserted_headers();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_LT(values[0].size(), 2000u);
    EXPECT_EQ(values[0].find_first_of(std::string("\r\n\t\0", 4)), std::string::npos)
        << values[0];
    EXPECT_NE(values[0].find(c.header_part), std::string::npos) << values[0];
    for (const log_line &l : captured_log()) {
      EXPECT_EQ(l.text.find_first_of("\r\n"), std::string::npos) << l.text;
      EXPECT_LT(l.text.size(), 2200u);
    }
    s.close();
  }
  EXPECT_TRUE(log_contains(LOG_NOTICE, "multiple HELOs from evil\\x0d\\x0aX-Injected: yes"
                                       " [192.0.2.10] - ignoring 'evil\\x0d\\x0aX-Injected:"
                                       " yes\\x0a2nd'"));
  EXPECT_TRUE(log_contains(LOG_NOTICE, "found possible spoofed header - 'pass "
                                       "(mx.example.org: x)\\x0d\\x0a\\x09folded'"));
}

// A parenthesis in the sender does not end the explanation's comment.
TEST_F(HeadersTest, ExplanationCommentIsEscaped) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  ASSERT_EQ(s.helo("h.example"), SMFIS_CONTINUE);
  const char from[] = "a) receiver=mx.example.org;(\\@d.example";
  s.cd()->mail_from = copy_text(from);
  s.cd()->use_mail_from = copy_text(from);
  s.cd()->result_index = 9;
  s.cd()->action = ACTION_MARK;
  s.eom();
  std::vector<std::string> values = s.inserted_headers();
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].substr(0, values[0].find(" client-ip=")),
            "none (mx.example.org: a\\) receiver=mx.example.org;\\(\\\\@d.example"
            " does not designate permitted sender hosts) receiver=mx.example.org;");
  s.close();
}

TEST_F(HeadersTest, CallbacksWithoutARecord) {
  SMFICTX ctx;
  char name[] = "Received-SPF", value[] = "x";
  EXPECT_EQ(spf_header(&ctx, name, value), SMFIS_ACCEPT);
  EXPECT_EQ(spf_eom(&ctx), SMFIS_CONTINUE);
  EXPECT_TRUE(ctx.header_changes.empty());
  EXPECT_TRUE(log_contains(LOG_NOTICE, "spf_header called but cd is null"));
}

}  // namespace
