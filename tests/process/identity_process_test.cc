// The real binary's process identity: PID file, user switch, detaching,
// and the fallback file read at start-up.
//
// Most cases need root (to switch users and to see the daemon's
// credentials); they skip with a message otherwise. Detached daemons are
// found again through their PID file or their command line and always
// stopped, also when a test fails half-way.

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon_process.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

#define SKIP_UNLESS_ROOT()                                                  \
  do {                                                                      \
    if (geteuid() != 0)                                                     \
      GTEST_SKIP() << "needs root: the daemon's user switch and its "       \
                      "credentials can only be tested when started as root"; \
  } while (0)

constexpr const char *WARNING_LINE =
    "heronsend: warning: started as root but no --user flag specified\n";

// The fields of /proc/PID/status ("Uid" -> "0\t0\t0\t0"); empty when the
// process is gone.
std::map<std::string, std::string> proc_status(pid_t pid) {
  std::map<std::string, std::string> fields;
  std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t value = line.find_first_not_of(" \t", colon + 1);
    fields[line.substr(0, colon)] =
        value == std::string::npos ? "" : line.substr(value);
  }
  return fields;
}

std::vector<long> numbers(const std::string &text) {
  std::vector<long> out;
  std::istringstream in(text);
  for (long n; in >> n;) out.push_back(n);
  return out;
}

// Running (or stopped), but neither gone nor a zombie.
bool alive(pid_t pid) {
  auto status = proc_status(pid);
  return !status.empty() && status["State"].rfind("Z", 0) != 0;
}

// The process ID held by a PID file written as "%ld\n", if it holds one.
std::optional<pid_t> pid_in_file(const std::string &path) {
  std::string text = read_file(path);
  if (text.size() < 2 || text.back() != '\n') return std::nullopt;
  char *end = nullptr;
  long pid = std::strtol(text.c_str(), &end, 10);
  if (pid <= 0 || *end != '\n' || end + 1 != text.c_str() + text.size())
    return std::nullopt;
  return static_cast<pid_t>(pid);
}

std::vector<gid_t> group_list(const char *user, gid_t gid) {
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (getgrouplist(user, gid, groups.data(), &count) < 0)
    groups.resize(static_cast<size_t>(count));
  groups.resize(static_cast<size_t>(count));
  std::sort(groups.begin(), groups.end());
  return groups;
}

std::string id_text(long id) {
  std::string s = std::to_string(id);
  return s + "\t" + s + "\t" + s + "\t" + s;  // real, effective, saved, fs
}

// Makes this test process the reaper of orphans while it lives, so a
// daemon that detached from the child it was started as becomes our child
// and can be waited for; on destruction stops every process whose command
// line still contains marker (the test's own socket path).
class detached_daemons {
 public:
  explicit detached_daemons(std::string marker) : marker_(std::move(marker)) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
  }
  ~detached_daemons() {
    for (pid_t pid : find()) {
      if (stop(pid, seconds(10))) continue;
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);  // ECHILD at once if it is not ours
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  detached_daemons(const detached_daemons &) = delete;
  detached_daemons &operator=(const detached_daemons &) = delete;

  // SIGTERM, then waits for the process to end; its exit status when it
  // ended (or 128+signal), none on timeout.
  std::optional<int> stop(pid_t pid, seconds timeout) {
    kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return 128 + WTERMSIG(status);
      }
      if (r < 0 && errno == ECHILD && !alive(pid)) return -1;  // not ours
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(milliseconds(20));
    }
  }

  // Processes other than this one whose command line contains marker.
  std::vector<pid_t> find() const {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc", ec)) {
      std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      pid_t pid = static_cast<pid_t>(std::stol(name));
      if (pid == getpid()) continue;
      std::string cmdline = read_file("/proc/" + name + "/cmdline");
      std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
      if (cmdline.find(marker_) != std::string::npos) found.push_back(pid);
    }
    return found;
  }

 private:
  std::string marker_;
};

class IdentityProcessTest : public testing::Test {
 protected:
  std::string sock() const { return dir_.file("milter.sock"); }
  std::string socket_arg() const { return "unix:" + sock(); }
  std::string pid_path() const { return dir_.file("heronsend.pid"); }
  std::string err() const { return dir_.file("stderr"); }
  // Waits until the daemon on this test's socket is inside its event loop.
  bool serving() const {
    return wait_until([&] { return milter_answers(sock()); }, seconds(10));
  }

