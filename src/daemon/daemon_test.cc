#include "daemon/daemon.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <string>
#include <vector>

#include "options/command_line.h"
#include "fake_milter.h"
#include "fake_syslog.h"
#include "spf/lib.h"

namespace {

class DaemonMainTest : public testing::Test {
 protected:
  void SetUp() override {
    reset_fake_milter();
    clear_log();
  }
  void TearDown() override { closelog(); }
  int run(std::vector<std::string> words) {
    words_ = std::move(words);
    argv_.clear();
    for (std::string &w : words_) argv_.push_back(w.data());
    argv_.push_back(nullptr);
    testing::internal::CaptureStderr();
    int status = daemon_main(static_cast<int>(words_.size()), argv_.data());
    stderr_ = testing::internal::GetCapturedStderr();
    return status;
  }
  std::string start_line() const {
    return std::string("heronsend 2.2 with libspf2-") +
           std::to_string(SPF_LIB_VERSION_MAJOR) + "." +
           std::to_string(SPF_LIB_VERSION_MINOR) + "." +
           std::to_string(SPF_LIB_VERSION_PATCH) + " starting";
  }
  std::vector<std::string> words_;
  std::vector<char *> argv_;
  std::string stderr_;
};

TEST_F(DaemonMainTest, NormalRunRegistersServesAndStops) {
  EXPECT_EQ(run({"/usr/sbin/heronsend", "-X", "unix:/run/heronsend.sock"}), 0);
  ASSERT_TRUE(fake_milter.registered.has_value());
  const smfiDesc &d = *fake_milter.registered;
  EXPECT_STREQ(d.xxfi_name, "SPF");
  EXPECT_EQ(d.xxfi_version, 0x01000001);
  EXPECT_EQ(d.xxfi_flags, 0x11ul);
  EXPECT_EQ(d.xxfi_body, nullptr);
  EXPECT_EQ(d.xxfi_unknown, nullptr);
  // DATA only continues: registered so that the MTA waits for a reply
  // instead of leaving its DATA packet unacknowledged.
  ASSERT_NE(d.xxfi_data, nullptr);
  SMFICTX ctx;
  EXPECT_EQ(d.xxfi_data(&ctx), SMFIS_CONTINUE);
  EXPECT_NE(d.xxfi_negotiate, nullptr);
  EXPECT_EQ(fake_milter.connection_spec, "unix:/run/heronsend.sock");
  EXPECT_EQ(fake_milter.opensocket_arg, std::optional<bool>(true));
  EXPECT_EQ(fake_milter.main_calls, 1);

  EXPECT_TRUE(log_contains(LOG_NOTICE, start_line()));
  std::string stop = start_line();
  stop.replace(stop.size() - 8, 8, "terminating");
  EXPECT_TRUE(log_contains(LOG_NOTICE, stop));
  // The start line comes before the stop line, and shutdown released the
  // SPF server.
  std::vector<log_line> log = captured_log();
  EXPECT_EQ(log.back(), (log_line{LOG_NOTICE, stop}));
  EXPECT_EQ(spf_server, nullptr);
  EXPECT_EQ(stderr_.find("heronsend: " + start_line() + "\n") !=
                std::string::npos,
            true)
      << "LOG_PERROR copies the log to stderr under the program's name";
}

// The line after the start line says what is in force: -m turns every -o
// choice off, helofail=refuse brings the HELO check; with -S the last
// statistics line comes before the terminating line.
TEST_F(DaemonMainTest, SettingsLineSaysWhatIsInForce) {
  const struct {
    std::vector<std::string> options;
    const char *settings;
  } cases[] = {
      {{},
       "settings: socket=unix:/run/h.sock markonly=no fail=refuse "
       "softfail=mark permerror=mark temperror=mark helofail=mark "
       "checkhelo=no authresults=no recipientmx=no keeprecipients=- "
       "bounceexplanation=no allowlist=- "
       "allowlist_entries=0 verdictlog=no statistics_minutes=0"},
      {{"-o", "softfail=refuse,temperror=defer,helofail=refuse", "-A", "-V",
        "-S", "15"},
       "settings: socket=unix:/run/h.sock markonly=no fail=refuse "
       "softfail=refuse permerror=mark temperror=defer helofail=refuse "
       "checkhelo=yes authresults=yes recipientmx=no keeprecipients=- "
       "bounceexplanation=no allowlist=- "
       "allowlist_entries=0 verdictlog=yes statistics_minutes=15"},
      {{"-o", "fail=dmarc,permerror=quarantine", "-k", "postmaster,abuse",
        "-b"},
       "settings: socket=unix:/run/h.sock markonly=no fail=dmarc "
       "softfail=mark permerror=quarantine temperror=mark helofail=mark "
       "checkhelo=no authresults=no recipientmx=no "
       "keeprecipients=postmaster,abuse bounceexplanation=yes allowlist=- "
       "allowlist_entries=0 verdictlog=no statistics_minutes=0"},
      {{"-m", "-o", "permerror=refuse", "-r"},
       "settings: socket=unix:/run/h.sock markonly=yes fail=mark "
       "softfail=mark permerror=mark temperror=mark helofail=mark "
       "checkhelo=no authresults=no recipientmx=yes keeprecipients=- "
       "bounceexplanation=no allowlist=- "
       "allowlist_entries=0 verdictlog=no statistics_minutes=0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.settings);
    reset_fake_milter();
    clear_log();
    std::vector<std::string> words = {"heronsend", "-X"};
    words.insert(words.end(), c.options.begin(), c.options.end());
    words.push_back("unix:/run/h.sock");
    ASSERT_EQ(run(words), 0);
    std::vector<log_line> log = captured_log();
    auto start = std::find(log.begin(), log.end(),
                           log_line{LOG_NOTICE, start_line()});
    ASSERT_TRUE(start != log.end() && start + 3 <= log.end());
    EXPECT_EQ(start[1], (log_line{LOG_NOTICE, c.settings}));
    bool statistics = log[log.size() - 2].text.rfind("statistics: messages=", 0) == 0;
    bool asked = std::find(c.options.begin(), c.options.end(), "-S") !=
                 c.options.end();
    EXPECT_EQ(statistics, asked) << log[log.size() - 2].text;
  }
}

TEST_F(DaemonMainTest, VersionTextComesFromTheLibrary) {
  build_version_text();
  EXPECT_EQ(std::string(version_text),
            "libspf2-" + std::to_string(SPF_LIB_VERSION_MAJOR) + "." +
                std::to_string(SPF_LIB_VERSION_MINOR) + "." +
                std::to_string(SPF_LIB_VERSION_PATCH));
}

TEST_F(DaemonMainTest, CommandLineErrorsExit64WithoutLogging) {
  EXPECT_EQ(run({"heronsend"}), 64);
  EXPECT_EQ(run({"heronsend", "-h", "sock"}), 64);
  EXPECT_TRUE(captured_log().empty());
  EXPECT_FALSE(fake_milter.registered.has_value());
}

TEST_F(DaemonMainTest, StartUpFailuresExit71) {
  const struct {
    int fake_milter_process::*which;
    const char *line;
  } cases[] = {
      {&fake_milter_process::register_result, "smfi_register() failed"},
      {&fake_milter_process::opensocket_result, "smfi_opensocket() failed"},
      {&fake_milter_process::main_result, "smfi_main() failed"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    reset_fake_milter();
    clear_log();
    fake_milter.*c.which = MI_FAILURE;
    EXPECT_EQ(run({"heronsend", "-X", "unix:/nonexistent/dir/sock"}), 71);
    EXPECT_TRUE(log_contains(LOG_ERR, c.line));
    for (const log_line &line : captured_log())
      EXPECT_EQ(line.text.find("terminating"), std::string::npos);
    lib_fini();  // a fatal exit releases nothing; tidy up for the next case
  }
}

TEST_F(DaemonMainTest, UncompilableLocalPolicyExits71BeforeRegistering) {
  EXPECT_EQ(run({"heronsend", "-X", "-l", "ip4:300.1.2.3", "sock"}), 71);
  std::vector<log_line> log = captured_log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log.front(),
            (log_line{LOG_ERR, "error compiling local policy - 19 (Invalid "
                               "IPv4 address literal)"}));
  EXPECT_EQ(log.back(), (log_line{LOG_ERR, "lib_init() failed"}));
  EXPECT_FALSE(fake_milter.registered.has_value());
  lib_fini();
}

}  // namespace
