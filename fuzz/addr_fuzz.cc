// Fuzz target for address entries and the address set.
//
// The input is read as allowlist lines. For every line that parses:
// - the entry has no bit set past its width, and a width of at most 128;
// - its text is at most 43 characters and parses back to the same entry.
// The first few parsed networks are added to a set; then the set must agree
// with a plain scan (addr_prefix_contains over every network but those of
// width 0) for the first and last address of every network and for a few
// addresses taken from the input, so a stored network contains its own
// addresses.
// For lines whose digit runs are short enough for sscanf not to overflow,
// addr_parse must also agree, result and error code, with a parser built
// directly on the C library's sscanf formats.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "addr/addr.h"
#include "addr/addrset.h"

namespace {

constexpr int MAX_STORED = 4;

void check(bool condition, const char *what, const std::string &line) {
  if (condition) return;
  std::fprintf(stderr, "addr_fuzz: %s for [%s]\n", what, line.c_str());
  std::abort();
}

// The reference: the number reading left to sscanf itself.
bool reference_groups(const char *text, addr_entry *e, int *code) {
  static const char *const formats[] = {"%x:%x:%x:%x:%x:%x:%x:%x",
                                        "%x:%x:%x:%x:%x:%x:%x",
                                        "%x:%x:%x:%x:%x:%x",
                                        "%x:%x:%x:%x:%x",
                                        "%x:%x:%x:%x",
                                        "%x:%x:%x",
                                        "%x:%x",
                                        "%x"};
  unsigned v[8] = {};
  int n = 0;
  for (int i = 0; i < 8 && n == 0; ++i)
    if (std::sscanf(text, formats[i], &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &v[6], &v[7]) == 8 - i)
      n = 8 - i;
  for (unsigned g : v)
    if (g > 0xFFFF) return (*code = 2, false);
  for (int i = 0; i < 8; ++i) {
    e->addr[2 * i] = static_cast<std::uint8_t>(v[i] >> 8);
    e->addr[2 * i + 1] = static_cast<std::uint8_t>(v[i]);
  }
  e->width = 16 * n;
  return true;
}

bool reference_parse(const char *text, addr_entry *e, int *code) {
  std::memset(e->addr, 0, 16);
  int width = 0;
  const char *slash = std::strchr(text, '/');
  if (std::strchr(text, ':') != nullptr) {
    const char *gap = std::strstr(text, "::");
    if (gap != nullptr) {
      addr_entry left, right;
      if (!reference_groups(text, &left, code)) return false;
      if (!reference_groups(gap + 2, &right, code)) return false;
      if (left.width + right.width >= 112) return (*code = 4, false);
      std::memcpy(e->addr, left.addr, left.width / 8);
      std::memcpy(e->addr + 16 - right.width / 8, right.addr, right.width / 8);
      width = right.width > 0 ? 128 : static_cast<int>(left.width);
    } else {
      if (!reference_groups(text, e, code)) return false;
      width = static_cast<int>(e->width);
    }
    if (slash != nullptr && std::sscanf(slash, "/%d", &width) != 1)
      return (*code = 5, false);
    if (width < 0 || width > 128) return (*code = 3, false);
  } else {
    e->addr[10] = e->addr[11] = 0xFF;
    int c[4] = {0, 0, 0, 0};
    if (std::sscanf(text, "%d.%d.%d.%d", &c[0], &c[1], &c[2], &c[3]) == 4)
      width = 32;
    else if (std::sscanf(text, "%d.%d.%d", &c[0], &c[1], &c[2]) == 3)
      width = 24;
    else if (std::sscanf(text, "%d.%d", &c[0], &c[1]) == 2)
      width = 16;
    else if (std::sscanf(text, "%d", &c[0]) == 1)
      width = 8;
    else
      return (*code = 6, false);
    if (slash != nullptr && std::sscanf(slash, "/%d", &width) != 1)
      return (*code = 5, false);
    for (int v : c)
      if (v < 0 || v > 255) return (*code = 2, false);
    if (width < 0 || width > 32) return (*code = 3, false);
    for (int i = 0; i < 4; ++i)
      e->addr[12 + i] = static_cast<std::uint8_t>(c[i]);
    width += 96;
  }
  if (width < 128) {
    int i = width / 8;
    if (e->addr[i] & ~prefix_mask[width % 8]) return (*code = 8, false);
    for (++i; i < 16; ++i)
      if (e->addr[i] != 0) return (*code = 8, false);
  }
  e->width = static_cast<std::uint32_t>(width);
  return true;
}

// Digit runs of at most 7 characters keep every number sscanf reads in
// range, so the reference is well defined.
bool sscanf_is_defined(const std::string &line) {
  int run = 0;
  for (char c : line) {
    run = std::strchr("0123456789abcdefABCDEF", c) != nullptr && c != '\0'
              ? run + 1
              : 0;
    if (run > 7) return false;
  }
  return true;
}

bool bits_past_width_are_zero(const addr_entry &e) {
  for (std::uint32_t bit = e.width; bit < 128; ++bit)
    if (e.addr[bit / 8] & (0x80 >> (bit % 8))) return false;
  return true;
}

addr_entry with_host_bits(const addr_entry &network, bool ones) {
  addr_entry a = network;
  for (std::uint32_t bit = network.width; bit < 128; ++bit) {
    auto mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
    a.addr[bit / 8] = static_cast<std::uint8_t>(ones ? a.addr[bit / 8] | mask
                                                     : a.addr[bit / 8] & ~mask);
  }
  a.width = 128;
  return a;
}

addrset *the_set() {
  static addrset *set = addrset_new();
  return set;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start <= input.size() && lines.size() < 16;) {
    std::size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    lines.push_back(input.substr(start, end - start).c_str());  // to any NUL
    start = end + 1;
  }