  // The unprivileged account the user-switch cases run as, if any.
  static const passwd *nobody() { return getpwnam("nobody"); }

  temp_dir dir_;
};

// -u as root: the daemon runs with the account's user, group and
// supplementary groups, and its PID file, opened before the switch in a
// directory only root may write, names it.
void expect_switched(const daemon_process &d, const std::string &user_text,
                     const passwd &account) {
  auto status = proc_status(d.pid());
  EXPECT_EQ(status["Uid"], id_text(account.pw_uid));
  EXPECT_EQ(status["Gid"], id_text(account.pw_gid));
  std::vector<long> groups = numbers(status["Groups"]);
  std::sort(groups.begin(), groups.end());
  std::vector<long> want;
  for (gid_t g : group_list(user_text.c_str(), account.pw_gid))
    want.push_back(static_cast<long>(g));
  EXPECT_EQ(groups, want) << "initgroups with the text as written";
  EXPECT_EQ(std::count(groups.begin(), groups.end(), 0L), 0)
      << "root's groups are dropped";
}

TEST_F(IdentityProcessTest, UserByNameSwitchesUserGroupAndGroups) {
  SKIP_UNLESS_ROOT();
  const passwd *account = nobody();
  if (account == nullptr) GTEST_SKIP() << "no account 'nobody' on this system";
  passwd copy = *account;
  // The documented set-up: the PID file in a directory the -u user owns, so
  // the daemon can still remove it at shutdown.
  std::string run_dir = dir_.file("run");
  ASSERT_EQ(mkdir(run_dir.c_str(), 0755), 0);
  ASSERT_EQ(chown(run_dir.c_str(), copy.pw_uid, copy.pw_gid), 0);
  std::string pid_file = run_dir + "/heronsend.pid";

  daemon_process d({"-X", "-u", "nobody", "-p", pid_file, socket_arg()}, err());
  ASSERT_TRUE(serving()) << d.stderr_text();
  expect_switched(d, "nobody", copy);
  EXPECT_EQ(d.stderr_text().find("warning:"), std::string::npos);
  EXPECT_EQ(pid_in_file(pid_file), std::optional<pid_t>(d.pid()));
  // The socket, created owner-only before the switch, belongs to the user
  // the daemon runs as, so an MTA running as that user can connect.
  struct stat st {};
  ASSERT_EQ(stat(sock().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, copy.pw_uid);
  EXPECT_EQ(st.st_gid, copy.pw_gid);
  EXPECT_EQ(st.st_mode & 077, 0u) << "still for its owner only";
  EXPECT_TRUE(milter_answers(sock()));

  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0)) << d.stderr_text();
  EXPECT_FALSE(fs::exists(pid_file));
}

TEST_F(IdentityProcessTest, UserByNumericIdAndPidFileOpenedBeforeTheSwitch) {
  SKIP_UNLESS_ROOT();
  const passwd *account = nobody();
  if (account == nullptr) GTEST_SKIP() << "no account 'nobody' on this system";
  passwd copy = *account;
  std::string uid_text = std::to_string(copy.pw_uid);

  // The temporary directory is root's (mode 0755): only a file opened
  // before the switch can be created there.
  daemon_process d({"-X", "-u", uid_text, "-p", pid_path(), socket_arg()}, err());
  ASSERT_TRUE(serving()) << d.stderr_text();
  expect_switched(d, uid_text, copy);
  EXPECT_EQ(pid_in_file(pid_path()), std::optional<pid_t>(d.pid()));
  struct stat st {};
  ASSERT_EQ(stat(pid_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0)) << d.stderr_text();
  // Documented: once switched, the daemon may not remove a file in a
  // directory only root may write; the file stays, and the next start
  // (as root) truncates and rewrites it.
  EXPECT_TRUE(fs::exists(pid_path()));
}

