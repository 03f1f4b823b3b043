#include "options/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Holds an argument vector in writable storage, as main() receives it.
struct arguments {
  explicit arguments(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string &w : words_) argv_.push_back(w.data());
    argv_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words_.size()); }
  char **argv() { return argv_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char *> argv_;
};

struct parse_outcome {
  bool ok;
  daemon_config cfg;
  std::string err;
};

// Parses a command line; the record lives as long as args (texts point in).
parse_outcome parse(arguments &args) {
  parse_outcome out{false, daemon_config{}, ""};
  out.cfg.program_name = base_program_name(args.argv()[0]);
  testing::internal::CaptureStderr();
  out.ok = parse_command_line(args.argc(), args.argv(), &out.cfg);
  out.err = testing::internal::GetCapturedStderr();
  return out;
}

const char kUsage[] =
    "usage: heronsend [options] /path/to/socket\n"
    "    -l <spf-mechanism>     Add local SPF policy mechanisms.\n"
    "    --localpolicy=<spf-mechanism>    Add local SPF policy mechanisms.\n"
    "    -t                     Use the trusted-forwarder.org allowlist of known mail forwarders.\n"
    "    --trustedforwarders               Use the trusted-forwarder.org allowlist of known mail forwarders.\n"
    "    -g <spf-mechanisms>    Add guess SPF policy mechanisms.\n"
    "    --guess=<spf-mechanisms>    Add guess SPF policy mechanisms.\n"
    "    -f <filename>          A file of fallback SPF mechanisms.\n"
    "    --fallback=<filename>              A file of fallback SPF mechanisms.\n"
    "    -w <filename>          A file of IP addresses to always accept mail from.\n"
    "    --whitelist=<filename>              A file of IP addresses to always accept mail from.\n"
    "    -a <filename>          A file of IP addresses to always accept mail from.\n"
    "    --allowlist=<filename>              A file of IP addresses to always accept mail from.\n"
    "    -r                     Check the MX records of the message's reqipients.\n"
    "    --recipientmx               Check the MX records of the message's reqipients.\n"
    "    -e <exp>               Change the message returned in mail bounces.\n"
    "    --explanation=<exp>              Change the message returned in mail bounces.\n"
    "    -m                     Mark email instead of rejecting it.\n"
    "    --markonly                       Mark email instead of rejecting it.\n"
    "    -u <user|uid>          Run as specified user or UID.\n"
    "    --user=<user|uid>                Run as specified user or UID.\n"
    "    -p <filename>          Write the process i.d. to the specified file.\n"
    "    --pidfile=<filename>                Write the process i.d. to the specified file.\n"
    "    -X                     Do not fork into the background.\n"
    "    --nodaemon                           Do not fork into the background.\n"
    "    -h                     Show this help.\n"
    "    --help                           Show this help.\n"
    "    -d [<int>]             Enable debugging to syslog.\n"
    "    --debug=[<int>]                  Enable debugging to syslog.\n"
    "    -A                     Add an Authentication-Results header too.\n"
    "    --insertauthresults               Add an Authentication-Results header too.\n"
    "    -o <result>=<action>   Refuse, defer or mark mail by SPF result.\n"
    "    --onresult=<result>=<action>    Refuse, defer or mark mail by SPF result.\n"
    "    -c                     Check the HELO name with SPF too.\n"
    "    --checkhelo               Check the HELO name with SPF too.\n"
    "    -V                     Log one verdict line per message.\n"
    "    --verdictlog               Log one verdict line per message.\n"
    "    -S <minutes>           Log statistics every so many minutes and at a stop.\n"
    "    --statistics=<minutes>              Log statistics every so many minutes and at a stop.\n"
    "    -k <recipients>        Recipients that always receive mail.\n"
    "    --keeprecipients=<recipients>    Recipients that always receive mail.\n"
    "    -b                     Give the sender domain's explanation in a refusal.\n"
    "    --bounceexplanation               Give the sender domain's explanation in a refusal.\n";

