#include "addr/addrset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct set_deleter {
  void operator()(addrset *set) const noexcept { addrset_free(set); }
};
using unique_set = std::unique_ptr<addrset, set_deleter>;

addr_entry parsed(const char *text) {
  addr_entry e;
  EXPECT_TRUE(addr_parse(text, &e)) << text;
  return e;
}

// The key of a single client address (width 128).
addr_entry key(const char *text) {
  addr_entry e = parsed(text);
  EXPECT_EQ(e.width, 128u) << text;
  return e;
}

std::string format(const addr_entry &e) {
  char buffer[100];
  return addr_format(&e, buffer, sizeof buffer);
}

// The texts of the stored entries, in slot order.
std::vector<std::string> stored(const addrset *set) {
  std::vector<std::string> out;
  for (std::uint32_t i = 0; i < set->capacity; ++i)
    if (set->slots[i] != nullptr) out.push_back(format(*set->slots[i]));
  return out;
}

class AddrsetTest : public testing::Test {
 protected:
  void SetUp() override {
    set_.reset(addrset_new());
    ASSERT_NE(set_, nullptr);
  }
  void TearDown() override { addrset_allocate = std::calloc; }
  void add(const char *text) {
    addr_entry e = parsed(text);
    ASSERT_TRUE(addrset_add(set_.get(), &e)) << text;
  }
  bool contains(const char *text) {
    addr_entry k = key(text);
    return addrset_contains(set_.get(), &k);
  }
  unique_set set_;
};

TEST_F(AddrsetTest, NewSet) {
  EXPECT_EQ(set_->capacity, 10000u);
  EXPECT_EQ(set_->used, 0u);
  EXPECT_FALSE(contains("10.0.0.1")) << "an empty set finds nothing";
  EXPECT_FALSE(contains("::1"));
}

TEST_F(AddrsetTest, HashOfTheWorkedExample) {
  addr_entry e = parsed("10.0.0.0/8");
  EXPECT_EQ(addrset_hash(&e), 477433511u);
  EXPECT_EQ(addrset_probe(set_->slots, set_->capacity, &e), 3511u);
  add("10.0.0.0/8");
  ASSERT_NE(set_->slots[3511], nullptr);
  EXPECT_EQ(*set_->slots[3511], e);
}

TEST_F(AddrsetTest, ProbeWrapsAroundToSlotZero) {
  addr_entry e = parsed("10.0.0.0/8");
  std::vector<addr_entry *> slots(4, nullptr);
  addr_entry other = parsed("192.0.2.1");
  std::uint32_t start = addrset_hash(&e) % 4;  // 3
  ASSERT_EQ(start, 3u);
  slots[3] = &other;
  EXPECT_EQ(addrset_probe(slots.data(), 4, &e), 0u);
  slots[0] = &e;
  EXPECT_EQ(addrset_probe(slots.data(), 4, &e), 0u) << "finds its equal";
}

TEST_F(AddrsetTest, LongestPrefixLookup) {
  add("10.0.0.0/8");
  EXPECT_TRUE(contains("10.1.2.3"));
  EXPECT_TRUE(contains("10.0.0.0"));
  EXPECT_TRUE(contains("10.255.255.255"));
  EXPECT_FALSE(contains("11.0.0.1"));
  EXPECT_FALSE(contains("9.255.255.255"));
  add("2001:db8::/32");
  EXPECT_TRUE(contains("2001:db8:ffff:1::7"));
  EXPECT_FALSE(contains("2001:db9::1"));
  EXPECT_TRUE(contains("::ffff:a01:203")) << "the IPv4-mapped form of 10.1.2.3";
}

TEST_F(AddrsetTest, KeyAndSetAreUnchangedByLookup) {
  add("10.0.0.0/8");
  addr_entry k = key("10.1.2.3");
  addr_entry before = k;
  EXPECT_TRUE(addrset_contains(set_.get(), &k));
  EXPECT_EQ(k, before);
  EXPECT_EQ(set_->used, 1u);
}

TEST_F(AddrsetTest, SplitSlash9Into128Entries) {
  add("10.0.0.0/9");
  EXPECT_EQ(set_->used, 128u);
  std::vector<std::string> texts = stored(set_.get());
  ASSERT_EQ(texts.size(), 128u);
  for (int second = 0; second < 128; ++second) {
    std::string text = "10." + std::to_string(second) + ".0.0/16";
    EXPECT_NE(std::find(texts.begin(), texts.end(), text), texts.end()) << text;
  }
  EXPECT_TRUE(contains("10.127.255.255"));
  EXPECT_TRUE(contains("10.0.0.0"));
  EXPECT_FALSE(contains("10.128.0.0"));
}

