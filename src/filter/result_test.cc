#include "filter/result.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/config.h"
#include "filter/recipients.h"
#include "fake_syslog.h"
#include "smtp_session.h"

namespace {

TEST(ResultTest, LibraryCodesMapToIndicesAndNames) {
  const struct {
    unsigned code;
    int index;
    const char *name;
  } cases[] = {
      {0, 6, "invalid"},  {1, 3, "neutral"},         {2, 0, "pass"},
      {3, 1, "fail"},     {4, 2, "softfail"},        {5, 9, "none"},
      {6, 7, "temperror"}, {7, 8, "permerror"},      {8, -1, "???"},
      {0xFFFFFFFFu, -1, "???"},
  };
  for (const auto &c : cases) {
    int index = spf_result_index(c.code);
    EXPECT_EQ(index, c.index) << c.code;
    EXPECT_STREQ(result_name(index), c.name) << c.code;
  }
  EXPECT_STREQ(result_name(4), "unknown");
  EXPECT_STREQ(result_name(5), "unknown-mechanisms");
  EXPECT_STREQ(result_name(10), "???");
}

std::string rejection_text(const char *t) {
  char out[REPLY_TEXT_SIZE];
  std::memset(out, 'x', sizeof out);
  build_rejection_text(t, out);
  return out;
}

TEST(RejectionTextTest, EscapesAndLimits) {
  EXPECT_EQ(rejection_text("fail"), "fail");
  EXPECT_EQ(rejection_text(nullptr), "rejected by heronsend");
  EXPECT_EQ(rejection_text("id=a%40b.test"), "id=a@b.test");
  EXPECT_EQ(rejection_text("100% sure %4"), "100%% sure %%4");
  EXPECT_EQ(rejection_text("%%40"), "%%@");
  EXPECT_EQ(rejection_text(""), "");

  // Copying stops once 998 characters are written...
  std::string long_text(1500, 'a');
  EXPECT_EQ(rejection_text(long_text.c_str()), std::string(998, 'a'));
  // ...but a doubled "%" started at 997 completes, giving 999.
  std::string percent = std::string(997, 'a') + "%bcd";
  EXPECT_EQ(rejection_text(percent.c_str()), std::string(997, 'a') + "%%");
  // "%40" collapses to one character, so more of the text fits.
  std::string at;
  for (int i = 0; i < 400; i++) at += "%40";
  EXPECT_EQ(rejection_text(at.c_str()), std::string(400, '@'));
}

class ApplyResultTest : public filter_test {};

TEST_F(ApplyResultTest, OnlyFailIsRefusedAndOnlyWithoutMarkOnly) {
  for (char mark_only : {0, 1}) {
    for (int index = -1; index <= 10; index++) {
      SCOPED_TRACE(std::to_string(index) + (mark_only ? " -m" : ""));
      config.mark_only = mark_only;
      smtp_session s("192.0.2.10");
      ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
      s.cd()->lib->result = SPF_RESULT_FAIL;
      s.cd()->result_index = index;
      s.cd()->mail_from = copy_text("a@fail.test");
      s.cd()->action = ACTION_NONE;
      sfsistat answer = apply_spf_result(&s.ctx);
      if (index == 1 && !mark_only) {
        EXPECT_EQ(answer, SMFIS_REJECT);
        EXPECT_EQ(s.cd()->action, ACTION_REJECT);
        ASSERT_EQ(s.ctx.replies.size(), 1u);
        EXPECT_EQ(s.ctx.replies[0].rcode, "550");
        EXPECT_EQ(s.ctx.replies[0].xcode, "5.7.1");
        EXPECT_EQ(s.ctx.replies[0].message, "fail");
        EXPECT_FALSE(s.cd()->mail_from);
      } else if (index >= 0 && index <= 9) {
        EXPECT_EQ(answer, SMFIS_CONTINUE);
        EXPECT_EQ(s.cd()->action, ACTION_MARK);
        EXPECT_TRUE(s.ctx.replies.empty());
        EXPECT_TRUE(s.cd()->mail_from);
      } else {
        EXPECT_EQ(answer, SMFIS_CONTINUE);
        EXPECT_EQ(s.cd()->action, ACTION_NONE);
      }
    }
  }
}

TEST_F(ApplyResultTest, RefusalIsLoggedWithClientAndResultName) {
  smtp_session s("192.0.2.99");
  ASSERT_EQ(s.connect(), SMFIS_CONTINUE);
  s.cd()->lib->result = SPF_RESULT_FAIL;
  s.cd()->result_index = 1;
  EXPECT_EQ(apply_spf_result(&s.ctx), SMFIS_REJECT);
  EXPECT_TRUE(log_contains(LOG_INFO, "rejecting mail from [192.0.2.99] - fail"));
}

}  // namespace

namespace {

// -k entries: a local part for every domain, or a whole address; any
// letter case; blanks around entries.
TEST(KeptRecipientTest, LocalPartsAndAddresses) {
  const char *list = "postmaster, Abuse ,hostmaster@example.org";
  const struct {
    const char *recipient;
    bool kept;
  } cases[] = {
      {"postmaster@example.net", true},
      {"POSTMASTER@Example.NET", true},
      {"postmaster", true},  // RFC 5321's bare postmaster
      {"abuse@example.org", true},
      {"hostmaster@EXAMPLE.ORG", true},
      {"hostmaster@example.net", false},
      {"postmaster2@example.net", false},
      {"master@example.net", false},
      {"example.org", false},
      {"", false},
      {"a@b@postmaster", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(recipient_is_kept(list, c.recipient), c.kept) << c.recipient;
  EXPECT_FALSE(recipient_is_kept(nullptr, "postmaster"));
}

}  // namespace
