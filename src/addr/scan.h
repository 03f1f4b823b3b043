// Bounded reading of numbers in the manner of sscanf.
//
// Address texts are read the way the C library's sscanf reads formats such
// as "%d.%d.%d.%d" or "%x:%x:%x": every number may be preceded by white
// space and may carry a sign, a hexadecimal number may carry the prefix 0x,
// consecutive numbers are joined by exactly one separator character, and
// whatever follows the last number read is ignored.
//
// sscanf leaves a number too large for an int undefined; glibc silently
// keeps its low 32 bits, so "4294967424" would read as 128 and "10000ffff"
// as ffff. This reader accepts exactly the texts sscanf accepts, but never
// overflows: a number whose magnitude exceeds INT_MAX reads as SCAN_LIMIT
// (with its sign), which every bounds check of the address module refuses.

#ifndef HERONSEND_ADDR_SCAN_H_
#define HERONSEND_ADDR_SCAN_H_

// 2^31: the value an over-large magnitude saturates at.
constexpr long long SCAN_LIMIT = 1LL << 31;

// Reads up to max_count numbers in base 10 ("%d") or 16 ("%x") from the
// front of text, separated by sep, into values[0..count). Returns count,
// the number of numbers converted (0 when text does not begin with one);
// like sscanf with a format of max_count conversions, it stops at the first
// separator or number that does not match. Values lie in
// [-SCAN_LIMIT, SCAN_LIMIT]. A hexadecimal number keeps its sign: "-1" reads
// as -1, where sscanf's %x would wrap it to 0xFFFFFFFF.
int scan_numbers(const char *text, char sep, int base, int max_count,
                 long long *values);

#endif  // HERONSEND_ADDR_SCAN_H_
