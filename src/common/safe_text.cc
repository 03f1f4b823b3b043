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
