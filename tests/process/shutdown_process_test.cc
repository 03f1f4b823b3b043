// The real binary at a stop: mail of connections still open is judged, new
// connections are not served, and an idle stop is quick.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>

#include "daemon_process.h"
#include "milter_client.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Whether UDP port 53 of address is free to bind.
bool port_53_free(const std::string &address) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(53);
  inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
  bool free = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  close(fd);
  return free;
}

// A free loopback address for a DNS server on port 53; "" if none found.
std::string free_dns_address() {
  std::mt19937 rng(std::random_device{}());
  for (int attempt = 0; attempt < 50; attempt++) {
    char text[32];
    std::snprintf(text, sizeof text, "127.%u.%u.53",
                  static_cast<unsigned>(rng() % 200 + 20),
                  static_cast<unsigned>(rng() % 250 + 1));
    if (port_53_free(text)) return text;
  }
  return "";
}

// dnsmasq answering one SPF record, "v=spf1 -all" for fail.test, and the
// daemon resolving through it only (its own mount namespace, with
// /etc/resolv.conf bind-mounted). Needs root.
class ShutdownProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (unshare, bind mount, port 53)";
    if (system("command -v dnsmasq >/dev/null && command -v unshare >/dev/null") != 0)
      GTEST_SKIP() << "needs dnsmasq and unshare";
    dns_address_ = free_dns_address();
    ASSERT_FALSE(dns_address_.empty()) << "no free loopback address for DNS";
    dns_pid_ = fork();
    if (dns_pid_ == 0) {
      std::string listen = "--listen-address=" + dns_address_;
      execlp("dnsmasq", "dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null",
             "--no-resolv", "--no-poll", "--no-hosts", "--local=/#/", listen.c_str(),
             "--bind-interfaces", "--port=53", "--user=nobody", "--group=nogroup",
             "--pid-file=", "--txt-record=fail.test,v=spf1 -all", nullptr);
      _exit(127);
    }
    ASSERT_TRUE(wait_until([&] { return !port_53_free(dns_address_); }, seconds(10)))
        << "dnsmasq did not come up";
    std::ofstream(dir_.file("resolv.conf"))
        << "nameserver " << dns_address_ << "\noptions timeout:2 attempts:1\n";
    sock_ = dir_.file("milter.sock");
  }
  void TearDown() override {
    if (dns_pid_ > 0) {
      kill(dns_pid_, SIGTERM);
      waitpid(dns_pid_, nullptr, 0);
    }
  }
  run_options in_namespace() const {
    return {{"unshare", "--mount", "--propagation", "private", "--", "/bin/sh",
             "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
             dir_.file("resolv.conf")},
            ""};
  }
  // A connection that has said HELO, ready for MAIL FROM. Neither step is
  // answered (the filter decides nothing there), so a bounce is started and
  // aborted: its answer says the filter has taken the connection in.
  void open_session(milter_session *s) {
    std::string error;
    ASSERT_TRUE(s->open("unix:" + sock_, &error)) << error;
    ASSERT_TRUE(s->negotiate().ok());
    ASSERT_EQ(s->connect("client.example", "192.0.2.10", 25, {{"j", "mx.test"}}).status,
              milter_status::no_reply);
    ASSERT_EQ(s->helo("forger.example").status, milter_status::no_reply);
    ASSERT_EQ(s->mail({"<>"}).reply, SMFIR_CONTINUE);
    s->abort();
  }

  temp_dir dir_;
  std::string dns_address_, sock_;
  pid_t dns_pid_ = -1;
};

TEST_F(ShutdownProcessTest, MailOfAConnectionOpenAtTheStopIsStillJudged) {
  daemon_process d({"-X", "unix:" + sock_}, dir_.file("stderr"), in_namespace());
  ASSERT_TRUE(wait_until([&] { return milter_answers(sock_); }, seconds(10)))
      << d.stderr_text();
  milter_session held, other;
  open_session(&held);
  open_session(&other);

  d.signal(SIGTERM);
  ASSERT_TRUE(d.wait_for_stderr("stopping - finishing 2 open connections", seconds(10)))
      << d.stderr_text();

  milter_answer a = held.mail({"<forger@fail.test>"});
  EXPECT_EQ(a.reply, SMFIR_REPLYCODE) << milter_code_name(a.reply) << " " << a.error;
  EXPECT_EQ(a.text.rfind("550 5.7.1 ", 0), 0u) << a.text;
  held.quit();
  // A connection opened during the stop is not served: its MTA retries or
  // applies its rule for a filter it cannot reach.
  milter_session late;
  std::string error;
  EXPECT_FALSE(late.open("unix:" + sock_, &error) && late.negotiate().ok());
  // The other connection ends with an aborted message; then the daemon
  // stops without waiting for the drain time.
  other.abort();
  other.quit();
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0)) << d.stderr_text();
  EXPECT_LT(std::chrono::steady_clock::now() - started, seconds(3));
  EXPECT_NE(d.stderr_text().find("rejecting mail from [192.0.2.10] - fail"),
            std::string::npos)
      << d.stderr_text();
}

TEST_F(ShutdownProcessTest, AConnectionLeftOpenDelaysTheStopOnlyForTheDrainTime) {
  daemon_process d({"-X", "unix:" + sock_}, dir_.file("stderr"), in_namespace());
  ASSERT_TRUE(wait_until([&] { return milter_answers(sock_); }, seconds(10)));
  milter_session idle;
  open_session(&idle);
  auto started = std::chrono::steady_clock::now();
  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(30)), std::optional<int>(0)) << d.stderr_text();
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, seconds(4));
  EXPECT_LT(took, seconds(10));
  EXPECT_NE(d.stderr_text().find("stopping with 1 connections still open"),
            std::string::npos)
      << d.stderr_text();
}

}  // namespace

// Without root: an idle daemon stops well under libmilter's five seconds.
TEST(IdleStopProcessTest, AnIdleStopIsQuick) {
  temp_dir dir;
  std::string sock = dir.file("milter.sock");
  daemon_process d({"-X", "unix:" + sock}, dir.file("stderr"));
  ASSERT_TRUE(wait_until([&] { return milter_answers(sock); }, seconds(10)));
  // The answered connection has just restarted the listener's wait.
  auto started = std::chrono::steady_clock::now();
  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds(20)), std::optional<int>(0));
  auto took = std::chrono::duration_cast<milliseconds>(
      std::chrono::steady_clock::now() - started);
  std::printf("idle stop took %lld ms\n", static_cast<long long>(took.count()));
  EXPECT_LT(took, milliseconds(1500));
  EXPECT_NE(d.stderr_text().find(" terminating"), std::string::npos);
}
