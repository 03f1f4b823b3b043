#include "daemon/listener.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fake_syslog.h"

namespace {

// The loopback address of an IP family with port 0 (an ephemeral port
// when bound); its length.
socklen_t loopback(int family, sockaddr_storage *ss) {
  if (family == AF_INET6) {
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(ss);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = in6addr_loopback;
    return sizeof *sin6;
  }
  auto *sin = reinterpret_cast<sockaddr_in *>(ss);
  sin->sin_family = AF_INET;
  sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sizeof *sin;
}

// A socket of the given kind, bound to an ephemeral loopback port and
// listening when asked; closed at the end of the scope.
struct test_socket {
  test_socket(int family, int type, bool listening) {
    fd = socket(family, type, 0);
    sockaddr_storage ss{};
    socklen_t len = loopback(family, &ss);
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

// A listening socket of the given family (a local one in a fresh directory,
// the others on an ephemeral loopback port) and a connection accepted on it.
struct filter_socket_case {
  explicit filter_socket_case(int family) {
    if (family == AF_UNIX) {
      if (mkdtemp(dir) == nullptr) return;
      auto *sun = reinterpret_cast<sockaddr_un *>(&address);
      sun->sun_family = AF_UNIX;
      std::snprintf(sun->sun_path, sizeof sun->sun_path, "%s/s", dir);
      length = sizeof *sun;
    } else {
      length = loopback(family, &address);
    }
    listening = socket(family, SOCK_STREAM, 0);
    if (bind(listening, addr(), length) != 0 || listen(listening, 4) != 0 ||
        getsockname(listening, reinterpret_cast<sockaddr *>(&address), &length) != 0)
      return;
    client = connect_client();
    accepted = accept(listening, nullptr, nullptr);
  }
  ~filter_socket_case() {
    for (int fd : {listening, client, accepted})
      if (fd >= 0) close(fd);
    if (address.ss_family == AF_UNIX) {
      unlink(reinterpret_cast<sockaddr_un *>(&address)->sun_path);
      rmdir(dir);
    }
  }
  const sockaddr *addr() const { return reinterpret_cast<const sockaddr *>(&address); }
  // A new connection to the address, or -1 when it is refused.
  int connect_client() const {
    int fd = socket(address.ss_family, SOCK_STREAM, 0);
    if (connect(fd, addr(), length) == 0) return fd;
    close(fd);
    return -1;
  }
  char dir[32] = "/tmp/listener_test.XXXXXX";
  sockaddr_storage address{};
  socklen_t length = 0;
  int listening = -1, client = -1, accepted = -1;
};

TEST(ListenerTest, AStopRefusesNewConnectionsThenClosesTheAcceptedOnes) {
  for (int family : {AF_UNIX, AF_INET, AF_INET6}) {
    SCOPED_TRACE(family);
    filter_socket_case c(family);
    ASSERT_GE(c.accepted, 0);
    int other[2];  // a connection of the process that is not the filter's
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, other), 0);
    clear_log();
    EXPECT_EQ(remember_filter_socket(), 1);

    EXPECT_EQ(refuse_new_connections(), 1);
    EXPECT_EQ(c.connect_client(), -1);
    // The descriptor number stays valid for libmilter's listener, never
    // readable and nothing to accept.
    pollfd wait{c.listening, POLLIN, 0};
    EXPECT_EQ(poll(&wait, 1, 0), 0);
    EXPECT_EQ(accept(c.listening, nullptr, nullptr), -1);
    EXPECT_EQ(send(c.accepted, "x", 1, 0), 1);  // still served

    EXPECT_EQ(close_accepted_connections(), 1);
    char byte;
    EXPECT_EQ(recv(c.client, &byte, 1, 0), 1);  // the answer sent before
    EXPECT_EQ(recv(c.client, &byte, 1, 0), 0);  // then closed
    EXPECT_EQ(send(other[0], "x", 1, 0), 1);
    EXPECT_EQ(recv(other[1], &byte, 1, 0), 1);
    EXPECT_TRUE(captured_log().empty());
    close(other[0]);
    close(other[1]);
  }
  remember_filter_socket();  // none left: forgets them
}

// A socket kept across a restart takes the place of libmilter's throwaway
// socket: the same descriptor number then accepts its connections, and the
// passed descriptor may be closed.
TEST(ListenerTest, AKeptSocketTakesThePlaceOfTheThrowawayOne) {
  filter_socket_case kept(AF_INET);
  ASSERT_GE(kept.accepted, 0);
  clear_log();
  EXPECT_FALSE(put_in_place_of_filter_socket(kept.listening));  // no other one
  EXPECT_TRUE(log_contains(LOG_ERR, "found 0 listening sockets to replace in place of one"));

  filter_socket_case throwaway(AF_INET);
  ASSERT_GE(throwaway.accepted, 0);
  int passed = dup(kept.listening);
  clear_log();
  ASSERT_TRUE(put_in_place_of_filter_socket(passed));
  close(passed);
  EXPECT_TRUE(is_listening_tcp_socket(throwaway.listening));
  EXPECT_EQ(listening_tcp_socket(), -1);  // two descriptors of it now: not one
  int client = kept.connect_client();
  ASSERT_GE(client, 0);
  int served = accept(throwaway.listening, nullptr, nullptr);
  EXPECT_GE(served, 0);
  EXPECT_TRUE(captured_log().empty());
  for (int fd : {client, served})
    if (fd >= 0) close(fd);
}

}  // namespace
