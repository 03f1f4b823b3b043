#include "daemon/run_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// The listening socket's address, as a client reaches it; length 0 when
// unknown.
sockaddr_storage listen_address{};
socklen_t listen_address_len = 0;

std::atomic<bool> loop_done{false};
std::atomic<bool> main_waiting{false};
std::atomic<int> loop_result{MI_SUCCESS};
pthread_t main_thread;

// A wildcard address is reached through the loopback address.
void to_reachable(sockaddr_storage *addr) {
  if (addr->ss_family == AF_INET) {
    auto *sin = reinterpret_cast<sockaddr_in *>(addr);
    if (sin->sin_addr.s_addr == htonl(INADDR_ANY))
      sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else if (addr->ss_family == AF_INET6) {
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(addr);
    if (IN6_IS_ADDR_UNSPECIFIED(&sin6->sin6_addr))
      sin6->sin6_addr = in6addr_loopback;
  }
}

// Connects to the listening socket and closes again at once: the listener's
// wait ends, and with the stop asked for it leaves its loop. Non-blocking
// and best effort; the session libmilter may start for it sees the end of
// its input straight away.
void wake_listener() {
  if (listen_address_len == 0) return;
  int fd = socket(listen_address.ss_family,
                  SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int r = connect(fd, reinterpret_cast<sockaddr *>(&listen_address),
                  listen_address_len);
  if (r != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 100);
  }
  close(fd);
}

void *loop_thread(void *) {
  // libmilter starts its own signal thread inside smfi_main; a signal that
  // arrived before the main thread waits for it would go there (a slower
  // stop). Give the main thread that head start.
  while (!main_waiting.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  loop_result.store(smfi_main());
  loop_done.store(true);
  pthread_kill(main_thread, SIGUSR1);
  return nullptr;
}

// Asks the library to stop. smfi_stop waits for the listener's lock, so it
// runs on a thread of its own while this one wakes the listener until the
// loop has ended.
void stop_loop() {
  std::thread stopper([] { smfi_stop(); });
  while (!loop_done.load()) {
    wake_listener();
    for (int i = 0; i < 10 && !loop_done.load(); i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stopper.join();
}

}  // namespace

void note_listening_socket() {
  listen_address_len = 0;
  rlimit limit{};
  int max_fd = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536)
    max_fd = static_cast<int>(limit.rlim_cur);
  for (int fd = 0; fd < max_fd; fd++) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    int listening = 0;
    socklen_t len = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 ||
        listening == 0)
      continue;
    sockaddr_storage addr{};
    socklen_t addr_len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &addr_len) != 0)
      continue;
    to_reachable(&addr);
    listen_address = addr;
    listen_address_len = addr_len;
    return;
  }
}

int run_filter_loop(void (*before_stop)()) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  loop_done.store(false);
  main_waiting.store(false);
  main_thread = pthread_self();
  pthread_t loop;
  if (pthread_create(&loop, nullptr, loop_thread, nullptr) != 0) {
    syslog(LOG_ERR, "couldn't start the filter loop thread - %m");
    return MI_FAILURE;
  }
  while (!loop_done.load()) {
    main_waiting.store(true);
    int sig = 0;
    if (sigwait(&signals, &sig) != 0) continue;
    if (sig == SIGUSR1 || loop_done.load()) continue;
    if (before_stop != nullptr) before_stop();
    stop_loop();
  }
  pthread_join(loop, nullptr);
  // The loop thread's own wake-up may still be pending.
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, SIGUSR1);
  timespec no_wait{0, 0};
  while (sigtimedwait(&wake, nullptr, &no_wait) > 0) {
  }
  return loop_result.load();
}
