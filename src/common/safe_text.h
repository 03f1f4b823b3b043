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

// A key=value log line being built in a fixed buffer: appends never
// overflow it, and a line that does not fit is cut (used() then stays at
// the room less one).
class kv_line {
 public:
  static constexpr std::size_t ROOM = 6144;  // five cut values and more

  // Appends text as it is (the daemon's own words).
  void add(const char *text) noexcept;
  // Appends a number.
  void add_number(unsigned long long value) noexcept;
  // Appends a value of a key=value log line so that a reader that splits
  // the line at blanks and each field at its first "=" reads it back:
  // bare when it is 1 to LOG_VALUE_MAX bytes of printable ASCII without
  // blanks, quotes or backslashes and not "-"; otherwise in double quotes,
  // with \" and \\ for quotes and backslashes and \xHH for control
  // characters and bytes above 0x7e, cut after LOG_VALUE_MAX bytes with
  // "..." before the closing quote. A null value is "-" (none).
  void add_value(const char *value) noexcept;
  const char *c_str() const noexcept { return buf_; }
  std::size_t used() const noexcept { return n_; }

  static constexpr std::size_t LOG_VALUE_MAX = 256;

 private:
  void put(char c) noexcept;
  char buf_[ROOM] = {};
  std::size_t n_ = 0;
};

#endif  // HERONSEND_COMMON_SAFE_TEXT_H_
