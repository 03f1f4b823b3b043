// Address set: a hash set of addr_entry values with longest-prefix lookup.
//
// The allowlist's networks are stored only at byte-aligned widths (0, 8,
// ... 128): a network of any other width is split, when added, into the
// byte-aligned networks that make it up. A lookup then tries the key at its
// own width and at each shorter byte-aligned width in turn, at most 16
// exact-match searches, instead of scanning every network.
//
// Open addressing with linear probing over a slot array that starts with
// 10000 slots and doubles whenever a quarter of it would be used, so every
// search ends at an empty slot soon. Each stored entry is a separate
// allocation owned by the set; growth moves references, never entries.
//
// The set is filled on one thread and only read afterwards: addrset_contains
// may run on any number of threads at once, the other operations must not
// run while it is searched. Failures are reported through the result and
// addr_error (1 out of memory, 9 a broken invariant); nothing is logged.

#ifndef HERONSEND_ADDR_ADDRSET_H_
#define HERONSEND_ADDR_ADDRSET_H_

#include <cstddef>
#include <cstdint>

#include "addr/addr.h"

struct addrset {
  std::uint32_t capacity;  // number of slots
  std::uint32_t used;      // number of stored entries, at most capacity / 4
  addr_entry **slots;      // each null or a stored entry
};

constexpr std::uint32_t ADDRSET_INITIAL_CAPACITY = 10000;

// The XOR form of Bernstein's djb2 hash over the 16 address bytes and then
// the whole 32-bit width, on wrapping unsigned 32-bit arithmetic.
std::uint32_t addrset_hash(const addr_entry *entry);

// The index of the slot among slots[0..count) where an entry equal to
// *entry is, or the first empty one where it would go, searching from
// hash mod count onwards (wrapping). The array must have an empty slot or
// hold the entry.
std::uint32_t addrset_probe(addr_entry *const *slots, std::uint32_t count,
                            const addr_entry *entry);

// A new empty set of ADDRSET_INITIAL_CAPACITY slots, or null with
// addr_error 1.
addrset *addrset_new();

// Stores a copy of *entry, split into byte-aligned pieces if its width is
// not a multiple of 8 (pieces added in descending order of the split
// byte). True if it (each piece) is stored or already was. False with
// addr_error set otherwise: 1 out of memory, 9 a broken invariant, 3 a
// width over 128; pieces stored before the failure stay.
bool addrset_add(addrset *set, const addr_entry *entry);

// True if a stored entry covers the key: the key is searched at its width
// and then at each shorter multiple of 8 down to 8, with the bytes past each
// width zeroed. Keys are meant to have byte-aligned widths (128 for a single
// address); a width below 8 or over 128 finds nothing, and so does any
// other width that is not a multiple of 8. Never changes the set or the key.
bool addrset_contains(const addrset *set, const addr_entry *key);

// Releases every stored entry; the set is empty, its slot array stays.
void addrset_clear(addrset *set);

// Releases the stored entries, the slot array and the set.
void addrset_free(addrset *set);

// Test seam: every allocation of the set goes through this function, which
// is std::calloc unless a test replaces it to simulate memory exhaustion.
// Memory is released with std::free.
extern void *(*addrset_allocate)(std::size_t count, std::size_t size);

#endif  // HERONSEND_ADDR_ADDRSET_H_
