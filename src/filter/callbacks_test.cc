#include "filter/callbacks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "fake_syslog.h"
#include "smtp_session.h"

namespace {

using std::chrono::milliseconds;

class CallbacksTest : public filter_test {
 protected:
  // Another test's daemon run may have left the gate closed.
  void SetUp() override {
    filter_test::SetUp();
    open_callbacks();
  }
  void TearDown() override {
    open_callbacks();
    filter_test::TearDown();
  }
  static sfsistat mail(smtp_session &s, const char *sender) {
    std::string copy = sender;
    char *argv[] = {copy.data(), nullptr};
    return milter_envfrom(&s.ctx, argv);
  }
};

TEST_F(CallbacksTest, ShutdownWaitsForARunningCallback) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(milter_connect(&s.ctx, s.host_name.data(),
                           reinterpret_cast<_SOCK_ADDR *>(&s.address)),
            SMFIS_CONTINUE);
  std::promise<void> inside, release;
  std::shared_future<void> released = release.get_future().share();
  s.ctx.on_getsymval = [&](const std::string &name) {
    if (name == "{auth_type}") {
      inside.set_value();
      released.wait();
    }
  };
  auto answer = std::async(std::launch::async,
                           [&] { return mail(s, "<a@fail.test>"); });
  inside.get_future().wait();

  EXPECT_FALSE(close_callbacks(milliseconds(50)))
      << "a callback is still inside its body";
  release.set_value();
  EXPECT_TRUE(close_callbacks(milliseconds(5000)));
  EXPECT_EQ(answer.get(), SMFIS_REJECT) << "the running one finishes its work";
}

TEST_F(CallbacksTest, AfterShutdownCallbacksLeaveTheSharedStateAlone) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(milter_connect(&s.ctx, s.host_name.data(),
                           reinterpret_cast<_SOCK_ADDR *>(&s.address)),
            SMFIS_CONTINUE);
  char helo[] = "h.example";
  ASSERT_EQ(milter_helo(&s.ctx, helo), SMFIS_CONTINUE);
  ASSERT_EQ(mail(s, "<a@pass.test>"), SMFIS_CONTINUE);
  ASSERT_TRUE(close_callbacks(milliseconds(1000)));

  // A new connection is let through without a record.
  smtp_session late("192.0.2.11");
  EXPECT_EQ(milter_connect(&late.ctx, late.host_name.data(),
                           reinterpret_cast<_SOCK_ADDR *>(&late.address)),
            SMFIS_ACCEPT);
  EXPECT_EQ(late.cd(), nullptr);
  // The open one gets no more checks, no header...
  EXPECT_EQ(mail(s, "<b@fail.test>"), SMFIS_ACCEPT);
  EXPECT_EQ(milter_data(&s.ctx), SMFIS_CONTINUE);
  EXPECT_EQ(milter_eom(&s.ctx), SMFIS_CONTINUE);
  EXPECT_TRUE(s.inserted_headers().empty());
  // ...but abort and close still release its texts and its record.
  EXPECT_EQ(milter_abort(&s.ctx), SMFIS_CONTINUE);
  EXPECT_FALSE(s.cd()->mail_from);
  EXPECT_EQ(milter_close(&s.ctx), SMFIS_CONTINUE);
  s.closed = true;
  EXPECT_EQ(s.cd(), nullptr);
  late.closed = true;
}

TEST_F(CallbacksTest, DrainWaitsForOpenConnectionsToClose) {
  open_callbacks();
  smtp_session s("192.0.2.10");
  ASSERT_EQ(milter_connect(&s.ctx, s.host_name.data(),
                           reinterpret_cast<_SOCK_ADDR *>(&s.address)),
            SMFIS_CONTINUE);
  // A connection accepted without a record is not waited for.
  smtp_session unknown("192.0.2.11");
  EXPECT_EQ(milter_connect(&unknown.ctx, unknown.host_name.data(), nullptr),
            SMFIS_ACCEPT);
  EXPECT_EQ(milter_close(&unknown.ctx), SMFIS_CONTINUE);
  unknown.closed = true;
  EXPECT_EQ(open_connections(), 1);
  EXPECT_FALSE(drain_connections(milliseconds(30)));
  // While draining, mail is still judged.
  EXPECT_EQ(mail(s, "<a@fail.test>"), SMFIS_REJECT);
  EXPECT_EQ(milter_close(&s.ctx), SMFIS_CONTINUE);
  s.closed = true;
  EXPECT_EQ(open_connections(), 0);
  EXPECT_TRUE(drain_connections(milliseconds(30)));
}

TEST_F(CallbacksTest, AnExceptionIsTurnedIntoAcceptance) {
  smtp_session s("192.0.2.10");
  ASSERT_EQ(milter_connect(&s.ctx, s.host_name.data(),
                           reinterpret_cast<_SOCK_ADDR *>(&s.address)),
            SMFIS_CONTINUE);
  s.ctx.on_getsymval = [](const std::string &) {
    throw std::runtime_error("unexpected");
  };
  EXPECT_EQ(mail(s, "<a@fail.test>"), SMFIS_ACCEPT);
  EXPECT_TRUE(log_contains(LOG_ERR, "spf_envfrom failed unexpectedly - accepting"));
  EXPECT_TRUE(close_callbacks(milliseconds(100))) << "the count is balanced";
}

}  // namespace
