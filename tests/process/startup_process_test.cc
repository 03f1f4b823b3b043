// The real binary: start, serve the socket, stop on SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "daemon_process.h"

namespace {

using std::chrono::seconds;

TEST(StartupProcessTest, StartsServesAndStopsOnSigterm) {
  temp_dir dir;
  std::string sock = dir.file("milter.sock");
  daemon_process d({"-X", "unix:" + sock}, dir.file("stderr"));
  ASSERT_TRUE(d.wait_for_stderr(" starting", seconds(10))) << d.stderr_text();
  EXPECT_TRUE(wait_until([&] { return milter_answers(sock); }, seconds(10)));
  struct stat st {};
  ASSERT_EQ(stat(sock.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 077, 0u) << "the socket is for its owner only";

  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0));
  std::string err = d.stderr_text();
  EXPECT_NE(err.find("heronsend 2.2 with libspf2-"), std::string::npos) << err;
  EXPECT_NE(err.find(" terminating"), std::string::npos) << err;
  EXPECT_LT(err.find(" starting"), err.find(" terminating"));
}

// A socket left behind by an earlier run that did not stop cleanly.
void make_stale_socket(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  close(fd);
  ASSERT_FALSE(can_connect_unix(path));
}

TEST(StartupProcessTest, StaleSocketFileIsReplaced) {
  temp_dir dir;
  std::string sock = dir.file("milter.sock");
  make_stale_socket(sock);
  daemon_process d({"-X", "unix:" + sock}, dir.file("stderr"));
  ASSERT_TRUE(d.wait_for_stderr(" starting", seconds(10))) << d.stderr_text();
  struct stat st {};
  ASSERT_EQ(stat(sock.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_TRUE(wait_until([&] { return milter_answers(sock); }, seconds(10)));
  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0));
}

TEST(StartupProcessTest, UnusableSocketPathExits71) {
  temp_dir dir;
  daemon_process d({"-X", "unix:" + dir.file("missing/dir/milter.sock")},
                   dir.file("stderr"));
  EXPECT_EQ(d.wait_exit(seconds(10)), std::optional<int>(71));
  EXPECT_NE(d.stderr_text().find("smfi_opensocket() failed"), std::string::npos)
      << d.stderr_text();
}

TEST(StartupProcessTest, BadCommandLineExits64WithUsage) {
  temp_dir dir;
  daemon_process d({}, dir.file("stderr"));
  EXPECT_EQ(d.wait_exit(seconds(10)), std::optional<int>(64));
  EXPECT_EQ(d.stderr_text().rfind("usage: heronsend [options] /path/to/socket\n", 0),
            0u);
}

TEST(StartupProcessTest, UncompilableExplanationExits71) {
  temp_dir dir;
  daemon_process d({"-X", "-e", "%{q}", "unix:" + dir.file("s")},
                   dir.file("stderr"));
  EXPECT_EQ(d.wait_exit(seconds(10)), std::optional<int>(71));
  std::string err = d.stderr_text();
  EXPECT_NE(err.find("heronsend: error compiling explanation - "), std::string::npos)
      << err;
  EXPECT_NE(err.find("heronsend: lib_init() failed\n"), std::string::npos) << err;
  EXPECT_FALSE(can_connect_unix(dir.file("s")));
}

}  // namespace
