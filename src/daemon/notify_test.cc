#include "daemon/notify.h"

#include <gtest/gtest.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_syslog.h"

namespace {

// A datagram socket standing in for systemd's notification socket, bound
// to a file or (name beginning with "@") to an abstract name.
struct manager_socket {
  explicit manager_socket(const std::string &name) {
    fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    name.copy(addr.sun_path, sizeof addr.sun_path - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (name[0] == '@') {
      addr.sun_path[0] = '\0';
    } else {
      unlink(name.c_str());
      file = name;
      len += 1;
    }
    bound = bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0;
  }
  ~manager_socket() {
    close(fd);
    if (!file.empty()) unlink(file.c_str());
  }
  // The next message's text; a descriptor attached to it is put in
  // *passed (closed otherwise), -1 when none.
  std::string received(int *passed = nullptr) const {
    char buf[256];
    iovec text{buf, sizeof buf};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &text;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT);
    int attached = -1;
    cmsghdr *rights = n < 0 ? nullptr : CMSG_FIRSTHDR(&message);
    if (rights != nullptr && rights->cmsg_type == SCM_RIGHTS)
      std::memcpy(&attached, CMSG_DATA(rights), sizeof attached);
    if (passed != nullptr)
      *passed = attached;
    else if (attached >= 0)
      close(attached);
    return n < 0 ? std::string("(nothing)") : std::string(buf, static_cast<size_t>(n));
  }
  int fd;
  bool bound;
  std::string file;
};

struct NotifyTest : ::testing::Test {
  void TearDown() override { unsetenv("NOTIFY_SOCKET"); }
};

TEST_F(NotifyTest, SendsToAFileOrAnAbstractName) {
  const std::string names[] = {
      "/tmp/heronsend-notify-test." + std::to_string(getpid()),
      "@heronsend-notify-test." + std::to_string(getpid()),
  };
  for (const auto &name : names) {
    SCOPED_TRACE(name);
    manager_socket manager(name);
    ASSERT_TRUE(manager.bound);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    clear_log();
    notify_ready();
    EXPECT_EQ(manager.received(), "READY=1");
    notify_stopping();
    EXPECT_EQ(manager.received(), "STOPPING=1");
    // A descriptor to keep arrives with its name, as the same open file.
    int kept = socket(AF_INET, SOCK_STREAM, 0);
    int passed = -1;
    EXPECT_EQ(notify_store_descriptor(kept, "heronsend-0123"), 1);
    EXPECT_EQ(manager.received(&passed), "FDSTORE=1\nFDNAME=heronsend-0123");
    struct stat a {}, b {};
    EXPECT_TRUE(passed >= 0 && fstat(kept, &a) == 0 && fstat(passed, &b) == 0 &&
                a.st_ino == b.st_ino);
    if (passed >= 0) close(passed);
    close(kept);
    EXPECT_EQ(notify_remove_stored("heronsend-0123"), 1);
    EXPECT_EQ(manager.received(&passed), "FDSTOREREMOVE=1\nFDNAME=heronsend-0123");
    EXPECT_EQ(passed, -1);
    EXPECT_TRUE(captured_log().empty());
  }
}

TEST_F(NotifyTest, WithoutASocketOrWithAnUnusableOneNothingIsSent) {
  const std::string too_long(sizeof(sockaddr_un::sun_path), 'x');
  const std::string missing = "/tmp/heronsend-notify-missing." + std::to_string(getpid());
  struct {
    const char *value;  // nullptr: unset
    int result;
    std::string warning;
  } cases[] = {
      {nullptr, 0, ""},
      {"", 0, ""},
      {"relative/notify", -1, "unusable NOTIFY_SOCKET - 'relative/notify'"},
      {too_long.c_str(), -1, "unusable NOTIFY_SOCKET - '" + too_long + "'"},
      {missing.c_str(), -1, "unable to notify '" + missing + "' - No such file or directory"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    if (c.value)
      setenv("NOTIFY_SOCKET", c.value, 1);
    else
      unsetenv("NOTIFY_SOCKET");
    clear_log();
    EXPECT_EQ(notify_service_manager("READY=1"), c.result);
    if (c.warning.empty())
      EXPECT_TRUE(captured_log().empty());
    else
      EXPECT_TRUE(log_contains(LOG_WARNING, c.warning));
  }
}

}  // namespace
