#include "filter/header_text.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/safe_text.h"

void append(char *buf, std::size_t size, const char *format, ...) {
  std::size_t len = std::strlen(buf);
  if (len + 1 >= size) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf + len, size - len, format, args);
  va_end(args);
}

void append_escaped(char *buf, std::size_t size, const char *text,
                    const char *escaped) {
  std::size_t len = std::strlen(buf);
  for (const char *p = text; *p != '\0'; p++) {
    bool escape = std::strchr(escaped, *p) != nullptr;
    if (len + (escape ? 2 : 1) + 1 > size) break;
    if (escape) buf[len++] = '\\';
    buf[len++] = *p;
  }
  buf[len] = '\0';
}

void append_quoted(char *buf, std::size_t size, const char *text) {
  append(buf, size, "\"");
  append_escaped(buf, size, text, "\"\\");
  append(buf, size, "\"");
}

namespace {

bool needs_quotes(const char *value) {
  if (*value == '\0') return true;
  for (const char *p = value; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (is_control_char(c) || std::strchr(" ;\"()\\", c) != nullptr)
      return true;
  }
  return false;
}

bool is_plain_name(const char *value) {
  if (*value == '\0') return false;
  for (const char *p = value; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_') return false;
  }
  return true;
}

}  // namespace

void append_field(char *buf, std::size_t size, const char *key,
                  const char *value) {
  append(buf, size, " %s=", key);
  if (needs_quotes(value))
    append_quoted(buf, size, value);
  else
    append(buf, size, "%s", value);
  append(buf, size, ";");
}

void append_property(char *buf, std::size_t size, const char *property,
                     const char *value) {
  append(buf, size, " %s=", property);
  if (is_plain_name(value))
    append(buf, size, "%s", value);
  else
    append_quoted(buf, size, value);
}

std::size_t escaped_length(const char *text, const char *escaped) {
  std::size_t n = 0;
  for (const char *p = text; *p != '\0'; p++)
    n += std::strchr(escaped, *p) != nullptr ? 2 : 1;
  return n;
}

folded_value start_value(char *buf, std::size_t size, const char *name) {
  buf[0] = '\0';
  return folded_value{buf, size, std::strlen(name) + 2};
}

bool add_piece(folded_value &value, char *piece) {
  std::size_t n = std::strlen(piece);
  if (n > MAX_LINE) return false;
  blank_controls(piece);
  std::size_t len = std::strlen(value.buf);
  bool fold = len > 0 && piece[0] == ' ' && value.line + n > MAX_LINE;
  if (!fold && value.line + n > MAX_LINE) return false;
  if (len + (fold ? 1 : 0) + n + 1 > value.size) return false;
  if (fold) {
    value.buf[len++] = '\n';
    value.line = 0;
  }
  std::memcpy(value.buf + len, piece, n + 1);
  value.line += n;
  return true;
}
