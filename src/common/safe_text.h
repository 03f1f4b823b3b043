// Client text made safe for one-line output.
//
// Texts from the SMTP client (HELO name, envelope addresses, header values)
// and from DNS (the client's host name) may hold any byte but NUL. Written
// as they are into a log line or a header, a carriage return or line feed
// would start a new line the reader takes for one of the daemon's own. These
// helpers render control characters visibly and bound the length; ordinary
// text passes unchanged.

#ifndef HERONSEND_COMMON_SAFE_TEXT_H_
#define HERONSEND_COMMON_SAFE_TEXT_H_

#include <cstddef>

// A control character: below 0x20 (tab included) or 0x7f.
inline bool is_control_char(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Replaces each control character of text with "?", in place: the length
// stays the same, so a text bounded before stays bounded.
void blank_controls(char *text) noexcept;

// A text as a log argument: each control character as "\xHH" (a backslash
// itself as "\\"), cut at LOG_TEXT_MAX characters with "..." after the cut.
// A null text shows as "".
class log_text {
 public:
  static constexpr std::size_t LOG_TEXT_MAX = 1000;

  explicit log_text(const char *text) noexcept;
  log_text(const log_text &) = delete;
  log_text &operator=(const log_text &) = delete;
  const char *c_str() const noexcept { return buf_; }

 private:
  char buf_[LOG_TEXT_MAX + 4];  // the text, "...", and the terminator
};

#endif  // HERONSEND_COMMON_SAFE_TEXT_H_