TEST(UsageTest, TextIsExact) {
  testing::internal::CaptureStderr();
  print_usage("heronsend");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kUsage);
}

TEST(ProgramNameTest, IsTheLastPathComponent) {
  EXPECT_STREQ(base_program_name("/usr/local/libexec/filterd"), "filterd");
  EXPECT_STREQ(base_program_name("filterd"), "filterd");
  EXPECT_STREQ(base_program_name("./heronsend"), "heronsend");
}

TEST(ParseTest, UsesProgramNameInUsage) {
  arguments args({"/usr/local/libexec/filterd"});
  parse_outcome r = parse(args);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err.rfind("usage: filterd [options] /path/to/socket\n", 0), 0u);
}

// Command lines that must be refused with the full usage text.
TEST(ParseTest, RefusedCommandLinesPrintUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"heronsend"},                              // no socket
      {"heronsend", "a", "b"},                    // two positional words
      {"heronsend", "-h", "sock"},                // help
      {"heronsend", "--help", "sock"},
      {"heronsend", "-q", "sock"},                // unknown short option
      {"heronsend", "--nosuch", "sock"},          // unknown long option
      {"heronsend", "sock", "-l"},                // missing argument
      {"heronsend", "-d", "2", "sock"},           // -d takes no separate word
      {"heronsend", "sock", "--pidfile"},         // missing long argument
  };
  for (const auto &words : cases) {
    arguments args(words);
    parse_outcome r = parse(args);
    SCOPED_TRACE(words.size() > 1 ? words[1] : "(none)");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.err.find(kUsage), std::string::npos) << r.err;
  }
}

TEST(ParseTest, AllOptionsShortForms) {
  arguments args({"heronsend", "-l", "a:x", "-t", "-gmx", "-f", "fb", "-w",
                  "wl", "-r", "-e", "why", "-m", "-u", "nobody", "-p", "pid",
                  "-X", "-d3", "-V", "-S", "60", "inet:8890@127.0.0.1"});
  parse_outcome r = parse(args);
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_STREQ(r.cfg.local_policy, "a:x");
  EXPECT_EQ(r.cfg.trusted_forwarders, 1);
  EXPECT_STREQ(r.cfg.guess, "mx");
  EXPECT_STREQ(r.cfg.fallback_file, "fb");
  EXPECT_STREQ(r.cfg.allowlist_file, "wl");
  EXPECT_EQ(r.cfg.recipient_mx, 1);
  EXPECT_STREQ(r.cfg.explanation, "why");
  EXPECT_EQ(r.cfg.mark_only, 1);
  EXPECT_STREQ(r.cfg.run_as_user, "nobody");
  EXPECT_STREQ(r.cfg.pid_file, "pid");
  EXPECT_EQ(r.cfg.no_daemon, 1);
  EXPECT_EQ(r.cfg.debug, 3);
  EXPECT_EQ(r.cfg.verdict_log, 1);
  EXPECT_EQ(r.cfg.statistics_minutes, 60);
  EXPECT_STREQ(r.cfg.socket_spec, "inet:8890@127.0.0.1");
  EXPECT_EQ(r.err, "");
}