TEST_F(IdentityProcessTest, UserSwitchWhenNotRootIsRefused) {
  SKIP_UNLESS_ROOT();  // to start the binary as another user
  const passwd *account = nobody();
  if (account == nullptr) GTEST_SKIP() << "no account 'nobody' on this system";
  passwd copy = *account;
  run_options as_nobody;
  as_nobody.prefix = {"setpriv", "--reuid=" + std::to_string(copy.pw_uid),
                      "--regid=" + std::to_string(copy.pw_gid),
                      "--clear-groups"};
  {
    daemon_process probe({"-h"}, dir_.file("probe"), as_nobody);
    std::optional<int> status = probe.wait_exit(seconds(10));
    if (status != std::optional<int>(64))
      GTEST_SKIP() << "the binary " << heronsend_binary()
                   << " cannot be run as nobody (setpriv missing, or a "
                      "directory on its path is closed to other users): "
                   << probe.stderr_text();
  }
  // A socket directory the unprivileged daemon may write.
  std::string run_dir = dir_.file("run");
  ASSERT_EQ(mkdir(run_dir.c_str(), 0755), 0);
  ASSERT_EQ(chown(run_dir.c_str(), copy.pw_uid, copy.pw_gid), 0);

  // Refused even when the account named is the one already running.
  for (const std::string &user : {std::string("nobody"),
                                  std::to_string(copy.pw_uid),
                                  std::string("root")}) {
    SCOPED_TRACE(user);
    daemon_process d({"-X", "-u", user, "unix:" + run_dir + "/milter.sock"},
                     err(), as_nobody);
    EXPECT_EQ(d.wait_exit(seconds(10)), std::optional<int>(71));
    std::string text = d.stderr_text();
    EXPECT_NE(text.find("heronsend: can't switch users if not started as "
                        "root\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find(" starting"), std::string::npos) << text;
  }
}

TEST_F(IdentityProcessTest, RootWithoutUserWarnsAndStarts) {
  SKIP_UNLESS_ROOT();
  daemon_process d({"-X", socket_arg()}, err());
  ASSERT_TRUE(serving()) << d.stderr_text();
  std::string text = d.stderr_text();
  size_t warning = text.find(WARNING_LINE);
  EXPECT_NE(warning, std::string::npos) << text;
  EXPECT_LT(warning, text.find(" starting"));
  EXPECT_EQ(proc_status(d.pid())["Uid"], id_text(0));
}

TEST_F(IdentityProcessTest, ForegroundKeepsTheProcessAndItsPid) {
  std::string neighbour = dir_.file("other.pid");
  std::ofstream(neighbour) << "1\n";
  daemon_process d({"-X", "-p", pid_path(), socket_arg()}, err());
  ASSERT_TRUE(serving()) << d.stderr_text();
  EXPECT_EQ(d.wait_exit(milliseconds(200)), std::nullopt)
      << "-X: the started process itself keeps running";
  EXPECT_EQ(pid_in_file(pid_path()), std::optional<pid_t>(d.pid()));

  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0));
  EXPECT_FALSE(fs::exists(pid_path())) << "a normal stop removes the PID file";
  EXPECT_EQ(read_file(neighbour), "1\n") << "and nothing else";
}

TEST_F(IdentityProcessTest, DetachedDaemonServesAndItsPidIsInTheFile) {
  detached_daemons daemons(sock());
  daemon_process d({"-p", pid_path(), socket_arg()}, err());
  EXPECT_EQ(d.wait_exit(seconds(10)), std::optional<int>(0))
      << "the started process returns at once: " << d.stderr_text();

  ASSERT_TRUE(wait_until([&] { return pid_in_file(pid_path()).has_value(); },
                         seconds(10)))
      << "PID file: '" << read_file(pid_path()) << "'";
  pid_t daemon_pid = *pid_in_file(pid_path());
  EXPECT_NE(daemon_pid, d.pid());
  ASSERT_TRUE(alive(daemon_pid)) << "the PID file names a running process";
  EXPECT_EQ(daemons.find(), std::vector<pid_t>{daemon_pid})
      << "it is the one daemon serving this test's socket";
  ASSERT_TRUE(serving());

  // A session leader in "/" whose standard streams no longer reach us.
  std::istringstream stat(
      read_file("/proc/" + std::to_string(daemon_pid) + "/stat"));
  std::string field;
  std::vector<std::string> fields;
  while (stat >> field) fields.push_back(field);
  ASSERT_GT(fields.size(), 5u);
  EXPECT_EQ(fields[5], std::to_string(daemon_pid)) << "session ID";
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(daemon_pid) + "/cwd"),
            fs::path("/"));
  EXPECT_EQ(d.stderr_text().find(" starting"), std::string::npos)
      << "the start line is logged after detaching";

  EXPECT_EQ(daemons.stop(daemon_pid, seconds(20)), std::optional<int>(0))
      << "the detached daemon stops normally on SIGTERM";
  EXPECT_TRUE(wait_until([&] { return !fs::exists(pid_path()); }, seconds(5)))
      << "a normal stop removes the PID file";
}

