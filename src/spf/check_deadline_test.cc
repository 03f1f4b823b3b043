#include "spf/check_deadline.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <thread>
#include <vector>

extern "C" {
#include <spf2/spf_dns_rr.h>
}

namespace {

using std::chrono::milliseconds;

TEST(CheckDeadlineTest, ResolverWaitFitsTheTimeLeft) {
  const struct {
    resolver_wait configured;
    int servers;
    long left_ms;
    resolver_wait fitted;
  } cases[] = {
      {{5, 2}, 1, 25000, {5, 2}},  // the full 10 s fit
      {{5, 2}, 1, 10000, {5, 2}},
      {{5, 2}, 1, 9999, {4, 2}},   // the tries stay, each try is shorter
      {{5, 2}, 1, 3000, {1, 2}},
      {{5, 2}, 1, 1999, {1, 1}},   // then fewer tries
      {{5, 2}, 1, 1000, {1, 1}},
      {{5, 2}, 1, 999, {0, 0}},    // not one second left: no query
      {{5, 2}, 1, -5, {0, 0}},
      {{5, 2}, 2, 20000, {5, 2}},  // 2 * (5 + 10/2)
      {{5, 2}, 2, 19000, {4, 2}},
      {{2, 1}, 3, 5000, {2, 1}},   // 2 + 4/3 + 8/3 = 5
      {{2, 1}, 3, 4999, {1, 1}},   // 1 + at least 1 + 4/3 = 3
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.configured.timeout) + "x" +
                 std::to_string(c.configured.tries) + ", " +
                 std::to_string(c.servers) + " servers, " +
                 std::to_string(c.left_ms) + " ms");
    resolver_wait w = fit_resolver_wait(c.configured, c.servers, milliseconds(c.left_ms));
    EXPECT_EQ(w.timeout, c.fitted.timeout);
    EXPECT_EQ(w.tries, c.fitted.tries);
  }
  EXPECT_EQ(resolver_wait_seconds({5, 2}, 1), 10);
  EXPECT_EQ(resolver_wait_seconds({5, 2}, 3), 28);  // (5 + 3 + 6) * 2
}

// Below the deadline layer: every lookup fails as a timeout would, after
// `takes`; the waits the layer sets are recorded.
std::vector<resolver_wait> waits_set;
resolver_wait configured_wait{5, 2};
milliseconds takes{0};
int lookups = 0;

bool fake_get(resolver_wait *w, int *servers) {
  *w = configured_wait;
  *servers = 1;
  return true;
}
void fake_set(resolver_wait w) { waits_set.push_back(w); }

SPF_dns_rr_t *timing_out(SPF_dns_server_t *server, const char *domain,
                         ns_type type, int) {
  lookups++;
  std::this_thread::sleep_for(takes);
  return SPF_dns_rr_new_init(server, domain, type, 0, TRY_AGAIN);
}

class DeadlineLayerTest : public testing::Test {
 protected:
  void SetUp() override {
    waits_set.clear();
    lookups = 0;
    takes = milliseconds(0);
    below_.lookup = timing_out;
    below_.name = "fake";
    layer_ = deadline_layer_new(&below_, 0, {fake_get, fake_set});
    ASSERT_NE(layer_, nullptr);
  }
  void TearDown() override {
    layer_->layer_below = nullptr;  // below_ is the test's
    SPF_dns_free(layer_);
  }
  int herrno_of(const char *name) {
    SPF_dns_rr_t *rr = SPF_dns_lookup(layer_, name, ns_t_a, 1);
    int e = rr ? rr->herrno : -1;
    if (rr) SPF_dns_rr_free(rr);
    return e;
  }
  SPF_dns_server_t below_{};
  SPF_dns_server_t *layer_ = nullptr;
};

TEST_F(DeadlineLayerTest, OutsideACheckAndWithTimeEnoughNothingChanges) {
  EXPECT_EQ(herrno_of("a.test"), TRY_AGAIN);
  {
    check_deadline d(std::chrono::seconds(60));
    EXPECT_EQ(herrno_of("b.test"), TRY_AGAIN);
    EXPECT_FALSE(d.expired()) << "a quick failure is the name server's own";
    EXPECT_FALSE(check_time_is_up());
  }
  EXPECT_EQ(lookups, 2);
  EXPECT_TRUE(waits_set.empty());
}

TEST_F(DeadlineLayerTest, PastTheDeadlineNoQueryIsSent) {
  check_deadline d(milliseconds(0));
  EXPECT_EQ(herrno_of("a.test"), TRY_AGAIN);
  EXPECT_EQ(lookups, 0);
  EXPECT_TRUE(d.expired());
  EXPECT_TRUE(check_time_is_up());
}

TEST_F(DeadlineLayerTest, AQueryInFlightEndsByTheDeadline) {
  takes = milliseconds(600);  // more than half the fitted second
  {
    check_deadline d(milliseconds(1500));
    EXPECT_EQ(herrno_of("a.test"), TRY_AGAIN);
    EXPECT_TRUE(d.expired()) << "timed out with a shortened wait";
    EXPECT_EQ(herrno_of("b.test"), TRY_AGAIN);
    EXPECT_EQ(lookups, 1) << "the rest of the check is refused at once";
  }
  ASSERT_EQ(waits_set.size(), 2u);
  EXPECT_EQ(waits_set[0], (resolver_wait{1, 1}));
  EXPECT_EQ(waits_set[1], resolver_wait{}) << "resolv.conf's waits again";
  EXPECT_FALSE(check_time_is_up()) << "the next check starts afresh";
}

}  // namespace