// Splitting adds the pieces in descending order of the split byte: with
// room for only three entries, the first three are stored and stay.
TEST_F(AddrsetTest, SplitSlash25InDescendingOrder) {
  static int entries_left;
  entries_left = 3;
  addrset_allocate = [](std::size_t count, std::size_t size) -> void * {
    if (entries_left-- <= 0) return nullptr;
    return std::calloc(count, size);
  };
  addr_entry e = parsed("192.0.2.128/25");
  addr_error = 0;
  EXPECT_FALSE(addrset_add(set_.get(), &e));
  EXPECT_EQ(addr_error, 1);
  EXPECT_EQ(set_->used, 3u);
  EXPECT_TRUE(contains("192.0.2.255"));
  EXPECT_TRUE(contains("192.0.2.254"));
  EXPECT_TRUE(contains("192.0.2.253"));
  EXPECT_FALSE(contains("192.0.2.252"));

  addrset_allocate = std::calloc;
  EXPECT_TRUE(addrset_add(set_.get(), &e));
  EXPECT_EQ(set_->used, 128u) << "the stored pieces are not added twice";
  for (int last = 0; last < 256; ++last) {
    std::string text = "192.0.2." + std::to_string(last);
    EXPECT_EQ(contains(text.c_str()), last >= 128) << text;
  }
}

TEST_F(AddrsetTest, AddingTwiceStoresOnce) {
  add("192.0.2.0/24");
  add("192.0.2.0/24");
  EXPECT_EQ(set_->used, 1u);
  add("10.0.0.0/9");
  add("10.0.0.0/9");
  EXPECT_EQ(set_->used, 129u);
  add("10.0.0.0/16");  // already one of the pieces
  EXPECT_EQ(set_->used, 129u);
}

TEST_F(AddrsetTest, GrowsAtThe2501stEntry) {
  std::vector<addr_entry> added;
  for (int i = 0; i < 2501; ++i) {
    std::string text = "10." + std::to_string(i / 256) + "." +
                       std::to_string(i % 256) + ".1";
    added.push_back(parsed(text.c_str()));
    if (i == 2500) {
      EXPECT_EQ(set_->used, 2500u);
      EXPECT_EQ(set_->capacity, 10000u) << "no growth up to 2500 entries";
    }
    ASSERT_TRUE(addrset_add(set_.get(), &added.back()));
  }
  EXPECT_EQ(set_->capacity, 20000u);
  EXPECT_EQ(set_->used, 2501u);
  for (const addr_entry &e : added)
    EXPECT_TRUE(addrset_contains(set_.get(), &e)) << format(e);
  EXPECT_FALSE(contains("10.9.197.1"));  // the 2502nd, never added
}

TEST_F(AddrsetTest, WidthZeroIsStoredButNeverFound) {
  add("::");
  EXPECT_EQ(set_->used, 1u);
  EXPECT_FALSE(contains("::1"));
  EXPECT_FALSE(contains("192.0.2.1"));
  EXPECT_FALSE(contains("ffff::1"));
}

TEST_F(AddrsetTest, WidthOneIsStoredAs128EntriesOfWidth8) {
  add("8000::/1");
  EXPECT_EQ(set_->used, 128u);
  for (const std::string &text : stored(set_.get()))
    EXPECT_EQ(text.substr(text.size() - 2), "/8") << text;
  EXPECT_TRUE(contains("8000::1"));
  EXPECT_TRUE(contains("ffff:ffff::1"));
  EXPECT_TRUE(contains("a0b1::5"));
  EXPECT_FALSE(contains("7fff:ffff::1"));
  EXPECT_FALSE(contains("192.0.2.1"));
}

TEST_F(AddrsetTest, KeysOfOtherWidths) {
  add("10.0.0.0/8");
  addr_entry k = key("10.1.2.3");
  for (std::uint32_t w : {0u, 1u, 7u}) {
    k.width = w;
    EXPECT_FALSE(addrset_contains(set_.get(), &k)) << w;
  }
  addr_entry network = parsed("10.0.0.0/8");
  EXPECT_TRUE(addrset_contains(set_.get(), &network));
  network.width = 103;
  EXPECT_FALSE(addrset_contains(set_.get(), &network)) << "never aligned";
  network.width = 136;
  EXPECT_FALSE(addrset_contains(set_.get(), &network));
  network.width = UINT32_MAX;
  EXPECT_FALSE(addrset_contains(set_.get(), &network));
}

TEST_F(AddrsetTest, WidthOver128IsRefused) {
  addr_entry e = parsed("::1");
  e.width = 129;
  addr_error = 0;
  EXPECT_FALSE(addrset_add(set_.get(), &e));
  EXPECT_EQ(addr_error, 3);
  EXPECT_EQ(set_->used, 0u);
}

TEST_F(AddrsetTest, ClearEmptiesAndKeepsCapacity) {
  for (int i = 0; i < 3000; ++i) {
    std::string text = "2001:db8::" + std::to_string(i);
    add(text.c_str());
  }
  ASSERT_EQ(set_->capacity, 20000u);
  addrset_clear(set_.get());
  EXPECT_EQ(set_->used, 0u);
  EXPECT_EQ(set_->capacity, 20000u);
  EXPECT_TRUE(stored(set_.get()).empty());
  EXPECT_FALSE(contains("2001:db8::1"));
  add("2001:db8::1");
  EXPECT_TRUE(contains("2001:db8::1"));
}

