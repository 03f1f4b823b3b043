#include "daemon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

temp_dir::temp_dir() {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") +
                        "/heronsend-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) std::abort();
  path_ = buf.data();
  chmod(path_.c_str(), 0755);
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string heronsend_binary() {
  const char *path = std::getenv("HERONSEND_BINARY");
  return path ? path : HERONSEND_BINARY_DEFAULT;
}

daemon_process::daemon_process(const std::vector<std::string> &args,
                               const std::string &stderr_file,
                               const run_options &opts)
    : stderr_file_(stderr_file) {
  std::vector<std::string> words = opts.prefix;
  words.push_back(heronsend_binary());
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 2);
      close(fd);
    }
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      close(null_fd);
    }
    if (!opts.working_dir.empty() && chdir(opts.working_dir.c_str()) != 0)
      _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
}

daemon_process::~daemon_process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> daemon_process::wait_exit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void daemon_process::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

std::string daemon_process::stderr_text() const { return read_file(stderr_file_); }

bool daemon_process::wait_for_stderr(const std::string &needle,
                                     std::chrono::milliseconds timeout) const {
  return wait_until(
      [&] { return stderr_text().find(needle) != std::string::npos; }, timeout);
}

bool wait_until(const std::function<bool()> &cond,
                std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool can_connect_unix(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// True when the daemon answers the milter option negotiation on the unix
// socket at path. Then its event loop runs and SIGTERM is a normal stop; a
// signal that arrives while the mail filter library is still starting its
// loop can instead make it fail ("smfi_main() failed").
bool milter_answers(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  // Length 13, 'O' (option negotiation), protocol version 6, every action
  // (0x1ff), every protocol step offered (0x1fffff); all in network order.
  const unsigned char optneg[] = {0, 0, 0, 13,   'O', 0, 0, 0, 6,
                                  0, 0, 1, 0xff, 0,   0x1f, 0xff, 0xff};
  const unsigned char quit[] = {0, 0, 0, 1, 'Q'};
  unsigned char reply[5] = {};
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
            send(fd, optneg, sizeof optneg, MSG_NOSIGNAL) == sizeof optneg &&
            recv(fd, reply, sizeof reply, MSG_WAITALL) == sizeof reply &&
            reply[4] == 'O';
  if (ok) send(fd, quit, sizeof quit, MSG_NOSIGNAL);
  close(fd);
  return ok;
}