TEST_F(IdentityProcessTest, RelativePidFileIsRemovedWhereItWasWritten) {
  // Started in the temporary directory D with the relative path
  // "<D without its leading '/'>/decoy/heronsend.pid": from D that is
  // D/<D>/decoy/heronsend.pid, but from "/", where the detached daemon
  // runs, it names D/decoy/heronsend.pid, a file the daemon must not touch.
  ASSERT_EQ(dir_.path().front(), '/');
  std::string relative = dir_.path().substr(1) + "/decoy/heronsend.pid";
  std::string written = dir_.path() + "/" + relative;
  std::string decoy = dir_.file("decoy/heronsend.pid");
  fs::create_directories(fs::path(written).parent_path());
  fs::create_directories(fs::path(decoy).parent_path());
  std::ofstream(decoy) << "decoy\n";

  detached_daemons daemons(sock());
  run_options in_dir;
  in_dir.working_dir = dir_.path();
  daemon_process d({"-p", relative, socket_arg()}, err(), in_dir);
  EXPECT_EQ(d.wait_exit(seconds(10)), std::optional<int>(0)) << d.stderr_text();
  ASSERT_TRUE(wait_until([&] { return pid_in_file(written).has_value(); },
                         seconds(10)));
  pid_t daemon_pid = *pid_in_file(written);
  EXPECT_TRUE(alive(daemon_pid));
  ASSERT_TRUE(serving());
  EXPECT_EQ(read_file(decoy), "decoy\n");

  EXPECT_EQ(daemons.stop(daemon_pid, seconds(20)), std::optional<int>(0));
  EXPECT_TRUE(wait_until([&] { return !fs::exists(written); }, seconds(5)));
  EXPECT_EQ(read_file(decoy), "decoy\n") << "only the written file is removed";
}

TEST_F(IdentityProcessTest, PidFileInMissingDirectoryIsLoggedAndStartContinues) {
  std::string missing = dir_.file("missing/heronsend.pid");
  daemon_process d({"-X", "-p", missing, socket_arg()}, err());
  ASSERT_TRUE(serving()) << d.stderr_text();
  std::string text = d.stderr_text();
  size_t error = text.find(
      "heronsend: unable to write PID file - No such file or directory\n");
  EXPECT_NE(error, std::string::npos) << text;
  EXPECT_LT(error, text.find(" starting"));
  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0));
  EXPECT_FALSE(fs::exists(dir_.file("missing")));
}

TEST_F(IdentityProcessTest, UnreadableFallbackFileExits71BeforeTheAllowlist) {
  std::string fallback = dir_.file("no-fallback");
  std::string allowlist = dir_.file("no-allowlist");
  daemon_process d({"-X", "-f", fallback, "-a", allowlist, socket_arg()}, err());
  EXPECT_EQ(d.wait_exit(seconds(10)), std::optional<int>(71));
  std::string text = d.stderr_text();
  EXPECT_NE(text.find("heronsend: fopen '" + fallback +
                      "' - No such file or directory\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("no-allowlist"), std::string::npos)
      << "the allowlist is read after the fallback table: " << text;
  EXPECT_FALSE(fs::exists(sock())) << "start-up ended before the socket";
}

TEST_F(IdentityProcessTest, FallbackFileAndGuessLoadAndStop) {
  std::string fallback = dir_.file("fallback");
  std::ofstream(fallback) << "# fallbacks\n*.example.org\tmx a -all\n"
                          << std::string(1500, 'x') << "\n\nlonely\n";
  daemon_process d({"-X", "-f", fallback, "-g", "a/24 mx/24", socket_arg()},
                   err());
  ASSERT_TRUE(serving()) << d.stderr_text();
  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0)) << d.stderr_text();
}

}  // namespace
