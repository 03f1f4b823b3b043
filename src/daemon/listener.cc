#include "daemon/listener.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cstdlib>

namespace {

bool is_tcp_spec(const char *spec) {
  return spec != nullptr && (strncasecmp(spec, "inet:", 5) == 0 ||
                             strncasecmp(spec, "inet6:", 6) == 0);
}

int socket_option(int fd, int option) {
  int value = 0;
  socklen_t len = sizeof value;
  if (getsockopt(fd, SOL_SOCKET, option, &value, &len) != 0) return -1;
  return value;
}

bool is_listening_tcp(int fd) {
  if (socket_option(fd, SO_ACCEPTCONN) != 1) return false;  // also: no socket
  int domain = socket_option(fd, SO_DOMAIN);
  return (domain == AF_INET || domain == AF_INET6) &&
         socket_option(fd, SO_TYPE) == SOCK_STREAM;
}

}  // namespace

int set_listener_nodelay(const char *socket_spec) {
  if (!is_tcp_spec(socket_spec)) return 0;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    syslog(LOG_WARNING, "cannot list descriptors for TCP_NODELAY - %m");
    return 0;
  }
  int dir_fd = dirfd(dir);
  int found = 0;
  int set = 0;
  while (dirent *entry = readdir(dir)) {
    char *end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd < 0 || fd == dir_fd)
      continue;
    if (!is_listening_tcp(static_cast<int>(fd))) continue;
    found++;
    int on = 1;
    if (setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &on,
                   sizeof on) != 0) {
      syslog(LOG_WARNING, "cannot set TCP_NODELAY on the filter socket - %m");
      continue;
    }
    set++;
  }
  closedir(dir);
  if (found == 0)
    syslog(LOG_WARNING,
           "no listening TCP socket found for TCP_NODELAY - replies may be "
           "delayed");
  return set;
}
