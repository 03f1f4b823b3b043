// The milter client against a scripted filter on the other end of a
// socketpair: the filter's packets are written before each step (the
// socket buffers them), and what the client sent is read back afterwards.

#include "milter_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string be32(std::uint32_t v) {
  std::string s;
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<char>((v >> shift) & 0xFF));
  return s;
}

std::string packet(char cmd, const std::string &data) {
  return be32(static_cast<std::uint32_t>(data.size() + 1)) + cmd + data;
}

std::string z(const std::string &s) { return s + std::string(1, '\0'); }

struct sent_packet {
  char cmd;
  std::string data;
};

class MilterClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    // Room for a whole body chunk, since nobody reads while the client writes.
    int size = 1 << 20;
    for (int fd : fds) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    session_.adopt(fds[0]);
    filter_ = fds[1];
    session_.set_timeout(std::chrono::milliseconds(2000));
  }
  void TearDown() override {
    if (filter_ >= 0) close(filter_);
  }

  // What the filter will say next.
  void filter_says(const std::string &bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(filter_, bytes.data(), bytes.size()));
  }

  // Everything the client has sent so far, split into packets.
  std::vector<sent_packet> client_sent() {
    std::string bytes;
    char buf[65536];
    for (;;) {
      ssize_t n = recv(filter_, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      bytes.append(buf, static_cast<std::size_t>(n));
    }
    std::vector<sent_packet> packets;
    std::size_t pos = 0;
    while (pos + 5 <= bytes.size()) {
      std::uint32_t len = 0;
      for (int i = 0; i < 4; ++i) len = (len << 8) | static_cast<unsigned char>(bytes[pos + i]);
      packets.push_back({bytes[pos + 4], bytes.substr(pos + 5, len - 1)});
      pos += 4 + len;
    }
    EXPECT_EQ(pos, bytes.size()) << "a truncated packet";
    return packets;
  }

  void negotiate(std::uint32_t filter_protocol) {
    filter_says(packet(SMFIC_OPTNEG, be32(6) + be32(0x11) +
                                         be32(filter_protocol)));
    milter_answer a = session_.negotiate();
    ASSERT_EQ(milter_status::answered, a.status) << a.error;
    client_sent();
  }

  milter_session session_;
  int filter_ = -1;
};

TEST_F(MilterClientTest, NegotiationOffersVersionSixWithAllActionsAndSteps) {
  filter_says(packet(SMFIC_OPTNEG, be32(6) + be32(0x11) + be32(SMFIP_NOBODY | SMFIP_NR_HDR)));
  milter_answer a = session_.negotiate();
  ASSERT_EQ(milter_status::answered, a.status) << a.error;
  EXPECT_EQ(6u, session_.filter_version());
  EXPECT_EQ(0x11u, session_.filter_actions());
  EXPECT_EQ(static_cast<std::uint32_t>(SMFIP_NOBODY | SMFIP_NR_HDR), session_.filter_protocol());

  std::vector<sent_packet> sent = client_sent();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(SMFIC_OPTNEG, sent[0].cmd);
  EXPECT_EQ(be32(6) + be32(SMFI_CURR_ACTS) + be32(SMFI_CURR_PROT), sent[0].data);
}

TEST_F(MilterClientTest, NegotiationRefusesAFilterAskingForMoreThanOffered) {
  filter_says(packet(SMFIC_OPTNEG, be32(6) + be32(0x11) + be32(SMFIP_NOBODY)));
  milter_answer a = session_.negotiate(SMFI_CURR_ACTS, SMFIP_NOHELO);
  EXPECT_EQ(milter_status::failed, a.status);
  EXPECT_FALSE(session_.is_open());
}

TEST_F(MilterClientTest, ConnectSendsMacrosThenFamilyPortAndAddress) {
  negotiate(0);
  struct {
    std::string address;
    std::string wire;  // after the host name
  } cases[] = {
      {"192.0.2.10", std::string("4") + '\x00' + '\x19' + z("192.0.2.10")},
      {"2001:db8::5", std::string("6") + '\x00' + '\x19' + z("2001:db8::5")},
      {"/var/run/sock", std::string("L") + '\x00' + '\x19' + z("/var/run/sock")},
      {"", "U"},
  };
  for (const auto &c : cases) {
    filter_says(packet(SMFIR_CONTINUE, ""));
    milter_answer a = session_.connect("client.example", c.address, 25,
                                       {{"j", "mx.example"}, {"{daemon_name}", "d"}});
    ASSERT_EQ(milter_status::answered, a.status) << a.error;
    EXPECT_EQ(SMFIR_CONTINUE, a.reply);
    std::vector<sent_packet> sent = client_sent();
    ASSERT_EQ(2u, sent.size()) << c.address;
    EXPECT_EQ(SMFIC_MACRO, sent[0].cmd);
    EXPECT_EQ(std::string("C") + z("j") + z("mx.example") + z("{daemon_name}") + z("d"),
              sent[0].data);
    EXPECT_EQ(SMFIC_CONNECT, sent[1].cmd);
    EXPECT_EQ(z("client.example") + c.wire, sent[1].data) << c.address;
  }
}

