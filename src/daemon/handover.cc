#include "daemon/handover.h"

#include <fcntl.h>
#include <libmilter/mfapi.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "daemon/listener.h"
#include "daemon/notify.h"

namespace {

// systemd passes descriptors from 3 on. The unit stores one; a few more
// (an administrator's raised FileDescriptorStoreMax=) are still cleared.
constexpr int kFirstPassed = 3;
constexpr long kMaxPassed = 8;

// After a stored socket was taken out of the store, how often and how far
// apart opening the new one is tried: systemd closes the stored copy only
// when it reads the request, and until then a new socket on the same port
// cannot be bound.
constexpr int kOpenTries = 10;
constexpr std::chrono::milliseconds kOpenRetryWait(100);

// A plain decimal number from 0 to max (no sign, no blanks).
bool parse_number(const char *text, long max, long *value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end = nullptr;
  long n = std::strtol(text, &end, 10);
  if (*end != '\0' || errno != 0 || n > max) return false;
  *value = n;
  return true;
}

// Takes a passed descriptor out of the store and closes this process's copy.
void discard_passed(int fd, const std::string &name) {
  if (!name.empty()) notify_remove_stored(name.c_str());
  close(fd);
}

// Serves the passed listening socket fd: libmilter opens a throwaway
// socket (it cannot bind the port the passed socket holds), and fd is put
// on that socket's descriptor number, the one libmilter listens on. The
// throwaway is a TCP socket of the passed one's family on an ephemeral
// loopback port: libmilter closes at once every accepted connection whose
// family is not that of the socket it opened. Afterwards libmilter's
// specification is the real one again, for its log lines; its socket is
// open, so it opens no other. Returns 1 when served, 0 when libmilter
// opened nothing (it can still open the real socket), -1 when libmilter
// holds the throwaway socket, which could not be replaced (logged).
int serve_passed_socket(int fd, const char *socket_spec) {
  int domain = 0;
  socklen_t length = sizeof domain;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) return 0;
  const char *throwaway = domain == AF_INET6 ? "inet6:0@::1" : "inet:0@127.0.0.1";
  smfi_setconn(const_cast<char *>(throwaway));
  int served = 0;
  if (smfi_opensocket(true) != MI_SUCCESS)
    syslog(LOG_WARNING, "cannot take over the kept filter socket - smfi_opensocket() failed");
  else
    served = put_in_place_of_filter_socket(fd) ? 1 : -1;
  smfi_setconn(const_cast<char *>(socket_spec));
  return served;
}

// Opens the socket as libmilter does (tries times, see kOpenTries) and,
// for a TCP socket under systemd, puts it into the store.
int open_and_store(const char *socket_spec, const std::string &name, int tries) {
  while (smfi_opensocket(true) != MI_SUCCESS) {
    if (--tries <= 0) return MI_FAILURE;
    std::this_thread::sleep_for(kOpenRetryWait);
  }
  if (!is_tcp_socket_spec(socket_spec)) return MI_SUCCESS;
  const char *manager = std::getenv("NOTIFY_SOCKET");
  if (manager == nullptr || *manager == '\0') return MI_SUCCESS;
  int fd = listening_tcp_socket();
  if (fd < 0)
    syslog(LOG_WARNING, "no listening TCP socket found to keep across restarts");
  else
    notify_store_descriptor(fd, name.c_str());  // a failure is logged there
  return MI_SUCCESS;
}

}  // namespace

passed_descriptors parse_passed_descriptors(const char *listen_pid, const char *listen_fds,
                                            const char *listen_fdnames, pid_t pid) {
  passed_descriptors passed;
  long for_pid = 0;
  long count = 0;
  if (!parse_number(listen_pid, INT32_MAX, &for_pid) || for_pid != pid ||
      !parse_number(listen_fds, kMaxPassed, &count) || count == 0)
    return passed;
  passed.valid = true;
  passed.names.assign(static_cast<size_t>(count), std::string());
  const char *p = listen_fdnames;
  for (size_t i = 0; p != nullptr && i < passed.names.size(); i++) {
    const char *colon = std::strchr(p, ':');
    passed.names[i].assign(p, colon != nullptr ? static_cast<size_t>(colon - p) : std::strlen(p));
    p = colon != nullptr ? colon + 1 : nullptr;
  }
  return passed;
}

std::string stored_socket_name(const char *socket_spec) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char *c = socket_spec; *c != '\0'; c++) {
    hash ^= static_cast<unsigned char>(*c);
    hash *= 0x100000001b3ULL;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return std::string("heronsend-") + hex;
}

int open_filter_socket(const char *socket_spec) {
  std::string name = stored_socket_name(socket_spec);
  passed_descriptors passed = parse_passed_descriptors(
      std::getenv("LISTEN_PID"), std::getenv("LISTEN_FDS"), std::getenv("LISTEN_FDNAMES"), getpid());
  // Nothing started from here (the daemon starts no programs, but a library
  // might) is to take these for its own.
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");

  int taken = -1;
  bool discarded = false;
  for (size_t i = 0; i < passed.names.size(); i++) {
    int fd = kFirstPassed + static_cast<int>(i);
    const std::string &passed_name = passed.names[i];
    if (fcntl(fd, F_GETFD) < 0) continue;  // not open after all
    if (taken < 0 && passed_name == name && is_tcp_socket_spec(socket_spec) &&
        is_listening_tcp_socket(fd)) {
      taken = fd;
      continue;
    }
    if (passed_name == name && taken >= 0) {
      close(fd);  // a second copy: removing it by name would remove both
      continue;
    }
    if (passed_name == name)
      syslog(LOG_WARNING, "the kept filter socket is not a listening TCP socket - opening a new one");
    else
      syslog(LOG_WARNING, "discarding a kept socket of another socket setting ('%s')",
             passed_name.c_str());
    discard_passed(fd, passed_name);
    discarded = true;
  }

  if (taken >= 0) {
    int served = serve_passed_socket(taken, socket_spec);
    if (served == 1) {
      close(taken);
      syslog(LOG_INFO, "filter socket kept across the restart");
      return MI_SUCCESS;
    }
    discard_passed(taken, name);
    if (served < 0) {
      // libmilter holds the throwaway socket and would open no other: this
      // start fails, and the next one (the store emptied) opens the socket.
      syslog(LOG_ERR, "cannot take over the kept filter socket - discarded it");
      return MI_FAILURE;
    }
    discarded = true;
  }
  return open_and_store(socket_spec, name, discarded ? kOpenTries : 1);
}
