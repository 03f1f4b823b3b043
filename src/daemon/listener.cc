#include "daemon/listener.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

int socket_option(int fd, int option) {
  int value = 0;
  socklen_t len = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, option, &value, &len) != 0) return -1;
  return value;
}

bool is_listening_stream(int fd) {
  return socket_option(fd, SO_ACCEPTCONN) == 1 &&  // also: no socket
         socket_option(fd, SO_TYPE) == SOCK_STREAM;
}


// Calls visit(fd) for each descriptor of the process (but the one listing
// them). False when they cannot be listed.
template <typename Visit>
bool each_descriptor(Visit visit) {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return false;
  int dir_fd = dirfd(dir);
  while (dirent *entry = readdir(dir)) {
    char *end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd < 0 || fd == dir_fd)
      continue;
    visit(static_cast<int>(fd));
  }
  closedir(dir);
  return true;
}

// The remembered listening sockets. Written at start-up (and by tests), read
// only at the stop, on the main thread.
struct filter_socket {
  int fd;
  sockaddr_storage address;
  socklen_t length;
};
constexpr int kMaxFilterSockets = 4;
filter_socket filter_sockets[kMaxFilterSockets];
int filter_socket_count = 0;

// Whether a socket's local address makes it a connection accepted on the
// listening socket: the same path for a local socket; for TCP the same
// family and port, and the same address unless the listener has the
// wildcard one.
bool accepted_on(const sockaddr_storage &local, socklen_t length,
                 const filter_socket &listener) {
  const sockaddr_storage &l = listener.address;
  if (local.ss_family != l.ss_family) return false;
  switch (l.ss_family) {
    case AF_UNIX:
      return length == listener.length && length > sizeof(sa_family_t) &&
             std::memcmp(&local, &l, length) == 0;
    case AF_INET: {
      const auto &a = reinterpret_cast<const sockaddr_in &>(local);
      const auto &b = reinterpret_cast<const sockaddr_in &>(l);
      return a.sin_port == b.sin_port &&
             (b.sin_addr.s_addr == htonl(INADDR_ANY) ||
              a.sin_addr.s_addr == b.sin_addr.s_addr);
    }
    case AF_INET6: {
      const auto &a = reinterpret_cast<const sockaddr_in6 &>(local);
      const auto &b = reinterpret_cast<const sockaddr_in6 &>(l);
      return a.sin6_port == b.sin6_port &&
             (IN6_IS_ADDR_UNSPECIFIED(&b.sin6_addr) ||
              std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0);
    }
    default:
      return false;
  }
}

}  // namespace

bool is_tcp_socket_spec(const char *spec) {
  return spec != nullptr && (strncasecmp(spec, "inet:", 5) == 0 ||
                             strncasecmp(spec, "inet6:", 6) == 0);
}

bool is_listening_tcp_socket(int fd) {
  if (!is_listening_stream(fd)) return false;
  int domain = socket_option(fd, SO_DOMAIN);
  return domain == AF_INET || domain == AF_INET6;
}

int listening_tcp_socket() {
  int found = -1;
  int count = 0;
  each_descriptor([&](int fd) {
    if (!is_listening_tcp_socket(fd)) return;
    found = fd;
    count++;
  });
  return count == 1 ? found : -1;
}

bool put_in_place_of_filter_socket(int fd) {
  // Other descriptors of fd's own socket are not libmilter's.
  struct stat passed {};
  if (fstat(fd, &passed) != 0) {
    syslog(LOG_ERR, "cannot put the kept filter socket in place - %m");
    return false;
  }
  int target = -1;
  int count = 0;
  each_descriptor([&](int candidate) {
    struct stat other {};
    if (!is_listening_stream(candidate) || fstat(candidate, &other) != 0 ||
        (other.st_dev == passed.st_dev && other.st_ino == passed.st_ino))
      return;
    target = candidate;
    count++;
  });
  if (count != 1) {
    syslog(LOG_ERR, "found %d listening sockets to replace in place of one", count);
    return false;
  }
  int flags = fcntl(target, F_GETFD);
  if (flags < 0 || dup3(fd, target, (flags & FD_CLOEXEC) != 0 ? O_CLOEXEC : 0) < 0) {
    syslog(LOG_ERR, "cannot put the kept filter socket in place - %m");
    return false;
  }
  return true;
}

int set_listener_nodelay(const char *socket_spec) {
  if (!is_tcp_socket_spec(socket_spec)) return 0;
  int found = 0;
  int set = 0;
  bool listed = each_descriptor([&](int fd) {
    if (!is_listening_tcp_socket(fd)) return;
    found++;
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
      syslog(LOG_WARNING, "cannot set TCP_NODELAY on the filter socket - %m");
      return;
    }
    set++;
  });
  if (!listed) {
    syslog(LOG_WARNING, "cannot list descriptors for TCP_NODELAY - %m");
    return 0;
  }
  if (found == 0)
    syslog(LOG_WARNING,
           "no listening TCP socket found for TCP_NODELAY - replies may be "
           "delayed");
  return set;
}

int remember_filter_socket() {
  filter_socket_count = 0;
  each_descriptor([](int fd) {
    if (filter_socket_count == kMaxFilterSockets || !is_listening_stream(fd))
      return;
    filter_socket &s = filter_sockets[filter_socket_count];
    s = filter_socket{};
    s.fd = fd;
    s.length = sizeof s.address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&s.address), &s.length) == 0)
      filter_socket_count++;
  });
  if (filter_socket_count == 0)
    syslog(LOG_WARNING,
           "no listening socket found - a stop will not refuse new connections");
  return filter_socket_count;
}

int refuse_new_connections() {
  int replaced = 0;
  for (int i = 0; i < filter_socket_count; i++) {
    int placeholder = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (placeholder < 0 ||
        dup3(placeholder, filter_sockets[i].fd, O_CLOEXEC) < 0) {
      syslog(LOG_ERR, "cannot close the filter socket - %m");
    } else {
      replaced++;
    }
    if (placeholder >= 0) close(placeholder);
  }
  return replaced;
}

int close_accepted_connections() {
  int closed = 0;
  bool listed = each_descriptor([&](int fd) {
    if (socket_option(fd, SO_TYPE) != SOCK_STREAM ||
        socket_option(fd, SO_ACCEPTCONN) != 0)
      return;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
      return;
    for (int i = 0; i < filter_socket_count; i++) {
      if (accepted_on(local, length, filter_sockets[i])) {
        if (shutdown(fd, SHUT_RDWR) == 0) closed++;
        return;
      }
    }
  });
  if (!listed) {
    syslog(LOG_ERR, "cannot list descriptors to close the open connections - %m");
    return -1;
  }
  return closed;
}
