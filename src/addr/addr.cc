#include "addr/addr.h"

#include <cstdio>
#include <cstring>

#include "addr/scan.h"

// Numbers are read with scan_numbers, which follows sscanf's "%d" and "%x"
// syntax but saturates instead of overflowing. So a component, group or
// width too large for a 32-bit int is out of bounds, whatever its digits:
// "1.2.3.4294967296" fails with code 2 and "/4294967424" with code 3, where
// glibc's sscanf would have kept the low 32 bits and accepted 1.2.3.0 and
// width 128. A negative hexadecimal group is out of bounds too unless it is
// zero; sscanf wraps it to 2^32 minus its value, which is over 0xFFFF for
// every magnitude that fits an int, so only over-large texts differ.

const std::uint8_t prefix_mask[8] = {0x00, 0x80, 0xC0, 0xE0,
                                     0xF0, 0xF8, 0xFC, 0xFE};

int addr_error = ADDR_NO_ERROR;

namespace {

const char *const error_messages[] = {
    "no error",
    "out of memory",
    "address component is out of bounds",
    "prefix/netmask width is out of bounds",
    "address is too long",
    "prefix/netmask width is invalid",
    "invalid IPv4 address",
    "invalid IPv6 address",
    "non-prefix part is non-zero",
    "shouldn't happen",
};

bool fail(int code) {
  addr_error = code;
  return false;
}

// If text has a '/', replaces *width with the decimal number after the first
// one ("/%d"). False when no number follows the '/'.
bool read_width(const char *text, long long *width) {
  const char *slash = std::strchr(text, '/');
  if (slash == nullptr) return true;
  return scan_numbers(slash + 1, '\0', 10, 1, width) == 1;
}

// IPv6 text: the groups, "::" expanding to the zero groups it stands for.
bool parse_ipv6(const char *text, addr_entry *entry, long long *width) {
  const char *gap = std::strstr(text, "::");
  if (gap == nullptr) {
    if (!addr_parse_groups(text, entry)) return false;
    *width = entry->width;
    return true;
  }
  // The left part stops at the "::", as no group begins with ':'.
  addr_entry left, right;
  if (!addr_parse_groups(text, &left)) return false;
  if (!addr_parse_groups(gap + 2, &right)) return false;
  // "::" must stand for at least two zero groups.
  if (left.width + right.width >= 112) return fail(ADDR_TOO_LONG);
  std::size_t left_bytes = left.width / 8;
  std::size_t right_bytes = right.width / 8;
  std::memcpy(entry->addr, left.addr, left_bytes);
  std::memcpy(entry->addr + 16 - right_bytes, right.addr, right_bytes);
  *width = right.width > 0 ? 128 : left.width;
  return true;
}

}  // namespace

bool addr_parse(const char *text, addr_entry *entry) {
  std::memset(entry->addr, 0, sizeof entry->addr);
  long long width;
  if (std::strchr(text, ':') != nullptr) {
    if (!parse_ipv6(text, entry, &width)) return false;
    if (!read_width(text, &width)) return fail(ADDR_WIDTH_INVALID);
    if (width < 0 || width > 128) return fail(ADDR_WIDTH_OUT_OF_BOUNDS);
  } else {
    entry->addr[10] = 0xFF;
    entry->addr[11] = 0xFF;
    long long component[4] = {0, 0, 0, 0};
    int count = scan_numbers(text, '.', 10, 4, component);
    if (count == 0) return fail(ADDR_INVALID_IPV4);
    width = 8 * count;
    if (!read_width(text, &width)) return fail(ADDR_WIDTH_INVALID);
    for (long long c : component)
      if (c < 0 || c > 255) return fail(ADDR_COMPONENT_OUT_OF_BOUNDS);
    if (width < 0 || width > 32) return fail(ADDR_WIDTH_OUT_OF_BOUNDS);
    for (int i = 0; i < 4; ++i)
      entry->addr[12 + i] = static_cast<std::uint8_t>(component[i]);
    width += 96;
  }

  // Host-bit test: nothing may be set past the prefix.
  if (width < 128) {
    std::size_t i = static_cast<std::size_t>(width / 8);
    if ((entry->addr[i] & ~prefix_mask[width % 8]) != 0)
      return fail(ADDR_NON_PREFIX_NON_ZERO);
    for (++i; i < sizeof entry->addr; ++i)
      if (entry->addr[i] != 0) return fail(ADDR_NON_PREFIX_NON_ZERO);
  }
  entry->width = static_cast<std::uint32_t>(width);
  return true;
}

bool addr_parse_groups(const char *text, addr_entry *entry) {
  long long group[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int count = scan_numbers(text, ':', 16, 8, group);
  for (long long g : group)
    if (g < 0 || g > 0xFFFF) return fail(ADDR_COMPONENT_OUT_OF_BOUNDS);
  for (int i = 0; i < 8; ++i) {
    entry->addr[2 * i] = static_cast<std::uint8_t>(group[i] >> 8);
    entry->addr[2 * i + 1] = static_cast<std::uint8_t>(group[i] & 0xFF);
  }
  entry->width = static_cast<std::uint32_t>(16 * count);
  return true;
}

char *addr_format(const addr_entry *entry, char *buffer, std::size_t size) {
  const std::uint8_t *a = entry->addr;
  if (addr_is_ipv4_mapped(entry)) {
    if (entry->width == 128)
      std::snprintf(buffer, size, "%d.%d.%d.%d", a[12], a[13], a[14], a[15]);
    else
      std::snprintf(buffer, size, "%d.%d.%d.%d/%lld", a[12], a[13], a[14],
                    a[15], static_cast<long long>(entry->width) - 96);
    return buffer;
  }
  unsigned g[8];
  for (int i = 0; i < 8; ++i) g[i] = (a[2 * i] << 8) | a[2 * i + 1];
  if (entry->width == 128)
    std::snprintf(buffer, size, "%x:%x:%x:%x:%x:%x:%x:%x", g[0], g[1], g[2],
                  g[3], g[4], g[5], g[6], g[7]);
  else
    std::snprintf(buffer, size, "%x:%x:%x:%x:%x:%x:%x:%x/%u", g[0], g[1],
                  g[2], g[3], g[4], g[5], g[6], g[7],
                  static_cast<unsigned>(entry->width));
  return buffer;
}

bool addr_is_ipv4_mapped(const addr_entry *entry) {
  for (int i = 0; i < 10; ++i)
    if (entry->addr[i] != 0) return false;
  return entry->addr[10] == 0xFF && entry->addr[11] == 0xFF;
}

bool addr_prefix_contains(const addr_entry *network,
                          const addr_entry *address) {
  std::uint32_t w = network->width;
  if (address->width < w) return false;
  if (w > 128) return fail(ADDR_WIDTH_OUT_OF_BOUNDS);
  std::uint32_t full = w / 8;
  for (std::uint32_t i = 0; i < full; ++i)
    if (network->addr[i] != address->addr[i]) return false;
  if (full < 16 &&
      ((network->addr[full] ^ address->addr[full]) & prefix_mask[w % 8]) != 0)
    return false;
  return true;
}

const char *addr_strerror() {
  constexpr int count = sizeof error_messages / sizeof error_messages[0];
  if (addr_error < 0 || addr_error >= count)
    return error_messages[ADDR_SHOULD_NOT_HAPPEN];
  return error_messages[addr_error];
}