  addrset *set = the_set();
  if (set == nullptr) return 0;
  if (set->used > 0) addrset_clear(set);
  std::vector<addr_entry> networks;
  std::vector<addr_entry> keys;
  int stored = 0;

  for (const std::string &line : lines) {
    addr_entry e;
    bool ok = addr_parse(line.c_str(), &e);
    int code = addr_error;
    if (sscanf_is_defined(line)) {
      addr_entry ref;
      int ref_code = 0;
      bool ref_ok = reference_parse(line.c_str(), &ref, &ref_code);
      check(ok == ref_ok, "result differs from sscanf's", line);
      if (ok)
        check(e == ref, "entry differs from sscanf's", line);
      else
        check(code == ref_code, "code differs from sscanf's", line);
    }
    if (!ok) continue;

    check(e.width <= 128, "width over 128", line);
    check(bits_past_width_are_zero(e), "bits set past the width", line);
    char text[100];
    addr_format(&e, text, sizeof text);
    check(std::strlen(text) <= 43, "text longer than 43", line);
    addr_entry again;
    check(addr_parse(text, &again), "formatted text does not parse", line);
    check(again == e, "formatted text parses differently", line);

    // A few networks per input keep the run fast: one network may be
    // split into 128 pieces.
    if (stored == MAX_STORED) continue;
    ++stored;
    check(addrset_add(set, &e), "addrset_add failed", line);
    if (e.width > 0) networks.push_back(e);  // width 0 is never searched
    keys.push_back(with_host_bits(e, false));
    keys.push_back(with_host_bits(e, true));
  }

  // Addresses straight from the input bytes, IPv4-mapped and not.
  for (std::size_t i = 0; i + 16 <= size && keys.size() < 80; i += 16) {
    addr_entry k{};
    std::memcpy(k.addr, data + i, 16);
    k.width = 128;
    keys.push_back(k);
    std::memset(k.addr, 0, 10);
    k.addr[10] = k.addr[11] = 0xFF;
    keys.push_back(k);
  }

  for (const addr_entry &k : keys) {
    bool scan = false;
    for (const addr_entry &n : networks)
      scan = scan || addr_prefix_contains(&n, &k);
    char text[100];
    check(addrset_contains(set, &k) == scan, "set and scan disagree",
          addr_format(&k, text, sizeof text));
  }
  return 0;
}