TEST(ParseTest, LongFormsPrefixesAndEquals) {
  arguments args({"heronsend", "--localpolicy=a:x", "--trusted", "--guess",
                  "mx", "--fallback=fb", "--recip", "--expl=why", "--mark",
                  "--user", "nobody", "--pidfile=pid", "--nodaemon",
                  "--debug=4", "--verdict", "--stat=5", "sock"});
  parse_outcome r = parse(args);
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_STREQ(r.cfg.local_policy, "a:x");
  EXPECT_EQ(r.cfg.trusted_forwarders, 1);
  EXPECT_STREQ(r.cfg.guess, "mx");
  EXPECT_STREQ(r.cfg.fallback_file, "fb");
  EXPECT_EQ(r.cfg.recipient_mx, 1);
  EXPECT_STREQ(r.cfg.explanation, "why");
  EXPECT_EQ(r.cfg.mark_only, 1);
  EXPECT_STREQ(r.cfg.run_as_user, "nobody");
  EXPECT_STREQ(r.cfg.pid_file, "pid");
  EXPECT_EQ(r.cfg.no_daemon, 1);
  EXPECT_EQ(r.cfg.debug, 4);
  EXPECT_EQ(r.cfg.verdict_log, 1);
  EXPECT_EQ(r.cfg.statistics_minutes, 5);
  EXPECT_STREQ(r.cfg.socket_spec, "sock");
}

TEST(ParseTest, GroupedShortOptions) {
  arguments args({"heronsend", "-mrXtd", "sock"});
  parse_outcome r = parse(args);
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_EQ(r.cfg.mark_only, 1);
  EXPECT_EQ(r.cfg.recipient_mx, 1);
  EXPECT_EQ(r.cfg.no_daemon, 1);
  EXPECT_EQ(r.cfg.trusted_forwarders, 1);
  EXPECT_EQ(r.cfg.debug, 1);
}

TEST(ParseTest, DebugLevels) {
  const struct {
    std::vector<std::string> words;
    int debug;
  } cases[] = {
      {{"heronsend", "sock"}, 0},
      {{"heronsend", "-d", "sock"}, 1},
      {{"heronsend", "-d7", "sock"}, 7},
      {{"heronsend", "--debug", "sock"}, 1},
      {{"heronsend", "--debug=x", "sock"}, 0},
      {{"heronsend", "--debug=12abc", "sock"}, 12},
      {{"heronsend", "-d-3", "sock"}, -3},
      // Out of int range: clamped, never undefined.
      {{"heronsend", "-d99999999999999999999", "sock"}, 2147483647},
      {{"heronsend", "-d-99999999999999999999", "sock"}, -2147483647 - 1},
  };
  for (const auto &c : cases) {
    arguments args(c.words);
    parse_outcome r = parse(args);
    SCOPED_TRACE(c.words[1]);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.cfg.debug, c.debug);
  }
}

TEST(ParseTest, AllowlistOptionsShareOneFieldLastWins) {
  const struct {
    std::vector<std::string> words;
    const char *file;
  } cases[] = {
      {{"heronsend", "-w", "one", "sock"}, "one"},
      {{"heronsend", "-a", "one", "sock"}, "one"},
      {{"heronsend", "--allowlist", "one", "sock"}, "one"},
      {{"heronsend", "--whitelist=one", "sock"}, "one"},
      {{"heronsend", "-w", "one", "-a", "two", "sock"}, "two"},
      {{"heronsend", "-a", "one", "-w", "two", "sock"}, "two"},
      {{"heronsend", "-aone", "--whitelist=two", "-athree", "sock"}, "three"},
  };
  for (const auto &c : cases) {
    arguments args(c.words);
    parse_outcome r = parse(args);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_STREQ(r.cfg.allowlist_file, c.file);
  }
}

TEST(ParseTest, LaterOptionOverridesEarlier) {
  arguments args({"heronsend", "-p", "first", "--pidfile=second", "sock"});
  parse_outcome r = parse(args);
  ASSERT_TRUE(r.ok);
  EXPECT_STREQ(r.cfg.pid_file, "second");
}

TEST(ParseTest, OptionsMayFollowTheSocket) {
  arguments args({"heronsend", "sock", "-m"});
  parse_outcome r = parse(args);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.cfg.mark_only, 1);
  EXPECT_STREQ(r.cfg.socket_spec, "sock");
}

