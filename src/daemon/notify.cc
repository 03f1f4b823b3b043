#include "daemon/notify.h"

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int notify_service_manager(const char *state) {
  const char *path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || *path == '\0') return 0;
  size_t len = std::strlen(path);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if ((path[0] != '/' && path[0] != '@') || len >= sizeof addr.sun_path) {
    syslog(LOG_WARNING, "unusable NOTIFY_SOCKET - '%s'", path);
    return -1;
  }
  std::memcpy(addr.sun_path, path, len);
  // An abstract name: no terminating NUL, its length is the address's.
  socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  if (path[0] == '@')
    addr.sun_path[0] = '\0';
  else
    addr_len += 1;

  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    syslog(LOG_WARNING, "notify socket - %m");
    return -1;
  }
  ssize_t sent = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&addr), addr_len);
  int result = 1;
  if (sent < 0 || static_cast<size_t>(sent) != std::strlen(state)) {
    syslog(LOG_WARNING, "unable to notify '%s' - %m", path);
    result = -1;
  }
  close(fd);
  return result;
}

void notify_ready() { notify_service_manager("READY=1"); }

void notify_stopping() { notify_service_manager("STOPPING=1"); }
