#include "spf/dns_cache.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "spf/check_deadline.h"

extern "C" {
#include <spf2/spf_dns_rr.h>
}

namespace {

// The layer below the cache: answers every TXT lookup with one record, the
// queried name itself, unless told otherwise for a name, and counts the
// lookups that reach it.
struct fake_answer {
  int herrno = NETDB_SUCCESS;
  int records = 1;
  int ttl = 300;
  std::size_t length = 0;  // record text length; 0: the name itself
};

struct fake_layer {
  SPF_dns_server_t server{};
  std::mutex mutex;
  std::map<std::string, fake_answer> answers;
  std::map<std::string, int> queries;
  std::atomic<int> total{0};
  // When set, a lookup of this name waits for `release` first.
  std::string held;
  std::shared_future<void> release;

  fake_layer() {
    server.lookup = lookup;
    server.name = "fake";
    server.hook = this;  // destroy stays empty: the test owns the layer
  }

  int count(const std::string &name) {
    std::lock_guard<std::mutex> lock(mutex);
    return queries[name];
  }

  static SPF_dns_rr_t *lookup(SPF_dns_server_t *server, const char *domain,
                              ns_type type, int) {
    auto *self = static_cast<fake_layer *>(server->hook);
    fake_answer a;
    std::shared_future<void> wait;
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      if (auto it = self->answers.find(domain); it != self->answers.end())
        a = it->second;
      self->queries[domain]++;
      if (self->held == domain) wait = self->release;
    }
    self->total++;
    if (wait.valid()) wait.wait_for(std::chrono::seconds(10));
    SPF_dns_rr_t *rr = SPF_dns_rr_new_init(server, domain, type, a.ttl, a.herrno);
    std::string text = a.length ? std::string(a.length, 'x') : std::string(domain);
    for (int i = 0; i < a.records; i++) {
      if (SPF_dns_rr_buf_realloc(rr, i, text.size() + 1) != SPF_E_SUCCESS) break;
      std::strcpy(rr->rr[i]->txt, text.c_str());
      rr->num_rr = i + 1;
    }
    return rr;
  }
};

std::atomic<std::int64_t> now{1000};
std::int64_t test_clock() { return now.load(); }

class DnsCacheTest : public ::testing::Test {
 protected:
  void make(dns_cache_limits limits) {
    cache_ = dns_cache_new(&below_.server, 0, limits, test_clock);
    ASSERT_NE(cache_, nullptr);
  }
  void TearDown() override {
    if (cache_) SPF_dns_free(cache_);  // leaves the fake layer alone
  }
  // Looks name up through the cache; returns its text ("" for no record)
  // and the TTL the answer came with.
  std::string lookup(const std::string &name, time_t *ttl = nullptr) {
    SPF_dns_rr_t *rr = SPF_dns_lookup(cache_, name.c_str(), ns_t_txt, 1);
    std::string text = rr->num_rr > 0 ? rr->rr[0]->txt : "";
    if (ttl) *ttl = rr->ttl;
    SPF_dns_rr_free(rr);  // the caller's own copy
    return text;
  }
  fake_layer below_;
  SPF_dns_server_t *cache_ = nullptr;
};

