#include "daemon/notify.h"

#include <stddef.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Sends state, with descriptor fd as SCM_RIGHTS ancillary data when fd >= 0.
int send_notification(const char *state, int fd_to_pass) {
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
  iovec text{const_cast<char *>(state), std::strlen(state)};
  msghdr message{};
  message.msg_name = &addr;
  message.msg_namelen = addr_len;
  message.msg_iov = &text;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd_to_pass >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &fd_to_pass, sizeof(int));
  }
  ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
  int result = 1;
  if (sent < 0 || static_cast<size_t>(sent) != std::strlen(state)) {
    syslog(LOG_WARNING, "unable to notify '%s' - %m", path);
    result = -1;
  }
  close(fd);
  return result;
}

}  // namespace

int notify_service_manager(const char *state) { return send_notification(state, -1); }

int notify_store_descriptor(int fd, const char *name) {
  std::string state = std::string("FDSTORE=1\nFDNAME=") + name;
  return send_notification(state.c_str(), fd);
}

int notify_remove_stored(const char *name) {
  std::string state = std::string("FDSTOREREMOVE=1\nFDNAME=") + name;
  return send_notification(state.c_str(), -1);
}

void notify_ready() { notify_service_manager("READY=1"); }

void notify_stopping() { notify_service_manager("STOPPING=1"); }
