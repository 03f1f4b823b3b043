#include "daemon/identity.h"

#include <fcntl.h>
#include <grp.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/text.h"
#include "options/command_line.h"

namespace {

// Absolute path of the PID file opened at start-up; none when there is no
// PID file or it could not be opened, so shutdown never removes a file the
// daemon did not write.
unique_text pid_file_path;

[[noreturn]] void fail() { std::exit(EXIT_SOFTWARE_FAILURE); }

// path itself when it is absolute (or empty, which names no file), else the
// working directory joined with it. Empty on failure, with errno set.
unique_text absolute_path(const char *path) {
  if (path[0] == '/' || path[0] == '\0') return copy_text(path);
  unique_text cwd(getcwd(nullptr, 0));
  if (!cwd) return nullptr;
  size_t cwd_len = std::strlen(cwd.get());
  size_t path_len = std::strlen(path);
  unique_text joined(
      static_cast<char *>(std::malloc(cwd_len + 1 + path_len + 1)));
  if (!joined) return nullptr;
  std::memcpy(joined.get(), cwd.get(), cwd_len);
  size_t at = cwd_len;
  if (at == 0 || joined.get()[at - 1] != '/') joined.get()[at++] = '/';
  std::memcpy(joined.get() + at, path, path_len + 1);
  return joined;
}

}  // namespace

int open_pid_file(const char *path) {
  pid_file_path.reset();
  unique_text absolute = absolute_path(path);
  if (!absolute) {
    syslog(LOG_ERR, "unable to write PID file - %m");
    return -1;
  }
  int fd = open(absolute.get(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    syslog(LOG_ERR, "unable to write PID file - %m");
    return -1;
  }
  // Started with a standard stream closed, the file could get descriptor
  // 0, 1 or 2, which detaching points at /dev/null.
  if (fd <= STDERR_FILENO) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int saved = errno;
    close(fd);
    if (moved < 0) {
      errno = saved;
      syslog(LOG_ERR, "unable to write PID file - %m");
      // The file was created or truncated: it is ours to remove.
      pid_file_path = std::move(absolute);
      return -1;
    }
    fd = moved;
  }
  pid_file_path = std::move(absolute);
  return fd;
}

void write_pid_file(int fd, long pid) {
  char text[32];
  int length = std::snprintf(text, sizeof text, "%ld\n", pid);
  bool ok = length > 0 && static_cast<size_t>(length) < sizeof text;
  for (int done = 0; ok && done < length;) {
    ssize_t n = write(fd, text + done, static_cast<size_t>(length - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<int>(n);
  }
  if (!ok) syslog(LOG_ERR, "unable to write PID file - %m");
  if (close(fd) != 0 && ok) syslog(LOG_ERR, "unable to write PID file - %m");
}

void remove_pid_file() {
  if (!pid_file_path) return;
  unlink(pid_file_path.get());
  pid_file_path.reset();
}

const char *local_socket_path(const char *spec) {
  if (spec == nullptr) return nullptr;
  const char *colon = std::strchr(spec, ':');
  if (colon == nullptr) return spec;
  if (colon == spec) return colon + 1;  // an empty kind means a local socket
  std::size_t prefix = static_cast<std::size_t>(colon - spec);
  if ((prefix == 4 && strncasecmp(spec, "unix", 4) == 0) ||
      (prefix == 5 && strncasecmp(spec, "local", 5) == 0))
    return colon + 1;
  return nullptr;
}

void hand_socket_over(const char *spec, uid_t uid, gid_t gid) {
  const char *path = local_socket_path(spec);
  if (path == nullptr) return;
  // lchown: never follow a link someone may have put in the socket's place.
  if (lchown(path, uid, gid) != 0)
    syslog(LOG_WARNING, "chown '%s' - %m", path);
}

const struct passwd *find_run_as_user(const char *text) {
  char *end = nullptr;
  errno = 0;
  long number = std::strtol(text, &end, 0);
  if (*end != '\0') return getpwnam(text);
  // A number that does not fit a user ID must not wrap round to another
  // account (4294967296 would otherwise become 0, root); (uid_t)-1 is
  // "no user" to the system calls.
  if (errno == ERANGE || number < 0 ||
      static_cast<unsigned long>(number) >= static_cast<uid_t>(-1))
    return nullptr;
  return getpwuid(static_cast<uid_t>(number));
}

void switch_user(uid_t real_uid, const char *run_as_user) {
  if (real_uid != 0) {
    if (run_as_user != nullptr) {
      syslog(LOG_ERR, "can't switch users if not started as root");
      fail();
    }
    return;
  }
  if (run_as_user == nullptr) {
    syslog(LOG_WARNING, "warning: started as root but no --user flag specified");
    return;
  }
  const struct passwd *account = find_run_as_user(run_as_user);
  if (account == nullptr) {
    syslog(LOG_ERR, "unknown user: '%s'", run_as_user);
    fail();
  }
  // Copied now: the account record lives in static storage that the group
  // lookups of initgroups may reuse.
  uid_t uid = account->pw_uid;
  gid_t gid = account->pw_gid;
  hand_socket_over(config.socket_spec, uid, gid);
  if (setgroups(0, nullptr) != 0) {
    syslog(LOG_ERR, "setgroups - %m");
    fail();
  }
  if (setgid(gid) != 0) {
    syslog(LOG_ERR, "setgid - %m");
    fail();
  }
  if (initgroups(run_as_user, gid) != 0)
    syslog(LOG_WARNING, "initgroups - %m");
  if (setuid(uid) != 0) {
    syslog(LOG_ERR, "setuid - %m");
    fail();
  }
}

void detach() {
  if (daemon(0, 0) != 0) {
    syslog(LOG_ERR, "daemon - %m");
    fail();
  }
}

void establish_process_identity() {
  int pid_fd = -1;
  if (config.pid_file != nullptr) pid_fd = open_pid_file(config.pid_file);
  switch_user(getuid(), config.run_as_user);
  if (!config.no_daemon) detach();
  // Written only now: before detaching it would name the parent, which
  // daemon() ends at once.
  if (pid_fd >= 0) write_pid_file(pid_fd, static_cast<long>(getpid()));
}