TEST_F(DnsCacheTest, KeepsEachKindOfAnswerForItsTimeAndNoLonger) {
  make(dns_cache_limits{});
  struct {
    const char *name;
    fake_answer answer;
    std::int64_t kept;
  } cases[] = {
      {"ttl.test", {NETDB_SUCCESS, 1, 300}, 300},
      {"short.test", {NETDB_SUCCESS, 1, 2}, 30},          // floor
      {"long.test", {NETDB_SUCCESS, 1, 86400}, 3600},     // cap
      {"empty.test", {NETDB_SUCCESS, 0, 300}, 60},        // no records
      {"nxdomain.test", {HOST_NOT_FOUND, 0, 0}, 60},
      {"nodata.test", {NO_DATA, 0, 0}, 60},
      {"servfail.test", {TRY_AGAIN, 0, 0}, 5},            // errors: seconds
      {"broken.test", {NO_RECOVERY, 0, 0}, 5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    below_.answers[c.name] = c.answer;
    std::int64_t start = now;
    lookup(c.name);
    EXPECT_EQ(below_.count(c.name), 1);
    now = start + c.kept - 1;
    time_t ttl = 0;
    lookup(c.name, &ttl);
    EXPECT_EQ(below_.count(c.name), 1) << "answered from the cache";
    EXPECT_EQ(ttl, 1) << "with the time it has left";
    now = start + c.kept;
    lookup(c.name);
    EXPECT_EQ(below_.count(c.name), 2) << "expired: asked again";
  }
}

TEST_F(DnsCacheTest, AnErrorIsRetriedWithinSecondsAndTheRecoveryKept) {
  make(dns_cache_limits{});
  below_.answers["flap.test"] = {TRY_AGAIN, 0, 0};
  EXPECT_EQ(lookup("flap.test"), "");
  now += 5;
  below_.answers.erase("flap.test");  // the name server is back
  EXPECT_EQ(lookup("flap.test"), "flap.test");
  now += 299;
  EXPECT_EQ(lookup("flap.test"), "flap.test");
  EXPECT_EQ(below_.count("flap.test"), 2);
}

// Over the check's deadline layer (without resolver waits to fit, it only
// refuses lookups once the check's time is up).
TEST_F(DnsCacheTest, AFailureOfACheckOutOfTimeIsNotKept) {
  resolver_wait_control nothing_to_fit{
      [](resolver_wait *, int *) { return false; }, [](resolver_wait) {}};
  SPF_dns_server_t *deadline = deadline_layer_new(&below_.server, 0, nothing_to_fit);
  ASSERT_NE(deadline, nullptr);
  cache_ = dns_cache_new(deadline, 0, dns_cache_limits{}, test_clock);
  ASSERT_NE(cache_, nullptr);
  below_.answers["slow.test"] = {TRY_AGAIN, 0, 0};
  {
    check_deadline in_time(std::chrono::seconds(60));
    EXPECT_EQ(lookup("slow.test"), "");
    EXPECT_EQ(lookup("slow.test"), "");
    EXPECT_EQ(below_.count("slow.test"), 1) << "the name's own failure is kept";
  }
  {
    check_deadline out_of_time(std::chrono::milliseconds(0));
    EXPECT_EQ(lookup("late.test"), "");
    EXPECT_EQ(below_.count("late.test"), 0) << "refused, never asked";
  }
  EXPECT_EQ(lookup("late.test"), "late.test") << "not the name's answer";
  EXPECT_EQ(lookup("late.test"), "late.test");
  EXPECT_EQ(below_.count("late.test"), 1);
}

TEST_F(DnsCacheTest, DropsTheLeastRecentlyUsedAtTheEntryBound) {
  dns_cache_limits limits;
  limits.shards = 1;
  limits.max_entries = 4;
  make(limits);
  for (const char *n : {"a.test", "b.test", "c.test", "d.test"}) lookup(n);
  lookup("a.test");  // now b.test is the least recently used
  lookup("e.test");
  dns_cache_stats stats = dns_cache_stats_of(cache_);
  EXPECT_EQ(stats.entries, 4u);
  EXPECT_EQ(stats.evictions, 1u);
  for (const char *n : {"a.test", "c.test", "d.test", "e.test"}) lookup(n);
  EXPECT_EQ(below_.total, 5) << "the four kept ones were hits";
  lookup("b.test");
  EXPECT_EQ(below_.count("b.test"), 2) << "b.test was dropped";
}

TEST_F(DnsCacheTest, StaysWithinItsMemoryBoundUnderFreshNames) {
  dns_cache_limits limits;
  limits.shards = 4;
  limits.max_bytes = 4 * 8192;
  make(limits);
  for (int i = 0; i < 2000; i++) lookup("n" + std::to_string(i) + ".fresh.test");
  dns_cache_stats stats = dns_cache_stats_of(cache_);
  EXPECT_LE(stats.bytes, limits.max_bytes);
  EXPECT_GT(stats.entries, 10u);
  EXPECT_LT(stats.entries, 200u);
  EXPECT_GE(stats.evictions, 2000u - stats.entries);

  // An answer bigger than an eighth of a shard's share is passed on only.
  below_.answers["big.test"] = {NETDB_SUCCESS, 1, 300, 2000};
  EXPECT_EQ(lookup("big.test").size(), 2000u);
  EXPECT_EQ(lookup("big.test").size(), 2000u);
  EXPECT_EQ(below_.count("big.test"), 2);
}

TEST_F(DnsCacheTest, RefusesUnusableLimits) {
  dns_cache_limits shards3, no_entries, inverted;
  shards3.shards = 3;
  no_entries.max_entries = 0;
  inverted.min_ttl = 7200;
  for (const auto &l : {shards3, no_entries, inverted})
    EXPECT_EQ(dns_cache_new(&below_.server, 0, l, test_clock), nullptr);
}

TEST_F(DnsCacheTest, NoLockIsHeldWhileTheLayerBelowIsAsked) {
  dns_cache_limits limits;
  limits.shards = 1;  // every name shares one lock
  make(limits);
  std::promise<void> release;
  below_.held = "slow.test";
  below_.release = release.get_future().share();
  auto slow = std::async(std::launch::async, [&] { return lookup("slow.test"); });
  while (below_.count("slow.test") == 0) std::this_thread::yield();
  auto fast = std::async(std::launch::async, [&] { return lookup("fast.test"); });
  EXPECT_EQ(fast.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << "a lookup waited for another name's query";
  release.set_value();
  EXPECT_EQ(slow.get(), "slow.test");
  EXPECT_EQ(fast.get(), "fast.test");
}

TEST_F(DnsCacheTest, ManyThreadsGetTheirOwnRightAnswers) {
  dns_cache_limits limits;
  limits.shards = 8;
  limits.max_entries = 64;  // smaller than the names: evictions all along
  make(limits);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3000; i++) {
        std::string name = "n" + std::to_string((i * 7 + t) % 200) + ".test";
        if (lookup(name) != name) wrong++;
        if (i % 500 == 0) now++;  // entries expire while others read them
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(wrong, 0);
  dns_cache_stats stats = dns_cache_stats_of(cache_);
  EXPECT_LE(stats.entries, 64u);
  EXPECT_EQ(stats.hits + stats.misses, 8u * 3000u);
  EXPECT_GT(stats.hits, 0u);
}

}  // namespace