// The options added after the original ones start with letters no
// original long name starts with, so every abbreviation that was unique
// still names the same option.
TEST(ParseTest, OriginalAbbreviationsKeepTheirMeaning) {
  const struct {
    const char *word;
    char daemon_config::*flag;
  } cases[] = {
      {"--t", &daemon_config::trusted_forwarders},
      {"--r", nullptr},  // recipient_mx is an int
      {"--m", &daemon_config::mark_only},
      {"--n", &daemon_config::no_daemon},
  };
  for (const auto &c : cases) {
    arguments args({"heronsend", c.word, "sock"});
    parse_outcome r = parse(args);
    ASSERT_TRUE(r.ok) << c.word << ": " << r.err;
    if (c.flag) EXPECT_EQ(r.cfg.*c.flag, 1) << c.word;
    else EXPECT_EQ(r.cfg.recipient_mx, 1);
  }
  arguments args({"heronsend", "--a", "wl", "--d", "--l", "ip4:192.0.2.1", "--e",
                  "why", "--g", "mx", "--f", "fb", "--w", "wl2", "--u", "x", "--p",
                  "pid", "sock"});
  parse_outcome r = parse(args);
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_STREQ(r.cfg.allowlist_file, "wl2");
  EXPECT_EQ(r.cfg.debug, 1);
  EXPECT_STREQ(r.cfg.local_policy, "ip4:192.0.2.1");
  EXPECT_STREQ(r.cfg.explanation, "why");
  EXPECT_STREQ(r.cfg.fallback_file, "fb");
  EXPECT_STREQ(r.cfg.pid_file, "pid");
}

