#include "common/safe_text.h"

#include <cstdio>

void blank_controls(char *text) noexcept {
  if (text == nullptr) return;
  for (char *p = text; *p != '\0'; p++)
    if (is_control_char(static_cast<unsigned char>(*p))) *p = '?';
}

log_text::log_text(const char *text) noexcept {
  std::size_t n = 0;
  if (text != nullptr) {
    for (const char *p = text; *p != '\0'; p++) {
      unsigned char c = static_cast<unsigned char>(*p);
      char piece[5];
      std::size_t len = 1;
      piece[0] = static_cast<char>(c);
      if (is_control_char(c)) {
        std::snprintf(piece, sizeof piece, "\\x%02x", c);
        len = 4;
      } else if (c == '\\') {
        piece[1] = '\\';
        len = 2;
      }
      if (n + len > LOG_TEXT_MAX) {
        buf_[n++] = '.';
        buf_[n++] = '.';
        buf_[n++] = '.';
        break;
      }
      for (std::size_t i = 0; i < len; i++) buf_[n++] = piece[i];
    }
  }
  buf_[n] = '\0';
}

void kv_line::put(char c) noexcept {
  if (n_ + 1 < ROOM) {
    buf_[n_++] = c;
    buf_[n_] = '\0';
  }
}

void kv_line::add(const char *text) noexcept {
  for (const char *p = text; p != nullptr && *p != '\0'; p++) put(*p);
}

void kv_line::add_number(unsigned long long value) noexcept {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%llu", value);
  add(digits);
}

namespace {

// Printable ASCII that needs no quoting in a key=value value.
bool is_bare_char(unsigned char c) {
  return c > 0x20 && c < 0x7f && c != '"' && c != '\\';
}

}  // namespace

void kv_line::add_value(const char *value) noexcept {
  if (value == nullptr) {
    put('-');
    return;
  }
  std::size_t len = 0;
  bool bare = true;
  for (const char *p = value; *p != '\0'; p++, len++)
    if (!is_bare_char(static_cast<unsigned char>(*p))) bare = false;
  if (len == 0 || len > LOG_VALUE_MAX || (len == 1 && value[0] == '-'))
    bare = false;
  if (bare) {
    add(value);
    return;
  }
  put('"');
  std::size_t i = 0;
  for (; i < len && i < LOG_VALUE_MAX; i++) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if (c == '"' || c == '\\') {
      put('\\');
      put(static_cast<char>(c));
    } else if (c < 0x20 || c > 0x7e) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      add(hex);
    } else {
      put(static_cast<char>(c));
    }
  }
  if (i < len) add("...");
  put('"');
}