// The set answers like a scan over every network with addr_prefix_contains
// (networks of width 8 and more; width 0 is never found by the set).
TEST_F(AddrsetTest, AgreesWithALinearScan) {
  std::mt19937 random(7);
  std::vector<addr_entry> networks;
  auto random_entry = [&](bool v4) {
    addr_entry e{};
    if (v4) {
      e.addr[10] = e.addr[11] = 0xFF;
      // A small space so that keys often fall inside networks.
      e.addr[12] = static_cast<std::uint8_t>(10 + random() % 4);
      for (int i = 13; i < 16; ++i)
        e.addr[i] = static_cast<std::uint8_t>(random() % 4);
    } else {
      e.addr[0] = 0x20;
      e.addr[1] = static_cast<std::uint8_t>(random() % 3);
      for (int i = 2; i < 16; ++i)
        e.addr[i] = static_cast<std::uint8_t>(random() % 3);
    }
    e.width = 128;
    return e;
  };
  for (int i = 0; i < 300; ++i) {
    bool v4 = random() % 2 == 0;
    addr_entry e = random_entry(v4);
    e.width = v4 ? 104 + random() % 25 : 8 + random() % 121;
    // Clear the bits past the width, as addr_parse delivers networks.
    for (std::uint32_t bit = e.width; bit < 128; ++bit)
      e.addr[bit / 8] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
    networks.push_back(e);
    ASSERT_TRUE(addrset_add(set_.get(), &e));
  }
  for (int i = 0; i < 20000; ++i) {
    addr_entry k = random_entry(random() % 2 == 0);
    bool scan = false;
    for (const addr_entry &n : networks) scan |= addr_prefix_contains(&n, &k);
    ASSERT_EQ(addrset_contains(set_.get(), &k), scan) << format(k);
  }
}

TEST(AddrsetAllocationTest, NewFailsCleanly) {
  for (int fail_at = 0; fail_at < 2; ++fail_at) {
    static int calls_left;
    calls_left = fail_at;
    addrset_allocate = [](std::size_t count, std::size_t size) -> void * {
      if (calls_left-- <= 0) return nullptr;
      return std::calloc(count, size);
    };
    addr_error = 0;
    EXPECT_EQ(addrset_new(), nullptr) << fail_at;
    EXPECT_EQ(addr_error, 1);
  }
  addrset_allocate = std::calloc;
}

TEST_F(AddrsetTest, FailedGrowthLeavesTheSetUnchanged) {
  for (int i = 0; i < 2500; ++i) {
    std::string text = "2001:db8::" + std::to_string(i);
    add(text.c_str());
  }
  addrset_allocate = [](std::size_t count, std::size_t size) -> void * {
    return count > 1 ? nullptr : std::calloc(count, size);
  };
  addr_entry e = key("192.0.2.1");
  addr_error = 0;
  EXPECT_FALSE(addrset_add(set_.get(), &e));
  EXPECT_EQ(addr_error, 1);
  EXPECT_EQ(set_->capacity, 10000u);
  EXPECT_EQ(set_->used, 2500u);
  EXPECT_FALSE(contains("192.0.2.1"));
  EXPECT_TRUE(contains("2001:db8::2499"));
  addrset_allocate = std::calloc;
  EXPECT_TRUE(addrset_add(set_.get(), &e));
  EXPECT_EQ(set_->capacity, 20000u);
}

TEST_F(AddrsetTest, FailedEntryCopyLeavesTheSlotEmpty) {
  addrset_allocate = [](std::size_t, std::size_t) -> void * { return nullptr; };
  addr_entry e = key("192.0.2.1");
  addr_error = 0;
  EXPECT_FALSE(addrset_add(set_.get(), &e));
  EXPECT_EQ(addr_error, 1);
  EXPECT_EQ(set_->used, 0u);
  EXPECT_TRUE(stored(set_.get()).empty());
}

addr_entry *copy_of(const addr_entry &e) {
  auto *copy = static_cast<addr_entry *>(std::calloc(1, sizeof e));
  *copy = e;
  return copy;
}

// The code-9 guards: growth that meets an entry stored twice keeps the old
// array; an entry stored where the search cannot find it turns up again
// after growth.
TEST_F(AddrsetTest, GrowthGuardsAgainstBrokenInvariants) {
  addr_entry twice = key("192.0.2.1");
  set_->slots[0] = copy_of(twice);
  set_->slots[1] = copy_of(twice);
  set_->used = 2500;
  addr_entry **old_slots = set_->slots;
  addr_entry e = key("192.0.2.2");
  addr_error = 0;
  EXPECT_FALSE(addrset_add(set_.get(), &e));
  EXPECT_EQ(addr_error, 9);
  EXPECT_EQ(set_->slots, old_slots);
  EXPECT_EQ(set_->capacity, 10000u);
  addrset_clear(set_.get());

  addr_entry hidden = key("192.0.2.3");
  std::uint32_t home = addrset_hash(&hidden) % set_->capacity;
  set_->slots[(home + 2) % set_->capacity] = copy_of(hidden);
  set_->used = 2500;
  addr_error = 0;
  EXPECT_FALSE(addrset_add(set_.get(), &hidden));
  EXPECT_EQ(addr_error, 9);
  EXPECT_EQ(set_->capacity, 20000u);
}

}  // namespace
