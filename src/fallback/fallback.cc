#include "fallback/fallback.h"

#include <syslog.h>

#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "common/config.h"

fallback_entry *fallbacks = nullptr;
int32_t fallback_count = 0;
int32_t fallback_capacity = 0;

namespace {

[[noreturn]] void fail() { std::exit(EXIT_SOFTWARE_FAILURE); }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_trailing_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Makes room for one more entry: 50 at first, then twice the room each time
// the array is full. The doubling is refused before the count could
// overflow; on failure the old array is left as it was.
bool enlarge_fallbacks() {
  int32_t capacity = FALLBACK_FIRST_CAPACITY;
  if (fallback_capacity > 0) {
    if (fallback_capacity > INT32_MAX / 2) return false;
    capacity = fallback_capacity * 2;
  }
  void *array = std::realloc(
      fallbacks, static_cast<size_t>(capacity) * sizeof(fallback_entry));
  if (array == nullptr) return false;
  fallbacks = static_cast<fallback_entry *>(array);
  fallback_capacity = capacity;
  return true;
}

}  // namespace

void save_fallback(const char *pattern, const char *mechanisms) {
  if (fallback_count >= fallback_capacity && !enlarge_fallbacks()) {
    syslog(LOG_ERR, "out of memory enlarging fallbacks array");
    fail();
  }
  unique_text pattern_copy = copy_text(pattern);
  unique_text mechanisms_copy = copy_text(mechanisms);
  if (!pattern_copy || !mechanisms_copy) {
    syslog(LOG_ERR, "out of memory saving a fallback entry");
    fail();
  }
  auto *compiled =
      static_cast<unsigned char *>(std::malloc(FALLBACK_COMPILED_SIZE));
  if (compiled == nullptr) {
    syslog(LOG_ERR, "error compiling fallback mechanism '%s'", mechanisms);
    fail();
  }
  fallback_entry &entry = fallbacks[fallback_count];
  entry.pattern = pattern_copy.release();
  entry.mechanisms = mechanisms_copy.release();
  entry.compiled = compiled;
  ++fallback_count;
}

bool split_fallback_line(char *piece, fallback_fields *out) {
  char *comment = std::strchr(piece, '#');
  if (comment != nullptr) *comment = '\0';
  size_t length = std::strlen(piece);
  while (length > 0 && is_trailing_space(piece[length - 1]))
    piece[--length] = '\0';
  if (length == 0) return false;

  size_t pattern_end = std::strcspn(piece, " \t");
  out->pattern = piece;
  if (piece[pattern_end] == '\0') {
    out->mechanisms = piece + pattern_end;
    return true;
  }
  piece[pattern_end] = '\0';
  char *mechanisms = piece + pattern_end + 1;
  while (is_blank(*mechanisms)) ++mechanisms;
  out->mechanisms = mechanisms;
  return true;
}

void read_fallbacks(std::FILE *in) {
  char piece[FALLBACK_LINE_SIZE];
  // fgets stops after a newline or after sizeof piece - 1 characters; a
  // longer line thus comes in several pieces, each an entry of its own.
  for (bool first = true; std::fgets(piece, sizeof piece, in) != nullptr;
       first = false) {
    fallback_fields fields{};
    char *line = first ? skip_byte_order_mark(piece) : piece;
    if (split_fallback_line(line, &fields))
      save_fallback(fields.pattern, fields.mechanisms);
  }
}

void load_fallbacks(const char *path) {
  std::FILE *in = std::fopen(path, "re");
  if (in == nullptr) {
    syslog(LOG_ERR, "fopen '%s' - %m", path);
    fail();
  }
  read_fallbacks(in);
  std::fclose(in);
}

void free_fallbacks() {
  if (fallbacks != nullptr) {
    for (int32_t i = 0; i < fallback_count; ++i) {
      std::free(fallbacks[i].pattern);
      std::free(fallbacks[i].mechanisms);
      std::free(fallbacks[i].compiled);
    }
    std::free(fallbacks);
  }
  fallbacks = nullptr;
  fallback_count = 0;
  fallback_capacity = 0;
}

void load_fallback_table() {
  free_fallbacks();
  if (config.fallback_file != nullptr) load_fallbacks(config.fallback_file);
  if (config.guess != nullptr) save_fallback("*", config.guess);
}

bool match_pattern_list(const char *list, const char *subject) {
  for (;;) {
    const char *bar = std::strchr(list, '|');
    if (bar == nullptr)
      return match_pattern(list, static_cast<int32_t>(std::strlen(list)),
                           subject);
    if (match_pattern(list, static_cast<int32_t>(bar - list), subject))
      return true;
    list = bar + 1;
  }
}

bool match_pattern(const char *pattern, int32_t length, const char *subject) {
  for (int32_t i = 0; i < length; ++i) {
    char c = pattern[i];
    if (c == '*') {
      // The longest run first, down to the empty one; each time the rest of
      // the pattern must match what follows the run.
      size_t rest = std::strlen(subject);
      for (size_t run = rest + 1; run-- > 0;)
        if (match_pattern(pattern + i + 1, length - i - 1, subject + run))
          return true;
      return false;
    }
    if (*subject == '\0') return false;
    if (c != '?' && c != *subject) return false;
    ++subject;
  }
  return *subject == '\0';
}