TEST_F(MilterClientTest, EnvelopeStepsAndRepliesWithText) {
  negotiate(0);
  filter_says(packet(SMFIR_CONTINUE, ""));
  EXPECT_EQ(SMFIR_CONTINUE, session_.helo("h.example").reply);
  filter_says(packet(SMFIR_REPLYCODE, z("550 5.7.1 fail")));
  milter_answer a = session_.mail({"<a@fail.example>", "SIZE=100"}, {{"{auth_type}", "PLAIN"}});
  ASSERT_EQ(milter_status::answered, a.status) << a.error;
  EXPECT_EQ(SMFIR_REPLYCODE, a.reply);
  EXPECT_EQ("550 5.7.1 fail", a.text);
  filter_says(packet(SMFIR_REJECT, ""));
  EXPECT_EQ(SMFIR_REJECT, session_.rcpt({"<b@example>"}).reply);

  std::vector<sent_packet> sent = client_sent();
  ASSERT_EQ(4u, sent.size());
  EXPECT_EQ(SMFIC_HELO, sent[0].cmd);
  EXPECT_EQ(z("h.example"), sent[0].data);
  EXPECT_EQ(SMFIC_MACRO, sent[1].cmd);
  EXPECT_EQ(std::string("M") + z("{auth_type}") + z("PLAIN"), sent[1].data);
  EXPECT_EQ(SMFIC_MAIL, sent[2].cmd);
  EXPECT_EQ(z("<a@fail.example>") + z("SIZE=100"), sent[2].data);
  EXPECT_EQ(SMFIC_RCPT, sent[3].cmd);
  EXPECT_EQ(z("<b@example>"), sent[3].data);
}

TEST_F(MilterClientTest, EndOfMessageCollectsModificationsUntilTheFinalReply) {
  negotiate(0);
  filter_says(packet(SMFIR_CHGHEADER, be32(2) + z("Received-SPF") + z("")) +
              packet(SMFIR_PROGRESS, "") +
              packet(SMFIR_INSHEADER, be32(0) + z("Received-SPF") + z("pass (x) y=z;")) +
              packet(SMFIR_ADDHEADER, z("X-Test") + z("1")) +
              packet(SMFIR_CONTINUE, ""));
  milter_answer a = session_.eom({{"i", "QID1"}});
  ASSERT_EQ(milter_status::answered, a.status) << a.error;
  EXPECT_EQ(SMFIR_CONTINUE, a.reply);
  ASSERT_EQ(3u, a.modifications.size());
  EXPECT_EQ(SMFIR_CHGHEADER, a.modifications[0].action);
  EXPECT_EQ(2u, a.modifications[0].index);
  EXPECT_EQ("Received-SPF", a.modifications[0].name);
  EXPECT_EQ("", a.modifications[0].value);
  EXPECT_EQ(SMFIR_INSHEADER, a.modifications[1].action);
  EXPECT_EQ(0u, a.modifications[1].index);
  EXPECT_EQ("pass (x) y=z;", a.modifications[1].value);
  EXPECT_EQ(SMFIR_ADDHEADER, a.modifications[2].action);
  EXPECT_EQ("X-Test", a.modifications[2].name);

  std::vector<sent_packet> sent = client_sent();
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(std::string("E") + z("i") + z("QID1"), sent[0].data);
  EXPECT_EQ(SMFIC_BODYEOB, sent[1].cmd);
}

