#include "addr/addrset.h"

#include <cstdlib>

void *(*addrset_allocate)(std::size_t count, std::size_t size) = std::calloc;

namespace {

bool fail(int code) {
  addr_error = code;
  return false;
}

// Moves every stored entry into a slot array twice the size, taking the old
// slots in index order. On failure the set keeps its old array.
bool grow(addrset *set) {
  if (set->capacity > UINT32_MAX / 2) return fail(ADDR_OUT_OF_MEMORY);
  std::uint32_t capacity = set->capacity * 2;
  auto **slots = static_cast<addr_entry **>(
      addrset_allocate(capacity, sizeof(addr_entry *)));
  if (slots == nullptr) return fail(ADDR_OUT_OF_MEMORY);
  for (std::uint32_t i = 0; i < set->capacity; ++i) {
    addr_entry *entry = set->slots[i];
    if (entry == nullptr) continue;
    std::uint32_t slot = addrset_probe(slots, capacity, entry);
    if (slots[slot] != nullptr) {  // an entry stored twice
      std::free(slots);
      return fail(ADDR_SHOULD_NOT_HAPPEN);
    }
    slots[slot] = entry;
  }
  std::free(set->slots);
  set->slots = slots;
  set->capacity = capacity;
  return true;
}

// Stores a byte-aligned entry.
bool add_aligned(addrset *set, const addr_entry *entry) {
  std::uint32_t slot = addrset_probe(set->slots, set->capacity, entry);
  if (set->slots[slot] != nullptr) return true;  // already stored

  if (std::uint64_t{set->used} * 4 >= set->capacity) {
    if (!grow(set)) return false;
    slot = addrset_probe(set->slots, set->capacity, entry);
    if (set->slots[slot] != nullptr) return fail(ADDR_SHOULD_NOT_HAPPEN);
  }

  auto *copy =
      static_cast<addr_entry *>(addrset_allocate(1, sizeof(addr_entry)));
  if (copy == nullptr) return fail(ADDR_OUT_OF_MEMORY);
  *copy = *entry;
  set->slots[slot] = copy;
  ++set->used;
  return true;
}

}  // namespace

std::uint32_t addrset_hash(const addr_entry *entry) {
  std::uint32_t h = 5381;
  for (std::uint8_t byte : entry->addr) h = (h * 33) ^ byte;
  return (h * 33) ^ entry->width;
}

std::uint32_t addrset_probe(addr_entry *const *slots, std::uint32_t count,
                            const addr_entry *entry) {
  std::uint32_t i = addrset_hash(entry) % count;
  while (slots[i] != nullptr && !(*slots[i] == *entry))
    i = (i + 1 == count) ? 0 : i + 1;
  return i;
}

addrset *addrset_new() {
  auto *set = static_cast<addrset *>(addrset_allocate(1, sizeof(addrset)));
  if (set == nullptr) {
    addr_error = ADDR_OUT_OF_MEMORY;
    return nullptr;
  }
  set->slots = static_cast<addr_entry **>(
      addrset_allocate(ADDRSET_INITIAL_CAPACITY, sizeof *set->slots));
  if (set->slots == nullptr) {
    std::free(set);
    addr_error = ADDR_OUT_OF_MEMORY;
    return nullptr;
  }
  set->capacity = ADDRSET_INITIAL_CAPACITY;
  set->used = 0;
  return set;
}

bool addrset_add(addrset *set, const addr_entry *entry) {
  std::uint32_t w = entry->width;
  // Entries from addr_parse never exceed 128; refusing wider ones keeps the
  // split below inside the 16 address bytes.
  if (w > 128) return fail(ADDR_WIDTH_OUT_OF_BOUNDS);
  std::uint32_t k = w % 8;
  if (k == 0) return add_aligned(set, entry);

  // Split into the halves of width w + 1: bit w set (upper) and cleared
  // (lower). Recursing down to the next multiple of 8 stores 2^(8-k)
  // entries, in descending order of byte w / 8.
  addr_entry upper = *entry;
  addr_entry lower = *entry;
  upper.addr[w / 8] |= static_cast<std::uint8_t>(~prefix_mask[k]);
  lower.addr[w / 8] &= prefix_mask[k];
  upper.width = lower.width = w + 1;
  if (!addrset_add(set, &upper)) return false;
  return addrset_add(set, &lower);
}

bool addrset_contains(const addrset *set, const addr_entry *key) {
  if (key->width < 8 || key->width > 128) return false;
  addr_entry probe_key = *key;
  for (;;) {
    std::uint32_t slot = addrset_probe(set->slots, set->capacity, &probe_key);
    if (set->slots[slot] != nullptr) return true;
    if (probe_key.width < 16) return false;
    probe_key.addr[probe_key.width / 8 - 1] = 0;
    probe_key.width -= 8;
  }
}

void addrset_clear(addrset *set) {
  for (std::uint32_t i = 0; i < set->capacity; ++i) {
    if (set->slots[i] == nullptr) continue;
    std::free(set->slots[i]);
    set->slots[i] = nullptr;
  }
  set->used = 0;
}

void addrset_free(addrset *set) {
  for (std::uint32_t i = 0; i < set->capacity; ++i)
    if (set->slots[i] != nullptr) std::free(set->slots[i]);
  std::free(set->slots);
  std::free(set);
}