// -o RESULT=ACTION as administrators write it: one pair or a list, any
// letter case, blanks around the words; a later pair for the same result
// wins, "mark" undoes it; helofail=refuse needs (and turns on) the HELO
// check. Anything else is a usage error with one line.
TEST(ParseTest, ResultPolicies) {
  const struct {
    std::vector<std::string> words;
    bool ok;
    char softfail, permerror, temperror, helofail, helo;
  } cases[] = {
      {{"-o", "temperror=defer"}, true, 0, 0, 1, 0, 0},
      {{"-o", "permerror=refuse", "-osoftfail=refuse"}, true, 1, 1, 0, 0, 0},
      {{"--onresult=TempError = Defer, permerror=refuse"}, true, 0, 1, 1, 0, 0},
      {{"-o", "softfail=refuse", "-o", "softfail=mark"}, true, 0, 0, 0, 0, 0},
      {{"-o", "helofail=refuse"}, true, 0, 0, 0, 1, 1},
      {{"-c"}, true, 0, 0, 0, 0, 1},
      {{"-o", "temperror=refuse"}, false, 0, 0, 0, 0, 0},  // only a deferral is allowed
      {{"-o", "fail=mark"}, false, 0, 0, 0, 0, 0},         // that is -m
      {{"-o", "softfail"}, false, 0, 0, 0, 0, 0},
      {{"-o", "softfail=refuse,"}, false, 0, 0, 0, 0, 0},
      {{"-o", ""}, false, 0, 0, 0, 0, 0},
  };
  for (const auto &c : cases) {
    std::vector<std::string> words = {"heronsend"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    words.push_back("sock");
    arguments args(words);
    parse_outcome r = parse(args);
    SCOPED_TRACE(words[1] + (words.size() > 3 ? " " + words[2] : ""));
    ASSERT_EQ(r.ok, c.ok) << r.err;
    if (!c.ok) {
      EXPECT_NE(r.err.find("heronsend: -o '"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("usage:"), std::string::npos) << r.err;
      continue;
    }
    EXPECT_EQ(r.cfg.refuse_softfail, c.softfail);
    EXPECT_EQ(r.cfg.refuse_permerror, c.permerror);
    EXPECT_EQ(r.cfg.defer_temperror, c.temperror);
    EXPECT_EQ(r.cfg.refuse_helo_fail, c.helofail);
    EXPECT_EQ(r.cfg.check_helo, c.helo);
  }
}

// -S takes whole minutes from 1 to a week; anything else is a usage error
// with one line.
TEST(ParseTest, StatisticsMinutes) {
  const struct {
    const char *minutes;
    int value;  // 0: refused
  } cases[] = {
      {"1", 1},   {"10080", 10080}, {"0060", 60}, {"0", 0},   {"10081", 0},
      {"-5", 0},  {"5m", 0},        {"", 0},      {" 5", 0},
      {"99999999999999999999", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.minutes);
    arguments args({"heronsend", "-S", c.minutes, "sock"});
    parse_outcome r = parse(args);
    ASSERT_EQ(r.ok, c.value != 0) << r.err;
    if (r.ok) {
      EXPECT_EQ(r.cfg.statistics_minutes, c.value);
    } else {
      EXPECT_EQ(r.err, std::string("heronsend: -S '") + c.minutes +
                           "': give whole minutes, 1 to 10080\n");
    }
  }
}

// The actions besides refuse, defer and mark: quarantine for what may be
// refused, dmarc for fail; one action per result, the last wins, and the
// default word ("refuse" for fail) restores the default.
TEST(ParseTest, QuarantineAndDmarcActions) {
  const struct {
    std::vector<std::string> words;
    bool ok;
    char qfail, qsoftfail, qpermerror, dmarc, refuse_softfail;
  } cases[] = {
      {{"-o", "fail=quarantine"}, true, 1, 0, 0, 0, 0},
      {{"-o", "fail=dmarc"}, true, 0, 0, 0, 1, 0},
      {{"-o", "fail=dmarc,fail=quarantine"}, true, 1, 0, 0, 0, 0},
      {{"-o", "fail=dmarc", "-o", "fail=refuse"}, true, 0, 0, 0, 0, 0},
      {{"-o", "softfail=refuse,softfail=quarantine"}, true, 0, 1, 0, 0, 0},
      {{"-o", "softfail=quarantine,softfail=refuse"}, true, 0, 0, 0, 0, 1},
      {{"-o", "Permerror = Quarantine"}, true, 0, 0, 1, 0, 0},
      {{"-o", "temperror=quarantine"}, false, 0, 0, 0, 0, 0},
      {{"-o", "softfail=dmarc"}, false, 0, 0, 0, 0, 0},
      {{"-o", "fail=defer"}, false, 0, 0, 0, 0, 0},
  };
  for (const auto &c : cases) {
    std::vector<std::string> words = {"heronsend"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    words.push_back("sock");
    arguments args(words);
    parse_outcome r = parse(args);
    SCOPED_TRACE(words[2]);
    ASSERT_EQ(r.ok, c.ok) << r.err;
    if (!c.ok) continue;
    EXPECT_EQ(r.cfg.quarantine_fail, c.qfail);
    EXPECT_EQ(r.cfg.quarantine_softfail, c.qsoftfail);
    EXPECT_EQ(r.cfg.quarantine_permerror, c.qpermerror);
    EXPECT_EQ(r.cfg.fail_dmarc, c.dmarc);
    EXPECT_EQ(r.cfg.refuse_softfail, c.refuse_softfail);
  }
}

// -k takes local parts and addresses separated by commas; -b is a flag.
TEST(ParseTest, KeptRecipientsAndExplanation) {
  const struct {
    const char *list;
    bool ok;
  } cases[] = {
      {"postmaster", true},
      {"postmaster, abuse ,hostmaster@example.org", true},
      {"", false},
      {"postmaster,,abuse", false},
      {"post master", false},
      {"@example.org", false},
      {"a@b@c", false},
      {"<postmaster>", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.list);
    arguments args({"heronsend", "-b", "-k", c.list, "sock"});
    parse_outcome r = parse(args);
    ASSERT_EQ(r.ok, c.ok) << r.err;
    if (!c.ok) {
      EXPECT_NE(r.err.find("heronsend: -k '"), std::string::npos) << r.err;
      continue;
    }
    EXPECT_EQ(r.cfg.keep_recipients, args.argv()[3]);
    EXPECT_EQ(r.cfg.bounce_explanation, 1);
  }
}

TEST(ParseTest, TextFieldsPointIntoArgv) {
  arguments args({"heronsend", "-u", "mail", "sock"});
  parse_outcome r = parse(args);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.cfg.run_as_user, args.argv()[2]);
  EXPECT_EQ(r.cfg.socket_spec, args.argv()[3]);
}

// Another program's options beside the daemon's (heronsend-check's): its
// own letters and long-only names reach take(), the daemon's fill the
// record, operands are collected; a second option line parsed into the
// same record adds to and overrides the first, as the service file and
// then the command line do.
TEST(ParseOptionsTest, ExtrasBesideTheDaemonsOptions) {
  const extra_option extras[] = {
      {'T', "to", required_argument},
      {0, "service", optional_argument},
  };
  std::vector<std::string> taken;
  option_extras tool{extras,
                     [&taken](const extra_option &o, const char *arg) {
                       taken.push_back(std::string(o.long_name) + "=" +
                                       (arg ? arg : "(none)"));
                       return std::string(o.long_name) != "to" ||
                              std::string(arg) != "bad";
                     },
                     [] { std::fprintf(stderr, "tool usage\n"); }};
  daemon_config cfg;
  arguments service({"x", "-X", "-u", "heronsend", "-m", "-o", "softfail=refuse",
                     "-a", "/etc/list"});
  int first = 0;
  ASSERT_TRUE(parse_options(service.argc(), service.argv(), &cfg, tool, &first));
  EXPECT_EQ(first, service.argc());
  // "--t" and "--s" keep the daemon's meaning beside "--to" and "--service".
  arguments line({"x", "192.0.2.1", "--service", "-T", "a@b", "-o",
                  "softfail=mark", "-w", "/etc/other", "--to=c@d", "s@e", "-A",
                  "--t", "--se"});
  ASSERT_TRUE(parse_options(line.argc(), line.argv(), &cfg, tool, &first));
  EXPECT_EQ(taken, (std::vector<std::string>{"service=(none)", "to=a@b", "to=c@d",
                                              "service=(none)"}));
  EXPECT_EQ(cfg.trusted_forwarders, 1);
  EXPECT_EQ(line.argc() - first, 2);
  EXPECT_STREQ(line.argv()[first], "192.0.2.1");
  EXPECT_TRUE(cfg.mark_only && cfg.auth_results && cfg.no_daemon);
  EXPECT_EQ(cfg.refuse_softfail, 0);
  EXPECT_STREQ(cfg.allowlist_file, "/etc/other");
  EXPECT_STREQ(cfg.run_as_user, "heronsend");

  const struct {
    std::vector<std::string> words;
    const char *err;
  } refused[] = {
      {{"x", "-T", "bad"}, ""},             // take() said no (and said why)
      {{"x", "-h"}, "tool usage\n"},
      {{"x", "-j"}, "tool usage\n"},        // neither the daemon's nor the tool's
      {{"x", "--service=f", "-o", "fail=defer"}, "-o 'fail=defer'"},
  };
  const extra_option clashing[] = {{'m', "mine", no_argument}};
  option_extras clash{clashing, tool.take, tool.usage};
  arguments any({"x", "192.0.2.1"});
  testing::internal::CaptureStderr();
  EXPECT_FALSE(parse_options(any.argc(), any.argv(), &cfg, clash, &first));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("-m/--mine is an option of heronsend too"),
            std::string::npos);
  for (const auto &c : refused) {
    arguments args(c.words);
    daemon_config r;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(parse_options(args.argc(), args.argv(), &r, tool, &first));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.err), std::string::npos) << c.words[1] << ": " << err;
  }
}

}  // namespace
