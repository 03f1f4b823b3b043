#include "daemon/identity.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "options/command_line.h"
#include "fake_syslog.h"

namespace {

namespace fs = std::filesystem;

std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_text(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A fresh directory, removed with its contents at the end.
class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = testing::TempDir() + "identity-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) std::abort();
    path_ = buf.data();
  }
  ~scratch_dir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

class IdentityTest : public testing::Test {
 protected:
  void SetUp() override {
    clear_log();
    config = daemon_config{};
    saved_cwd_ = fs::current_path();
  }
  void TearDown() override {
    remove_pid_file();
    fs::current_path(saved_cwd_);
    config = daemon_config{};
  }
  fs::path saved_cwd_;
};

TEST_F(IdentityTest, PidFileIsOwnerOnlyAndHoldsThePid) {
  scratch_dir dir;
  std::string path = dir.file("heronsend.pid");
  mode_t old_mask = umask(0);
  int fd = open_pid_file(path.c_str());
  umask(old_mask);
  ASSERT_GT(fd, STDERR_FILENO);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  write_pid_file(fd, 4242);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor is closed";
  EXPECT_EQ(read_text(path), "4242\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(captured_log().empty());
}

TEST_F(IdentityTest, PidFileIsTruncated) {
  scratch_dir dir;
  std::string path = dir.file("heronsend.pid");
  write_text(path, "1234567890\nstale\n");
  int fd = open_pid_file(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read_text(path), "") << "emptied as soon as it is opened";
  write_pid_file(fd, 7);
  EXPECT_EQ(read_text(path), "7\n");
}

TEST_F(IdentityTest, UnwritablePidFileIsLoggedAndNeverRemoved) {
  scratch_dir dir;
  std::string written = dir.file("written.pid");
  int fd = open_pid_file(written.c_str());
  ASSERT_GE(fd, 0);
  write_pid_file(fd, 1);

  EXPECT_EQ(open_pid_file(dir.file("missing/heronsend.pid").c_str()), -1);
  EXPECT_EQ(captured_log(),
            (std::vector<log_line>{
                {LOG_ERR,
                 "unable to write PID file - No such file or directory"}}));
  remove_pid_file();
  EXPECT_TRUE(fs::exists(written))
      << "a failed open forgets the earlier file: removal touches only "
         "the file this start-up wrote";
}

TEST_F(IdentityTest, RelativePathIsRemovedFromWhereItWasWritten) {
  scratch_dir start, elsewhere;
  fs::create_directory(start.file("run"));
  fs::create_directory(elsewhere.file("run"));
  std::string decoy = elsewhere.file("run/heronsend.pid");
  write_text(decoy, "not ours\n");

  fs::current_path(start.path());
  int fd = open_pid_file("run/../run/heronsend.pid");
  ASSERT_GE(fd, 0);
  write_pid_file(fd, 99);
  EXPECT_EQ(read_text(start.file("run/heronsend.pid")), "99\n");

  // Detaching changes the working directory before shutdown.
  fs::current_path(elsewhere.path());
  remove_pid_file();
  EXPECT_FALSE(fs::exists(start.file("run/heronsend.pid")));
  EXPECT_EQ(read_text(decoy), "not ours\n");
  remove_pid_file();  // a second call has nothing left to remove
  EXPECT_EQ(read_text(decoy), "not ours\n");
}

TEST_F(IdentityTest, ForegroundRunWritesItsOwnPid) {
  scratch_dir dir;
  std::string path = dir.file("heronsend.pid");
  config.pid_file = path.c_str();
  config.no_daemon = 1;
  establish_process_identity();
  EXPECT_EQ(read_text(path), std::to_string(getpid()) + "\n");
  bool root = getuid() == 0;
  EXPECT_EQ(log_contains(LOG_WARNING,
                         "warning: started as root but no --user flag "
                         "specified"),
            root);
  remove_pid_file();
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(IdentityTest, NoPidFileNoRemoval) {
  scratch_dir dir;
  fs::current_path(dir.path());
  config.no_daemon = 1;
  establish_process_identity();
  remove_pid_file();
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(IdentityTest, FindRunAsUserReadsNumbersInBase0) {
  for (const char *text : {"0", "", "00", "0x0", "-0", " 0", "root"}) {
    const passwd *account = find_run_as_user(text);
    ASSERT_NE(account, nullptr) << "'" << text << "'";
    EXPECT_EQ(account->pw_uid, 0u) << "'" << text << "'";
  }
  for (const char *text :
       {"4294967296", "0x100000000", "4294967295", "-1", "-4294967296",
        "99999999999999999999999", "0x", "0 ", "no-such-user-heronsend"})
    EXPECT_EQ(find_run_as_user(text), nullptr)
        << "'" << text << "' names no account";

  const passwd *nobody = getpwnam("nobody");
  if (nobody == nullptr) return;
  uid_t uid = nobody->pw_uid;
  char hex[32], octal[32];
  std::snprintf(hex, sizeof hex, "0x%x", uid);
  std::snprintf(octal, sizeof octal, "0%o", uid);
  for (const std::string &text : {std::to_string(uid), std::string(hex),
                                  std::string(octal), std::string("nobody")}) {
    const passwd *account = find_run_as_user(text.c_str());
    ASSERT_NE(account, nullptr) << text;
    EXPECT_EQ(account->pw_uid, uid) << text;
  }
}

TEST_F(IdentityTest, LocalSocketPaths) {
  const struct {
    const char *spec;
    const char *path;  // none for sockets that are not files
  } cases[] = {
      {"unix:/run/heronsend.sock", "/run/heronsend.sock"},
      {"local:/run/heronsend.sock", "/run/heronsend.sock"},
      {"UNIX:/run/x", "/run/x"},
      {"/run/heronsend.sock", "/run/heronsend.sock"},
      {"relative.sock", "relative.sock"},
      {"inet:8890@127.0.0.1", nullptr},
      {"inet6:8890@[::1]", nullptr},
      {"unixx:/run/x", nullptr},
      {":/run/x", "/run/x"},
  };
  for (const auto &c : cases) {
    const char *path = local_socket_path(c.spec);
    if (c.path == nullptr)
      EXPECT_EQ(path, nullptr) << c.spec;
    else
      EXPECT_STREQ(path, c.path) << c.spec;
  }
}

TEST_F(IdentityTest, RootWithoutUserWarnsAndStaysPut) {
  switch_user(0, nullptr);
  EXPECT_EQ(captured_log(),
            (std::vector<log_line>{
                {LOG_WARNING,
                 "warning: started as root but no --user flag specified"}}));
}

TEST_F(IdentityTest, NotRootWithoutUserDoesNothing) {
  switch_user(1000, nullptr);
  EXPECT_TRUE(captured_log().empty());
}

using IdentityDeathTest = IdentityTest;

TEST_F(IdentityDeathTest, NotRootWithUserIsRefused) {
  // Even when the account named is the one already running.
  const passwd *self = getpwuid(getuid());
  ASSERT_NE(self, nullptr);
  std::string name = self->pw_name;
  for (const std::string &text : {name, std::string("0"), std::string("nobody")})
    EXPECT_EXIT(
        {
          openlog("heronsend", LOG_PERROR, LOG_MAIL);
          switch_user(1000, text.c_str());
        },
        testing::ExitedWithCode(71),
        "^heronsend: can't switch users if not started as root\n$")
        << text;
}

TEST_F(IdentityDeathTest, UnknownUserExits71) {
  for (const char *text : {"no-such-user-heronsend", "4294967296"})
    EXPECT_EXIT(
        {
          openlog("heronsend", LOG_PERROR, LOG_MAIL);
          switch_user(0, text);
        },
        testing::ExitedWithCode(71),
        "^heronsend: unknown user: '" + std::string(text) + "'\n$");
}

TEST_F(IdentityDeathTest, PidFileAvoidsTheStandardStreams) {
  // Started with its standard streams closed, the daemon must not keep the
  // PID file on a descriptor that detaching points at /dev/null.
  scratch_dir dir;
  std::string path = dir.file("heronsend.pid");
  EXPECT_EXIT(
      {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        int fd = open_pid_file(path.c_str());
        bool ok = fd > STDERR_FILENO && (fcntl(fd, F_GETFD) & FD_CLOEXEC) &&
                  fcntl(STDIN_FILENO, F_GETFD) == -1;
        write_pid_file(fd, 5);
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EQ(read_text(path), "5\n");
}

}  // namespace
