#include "daemon/listener.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fake_syslog.h"

namespace {

// A socket of the given kind, bound to an ephemeral loopback port and
// listening when asked; closed at the end of the scope.
struct test_socket {
  test_socket(int family, int type, bool listening) {
    fd = socket(family, type, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET6) {
      auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_addr = in6addr_loopback;
      len = sizeof *sin6;
    } else {
      auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
      sin->sin_family = AF_INET;
      sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *sin;
    }
    bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0 &&
            (!listening || listen(fd, 1) == 0);
  }
  ~test_socket() {
    if (fd >= 0) close(fd);
  }
  bool nodelay() const {
    int value = 0;
    socklen_t len = sizeof value;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &len);
    return value != 0;
  }
  int fd;
  bool bound;
};

TEST(ListenerTest, OnlyTheListeningTcpSocketOfAnInetSpecGetsNoDelay) {
  struct {
    const char *spec;
    int family;
    bool set;
  } cases[] = {
      {"inet:8890@127.0.0.1", AF_INET, true},
      {"INET6:8890@::1", AF_INET6, true},
      {"unix:/run/heronsend.sock", AF_INET, false},
      {"/run/heronsend.sock", AF_INET, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.spec);
    test_socket listening(c.family, SOCK_STREAM, true);
    test_socket connected_side(c.family, SOCK_STREAM, false);  // not listening
    ASSERT_TRUE(listening.bound && connected_side.bound);
    clear_log();
    EXPECT_EQ(set_listener_nodelay(c.spec), c.set ? 1 : 0);
    EXPECT_EQ(listening.nodelay(), c.set);
    EXPECT_FALSE(connected_side.nodelay());
    EXPECT_TRUE(captured_log().empty());
  }
}

TEST(ListenerTest, NoListeningSocketIsOnlyAWarning) {
  clear_log();
  EXPECT_EQ(set_listener_nodelay("inet:8890@127.0.0.1"), 0);
  EXPECT_TRUE(log_contains(
      LOG_WARNING,
      "no listening TCP socket found for TCP_NODELAY - replies may be "
      "delayed"));
}

}  // namespace
