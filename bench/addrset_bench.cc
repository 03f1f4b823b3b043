// Lookup cost of the address set next to a plain scan over the same
// networks (addr_prefix_contains on each until one covers the key).
//
// The stored networks are half IPv4, half IPv6, of mixed widths (single
// addresses, byte-aligned networks and a share of widths that the set
// splits into 2, 8 or 16 pieces). Keys are single addresses (width 128):
// hits are addresses inside a stored network, misses lie in ranges no
// network covers (IPv4 200.0.0.0/5, IPv6 3fff::/16), which is the worst
// case for both: the set tries all 16 widths, the scan every network.
//
// Arguments: number of networks, key kind (0 IPv4 hit, 1 IPv4 miss, 2 IPv6
// hit, 3 IPv6 miss). Counters: set_bytes is the set's payload (slot array
// plus one addr_entry per stored entry), heap_bytes what the C library's
// allocator handed out while the set was built (mallinfo2), entries the
// number of stored entries, scan_bytes the array the scan walks.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "addr/addr.h"
#include "addr/addrset.h"

namespace {

constexpr std::size_t KEY_COUNT = 4096;
const char *const KIND_NAMES[] = {"ipv4_hit", "ipv4_miss", "ipv6_hit",
                                  "ipv6_miss"};

struct fixture {
  std::vector<addr_entry> networks;
  addrset *set = nullptr;
  std::size_t set_bytes = 0;
  std::size_t heap_bytes = 0;
  std::vector<addr_entry> keys[4];
};

void clear_past_width(addr_entry *e) {
  for (std::uint32_t bit = e->width; bit < 128; ++bit)
    e->addr[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
}

addr_entry random_ipv4(std::mt19937_64 &random, int first_low, int first_high) {
  addr_entry e{};
  e.addr[10] = e.addr[11] = 0xFF;
  e.addr[12] = static_cast<std::uint8_t>(
      first_low + static_cast<int>(random() % (first_high - first_low + 1)));
  for (int i = 13; i < 16; ++i) e.addr[i] = static_cast<std::uint8_t>(random());
  e.width = 128;
  return e;
}

addr_entry random_ipv6(std::mt19937_64 &random, std::uint8_t first,
                       std::uint8_t first_mask, std::uint8_t second) {
  addr_entry e{};
  for (auto &b : e.addr) b = static_cast<std::uint8_t>(random());
  e.addr[0] = static_cast<std::uint8_t>(first | (e.addr[0] & ~first_mask));
  if (first_mask == 0xFF) e.addr[1] = second;
  e.width = 128;
  return e;
}

// A stored network's width: mostly single addresses and byte-aligned
// networks, some that are split into 2, 8 or 16 pieces.
std::uint32_t ipv4_width(std::mt19937_64 &random) {
  static const std::uint32_t widths[20] = {32, 32, 32, 32, 32, 32, 32,
                                           32, 24, 24, 24, 24, 24, 24,
                                           31, 31, 29, 29, 16, 20};
  return widths[random() % 20] + 96;
}

std::uint32_t ipv6_width(std::mt19937_64 &random) {
  static const std::uint32_t widths[10] = {128, 128, 128, 128, 64,
                                           64,  64,  127, 61,  48};
  return widths[random() % 10];
}

// An address inside the network.
addr_entry inside(const addr_entry &network, std::mt19937_64 &random) {
  addr_entry a = network;
  for (std::uint32_t bit = network.width; bit < 128; ++bit)
    if (random() & 1)
      a.addr[bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
  a.width = 128;
  return a;
}

std::size_t heap_in_use() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

fixture &get_fixture(std::size_t count) {
  static std::map<std::size_t, std::unique_ptr<fixture>> fixtures;
  std::unique_ptr<fixture> &slot = fixtures[count];
  if (slot) return *slot;
  slot = std::make_unique<fixture>();
  fixture &f = *slot;
  std::mt19937_64 random(count);

  f.networks.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    addr_entry e;
    if (i % 2 == 0) {
      e = random_ipv4(random, 1, 126);
      e.width = ipv4_width(random);
    } else {
      e = random_ipv6(random, 0x20, 0xF0, 0);  // 2000::/4
      e.width = ipv6_width(random);
    }
    clear_past_width(&e);
    f.networks.push_back(e);
  }

  std::size_t heap_before = heap_in_use();
  f.set = addrset_new();
  if (f.set == nullptr) std::abort();
  for (const addr_entry &e : f.networks)
    if (!addrset_add(f.set, &e)) std::abort();
  f.heap_bytes = heap_in_use() - heap_before;
  f.set_bytes = sizeof(addrset) + f.set->capacity * sizeof(addr_entry *) +
                f.set->used * sizeof(addr_entry);

  for (std::size_t i = 0; i < KEY_COUNT; ++i) {
    // Networks alternate IPv4, IPv6: pick one of the wanted family.
    std::size_t v4 = 2 * (random() % ((count + 1) / 2));
    std::size_t v6 = 2 * (random() % (count / 2)) + 1;
    f.keys[0].push_back(inside(f.networks[v4], random));
    f.keys[1].push_back(random_ipv4(random, 200, 207));
    f.keys[2].push_back(inside(f.networks[v6], random));
    f.keys[3].push_back(random_ipv6(random, 0x3F, 0xFF, 0xFF));  // 3fff::/16
  }
  return f;
}

void set_counters(benchmark::State &state, const fixture &f, std::size_t hits,
                  std::size_t lookups) {
  state.SetLabel(KIND_NAMES[state.range(1)]);
  state.counters["hit_ratio"] =
      lookups ? static_cast<double>(hits) / static_cast<double>(lookups) : 0;
  state.counters["entries"] = f.set->used;
  state.counters["set_bytes"] = static_cast<double>(f.set_bytes);
  state.counters["heap_bytes"] = static_cast<double>(f.heap_bytes);
  state.counters["scan_bytes"] =
      static_cast<double>(f.networks.size() * sizeof(addr_entry));
}

void BM_addrset_contains(benchmark::State &state) {
  fixture &f = get_fixture(static_cast<std::size_t>(state.range(0)));
  const std::vector<addr_entry> &keys = f.keys[state.range(1)];
  std::size_t i = 0, hits = 0;
  for (auto _ : state) {
    bool found = addrset_contains(f.set, &keys[i++ % KEY_COUNT]);
    hits += found;
    benchmark::DoNotOptimize(found);
  }
  set_counters(state, f, hits, i);
}

bool scan_contains(const std::vector<addr_entry> &networks,
                   const addr_entry &key) {
  for (const addr_entry &n : networks)
    if (addr_prefix_contains(&n, &key)) return true;
  return false;
}

void BM_linear_scan(benchmark::State &state) {
  fixture &f = get_fixture(static_cast<std::size_t>(state.range(0)));
  const std::vector<addr_entry> &keys = f.keys[state.range(1)];
  std::size_t i = 0, hits = 0;
  for (auto _ : state) {
    bool found = scan_contains(f.networks, keys[i++ % KEY_COUNT]);
    hits += found;
    benchmark::DoNotOptimize(found);
  }
  set_counters(state, f, hits, i);
}

void arguments(benchmark::internal::Benchmark *b) {
  for (long count : {10000L, 100000L, 1000000L})
    for (long kind = 0; kind < 4; ++kind) b->Args({count, kind});
}

}  // namespace

BENCHMARK(BM_addrset_contains)->Apply(arguments)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_linear_scan)->Apply(arguments)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
