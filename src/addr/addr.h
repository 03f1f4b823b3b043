// Address entries: IPv4 and IPv6 addresses and networks.
//
// An addr_entry is a 16-byte address plus a prefix width, IPv4 held in the
// IPv4-mapped IPv6 form (::ffff:a.b.c.d, width + 96), so that IPv4 and IPv6
// share one representation. addr_parse turns the text of an address or
// network ("192.0.2.0/24", "2001:db8::/32", "10") into an entry, leniently in
// the manner of sscanf but strictly about numeric bounds and host bits;
// addr_format turns an entry back into text for the log.
//
// Failures set the process-wide addr_error, which addr_strerror turns into
// a message. Only start-up code (parsing, filling the address set) sets it;
// formatting and the other queries are free of shared state.

#ifndef HERONSEND_ADDR_ADDR_H_
#define HERONSEND_ADDR_ADDR_H_

#include <cstddef>
#include <cstdint>

struct addr_entry {
  std::uint8_t addr[16];  // network byte order, most significant byte first
  std::uint32_t width;    // prefix width in bits, 0..128
  bool operator==(const addr_entry &) const = default;
};

// prefix_mask[k] is the byte with its k most significant bits set.
extern const std::uint8_t prefix_mask[8];

// Codes of addr_error (messages in addr_strerror).
enum {
  ADDR_NO_ERROR = 0,
  ADDR_OUT_OF_MEMORY = 1,
  ADDR_COMPONENT_OUT_OF_BOUNDS = 2,
  ADDR_WIDTH_OUT_OF_BOUNDS = 3,
  ADDR_TOO_LONG = 4,
  ADDR_WIDTH_INVALID = 5,
  ADDR_INVALID_IPV4 = 6,
  ADDR_INVALID_IPV6 = 7,  // never set
  ADDR_NON_PREFIX_NON_ZERO = 8,
  ADDR_SHOULD_NOT_HAPPEN = 9,
};

// The code of the last failure of this module or of the address set; 0
// until something fails. A success never resets it.
extern int addr_error;

// Parses text (an IPv4 or IPv6 address, optionally "/" and a width) into
// *entry. Returns false with addr_error set on failure (*entry is then
// undefined). Texts with a ':' are IPv6, others IPv4. A text with fewer
// components stands for the network of those leading components ("10" is
// 10.0.0.0/8, "2001:db8" is 2001:db8::/32); a "/" width replaces that.
// Every bit from bit `width` on is zero in a parsed entry.
bool addr_parse(const char *text, addr_entry *entry);

// Reads up to eight hexadecimal groups separated by ':' from the front of
// text into all 16 bytes of *entry (groups not read are 0) and sets width
// to 16 per group read (0 when text begins with no group, not a failure).
// Fails with addr_error 2 when a group is over 0xFFFF.
bool addr_parse_groups(const char *text, addr_entry *entry);

// Writes the entry's text into buffer (cut to fit size, as by snprintf) and
// returns buffer: "a.b.c.d" or "a.b.c.d/w" for IPv4-mapped entries, else
// all eight groups in lower-case hexadecimal, never shortened with "::",
// with "/w" unless the width is 128. At most 43 characters for widths up to
// 128.
char *addr_format(const addr_entry *entry, char *buffer, std::size_t size);

// True if bytes 0-9 are zero and bytes 10-11 are 0xFF (width not looked at).
bool addr_is_ipv4_mapped(const addr_entry *entry);

// True if the address's width is at least the network's and the first
// network->width bits of both entries agree. A network width over 128 (with
// an address at least as wide) is refused with addr_error 3.
bool addr_prefix_contains(const addr_entry *network,
                          const addr_entry *address);

// The message of the current addr_error.
const char *addr_strerror();

#endif  // HERONSEND_ADDR_ADDR_H_