TEST_F(MilterClientTest, StepsTheFilterDoesNotWantAreNotSentOrNotAnswered) {
  negotiate(SMFIP_NOHELO | SMFIP_NOBODY | SMFIP_NR_HDR | SMFIP_NR_RCPT);
  EXPECT_EQ(milter_status::not_sent, session_.helo("h", {{"x", "y"}}).status);
  EXPECT_EQ(milter_status::not_sent, session_.body("text").status);
  EXPECT_EQ(milter_status::no_reply, session_.header("Subject", "hi").status);
  EXPECT_EQ(milter_status::no_reply, session_.rcpt({"<r@example>"}).status);
  EXPECT_EQ(milter_status::no_reply, session_.abort().status);
  // What Postfix sends for a DATA step the filter does not want.
  EXPECT_EQ(milter_status::no_reply, session_.macros_only(SMFIC_DATA, {{"i", "Q"}}).status);
  std::vector<sent_packet> sent = client_sent();
  ASSERT_EQ(4u, sent.size());  // no macros or HELO, no body
  EXPECT_EQ(SMFIC_HEADER, sent[0].cmd);
  EXPECT_EQ(z("Subject") + z("hi"), sent[0].data);
  EXPECT_EQ(SMFIC_RCPT, sent[1].cmd);
  EXPECT_EQ(SMFIC_ABORT, sent[2].cmd);
  EXPECT_EQ(SMFIC_MACRO, sent[3].cmd);
  EXPECT_EQ(std::string("T") + z("i") + z("Q"), sent[3].data);

  // Held, as Postfix holds them: the unanswered steps go out with the next
  // step that waits for a reply.
  session_.set_hold_unanswered(true);
  EXPECT_EQ(milter_status::no_reply, session_.rcpt({"<r@example>"}).status);
  EXPECT_EQ(milter_status::no_reply, session_.header("Subject", "hi").status);
  EXPECT_TRUE(client_sent().empty());
  filter_says(packet(SMFIR_CONTINUE, ""));
  EXPECT_EQ(milter_status::answered, session_.eoh().status);
  sent = client_sent();
  ASSERT_EQ(3u, sent.size());
  EXPECT_EQ(SMFIC_RCPT, sent[0].cmd);
  EXPECT_EQ(SMFIC_HEADER, sent[1].cmd);
  EXPECT_EQ(SMFIC_EOH, sent[2].cmd);
}

TEST_F(MilterClientTest, BodyIsSentInChunksOfAtMost65535Bytes) {
  negotiate(0);
  std::string text(MILTER_CHUNK_SIZE + 10, 'x');
  filter_says(packet(SMFIR_CONTINUE, "") + packet(SMFIR_CONTINUE, ""));
  milter_answer a = session_.body(text);
  ASSERT_EQ(milter_status::answered, a.status) << a.error;
  std::vector<sent_packet> sent = client_sent();
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(static_cast<std::size_t>(MILTER_CHUNK_SIZE), sent[0].data.size());
  EXPECT_EQ(10u, sent[1].data.size());
}

TEST_F(MilterClientTest, ProtocolAndConnectionFailuresCloseTheSession) {
  negotiate(0);
  // An unknown reply code.
  filter_says(packet('Z', ""));
  milter_answer a = session_.helo("h");
  EXPECT_EQ(milter_status::failed, a.status);
  EXPECT_NE(std::string::npos, a.error.find("unexpected")) << a.error;
  EXPECT_FALSE(session_.is_open());
  EXPECT_EQ(milter_status::failed, session_.helo("h").status);
}

TEST_F(MilterClientTest, OversizedAndTruncatedPacketsFail) {
  negotiate(0);
  filter_says(be32(milter_session::MAX_PACKET + 1) + "c");
  milter_answer a = session_.helo("h");
  EXPECT_EQ(milter_status::failed, a.status);
  EXPECT_NE(std::string::npos, a.error.find("bad packet length")) << a.error;

  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  milter_session s;
  s.adopt(fds[0]);
  s.set_timeout(std::chrono::milliseconds(2000));
  std::string half = packet(SMFIC_OPTNEG, be32(6)).substr(0, 6);
  ASSERT_EQ(6, write(fds[1], half.data(), half.size()));
  shutdown(fds[1], SHUT_WR);
  a = s.negotiate();
  EXPECT_EQ(milter_status::failed, a.status);
  EXPECT_NE(std::string::npos, a.error.find("closed")) << a.error;
  close(fds[1]);
}

TEST_F(MilterClientTest, TimesOutWhenTheFilterDoesNotAnswer) {
  negotiate(0);
  session_.set_timeout(std::chrono::milliseconds(50));
  milter_answer a = session_.helo("h");
  EXPECT_EQ(milter_status::failed, a.status);
  EXPECT_NE(std::string::npos, a.error.find("timeout")) << a.error;
}

TEST(MilterClientOpen, RejectsBadSocketSpecifications) {
  milter_session s;
  std::string error;
  for (const char *spec : {"inet:0@127.0.0.1", "inet:25", "inet:25@not-an-ip",
                           "inet6:25@127.0.0.1", "tcp:25@127.0.0.1", "unix:"}) {
    EXPECT_FALSE(s.open(spec, &error)) << spec;
    EXPECT_FALSE(error.empty()) << spec;
  }
}

}  // namespace
