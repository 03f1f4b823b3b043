#include "addr/scan.h"

namespace {

// White space as isspace() has it in the C locale, which the daemon keeps.
bool is_scan_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// The value of c as a digit of base (10 or 16), or -1.
int digit_value(char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16) {
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  }
  return -1;
}

// Reads one number at *text, advancing *text past it on success. The
// syntax is glibc's: white space, an optional sign, for base 16 an optional
// "0x" or "0X" (which glibc consumes even when no hexadecimal digit
// follows, reading the "0" as the number), then digits.
bool scan_one(const char **text, int base, long long *value) {
  const char *p = *text;
  while (is_scan_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  bool have_digits = false;
  if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
    have_digits = true;
  }
  long long magnitude = 0;
  for (int d; (d = digit_value(*p, base)) >= 0; ++p) {
    have_digits = true;
    // magnitude <= SCAN_LIMIT here, so this cannot overflow.
    magnitude = magnitude * base + d;
    if (magnitude > SCAN_LIMIT) magnitude = SCAN_LIMIT;
  }
  if (!have_digits) return false;
  *value = negative ? -magnitude : magnitude;
  *text = p;
  return true;
}

}  // namespace

int scan_numbers(const char *text, char sep, int base, int max_count,
                 long long *values) {
  const char *p = text;
  int count = 0;
  while (count < max_count) {
    if (count > 0) {
      if (*p == '\0' || *p != sep) break;
      ++p;
    }
    if (!scan_one(&p, base, &values[count])) break;
    ++count;
  }
  return count;
}
