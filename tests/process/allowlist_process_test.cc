// The real binary with an allowlist file: loaded before the socket is
// opened, and a file that cannot be opened stops start-up.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>

#include "daemon_process.h"

namespace {

using std::chrono::seconds;

TEST(AllowlistProcessTest, MissingFileExits71BeforeTheSocketExists) {
  temp_dir dir;
  std::string sock = dir.file("milter.sock");
  std::string missing = dir.file("no-such-allowlist");
  daemon_process d({"-X", "-a", missing, "unix:" + sock}, dir.file("stderr"));
  EXPECT_EQ(d.wait_exit(seconds(10)), std::optional<int>(71));
  std::string err = d.stderr_text();
  EXPECT_NE(err.find("heronsend: fopen '" + missing +
                     "' - No such file or directory\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find(" starting"), std::string::npos) << err;
  struct stat st {};
  EXPECT_NE(stat(sock.c_str(), &st), 0) << "no socket was created";
}

TEST(AllowlistProcessTest, FileIsLoadedWithWarningsAndTheDaemonRuns) {
  temp_dir dir;
  std::string sock = dir.file("milter.sock");
  std::string list = dir.file("allowlist");
  std::ofstream(list) << "# trusted relays\n192.0.2.0/24\n10.1.2.3/8\n"
                         "2001:db8::/32 # lab\n";
  daemon_process d({"-X", "-w", list, "unix:" + sock}, dir.file("stderr"));
  ASSERT_TRUE(d.wait_for_stderr(" starting", seconds(10))) << d.stderr_text();
  std::string err = d.stderr_text();
  EXPECT_NE(err.find("heronsend: unparsable IP address - '10.1.2.3/8'\n"),
            std::string::npos)
      << err;
  EXPECT_LT(err.find("unparsable"), err.find(" starting"));
  EXPECT_TRUE(wait_until([&] { return milter_answers(sock); }, seconds(10)));
  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0));
}

}  // namespace
