// Runs the real heronsend binary as a child process for process-level
// tests: its standard error stream (where LOG_PERROR copies the log before
// detaching) goes to a file the test can read, and the child is always
// stopped and reaped when the handle goes away.

#ifndef HERONSEND_TESTS_PROCESS_DAEMON_PROCESS_H_
#define HERONSEND_TESTS_PROCESS_DAEMON_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with its contents
// when the object goes away. Mode 0755 so an unprivileged user can enter it.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct run_options {
  // Runs the child with this prefix, e.g. {"setpriv", "--reuid=65534", ...}.
  std::vector<std::string> prefix;
  // Working directory of the child; the caller's when empty.
  std::string working_dir;
};

class daemon_process {
 public:
  // Starts the binary (HERONSEND_BINARY) with args, stderr to stderr_file.
  daemon_process(const std::vector<std::string> &args,
                 const std::string &stderr_file, const run_options &opts = {});
  ~daemon_process();  // SIGKILL and reap if still running
  daemon_process(const daemon_process &) = delete;
  daemon_process &operator=(const daemon_process &) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the child to exit; its exit status (or 128+signal), or none
  // on timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  void signal(int sig);
  // The stderr text so far.
  std::string stderr_text() const;
  // Polls until stderr contains needle; false on timeout.
  bool wait_for_stderr(const std::string &needle,
                       std::chrono::milliseconds timeout) const;

 private:
  pid_t pid_ = -1;
  std::string stderr_file_;
};

// Polls cond every 20 ms until it holds or the timeout passes.
bool wait_until(const std::function<bool()> &cond,
                std::chrono::milliseconds timeout);

// Reads a whole file; empty if it cannot be read.
std::string read_file(const std::string &path);

// True if a unix stream socket at path accepts a connection.
bool can_connect_unix(const std::string &path);

// True when the daemon answers the milter option negotiation on the unix
// socket at path: its event loop runs, and SIGTERM is then a normal stop (a
// signal that arrives while libmilter is still starting its loop can make
// smfi_main fail instead).
bool milter_answers(const std::string &path);

// The path of the binary under test.
std::string heronsend_binary();

#endif  // HERONSEND_TESTS_PROCESS_DAEMON_PROCESS_H_
