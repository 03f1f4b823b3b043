// Fuzzes the fallback file reader and the pattern matcher.
//
// The input is read as a fallback file (through read_fallbacks on an
// in-memory stream): pieces of at most 999 characters, '#' cuts, trailing
// white space trimmed, pattern and mechanisms split at the first blank or
// tab. Every entry is checked for what the splitter promises, and its
// pattern list is then matched against its mechanisms text, the result
// compared with a plain dynamic-programming matcher of the same language.
//
// Bounds: the input is capped at 4096 bytes, and only patterns with at most
// 4 '*' are matched against subjects of at most 64 bytes, in the first 32
// entries. The matcher backtracks by recursion, one level per '*', trying
// every run length longest first, so k stars against n characters cost up
// to about C(n+k, k) tries; without these caps the fuzzer would mostly
// measure that (expected) blow-up rather than look for faults. The daemon
// itself never calls the matcher on anything but the administrator's file.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fallback/fallback.h"

namespace {

constexpr size_t MAX_INPUT = 4096;
constexpr int MAX_STARS = 4;
constexpr size_t MAX_SUBJECT = 64;
constexpr int32_t MAX_MATCHED_ENTRIES = 32;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Whether pattern[0, length) matches the whole subject: '?' any one byte,
// '*' any run, anything else itself.
bool reference_match(const char *pattern, size_t length, const char *subject) {
  size_t n = std::strlen(subject);
  std::vector<char> row(n + 1, 0), next(n + 1, 0);
  row[0] = 1;
  for (size_t i = 0; i < length; ++i) {
    char c = pattern[i];
    if (c == '*') {
      next[0] = row[0];
      for (size_t j = 1; j <= n; ++j) next[j] = row[j] || next[j - 1];
    } else {
      next[0] = 0;
      for (size_t j = 1; j <= n; ++j)
        next[j] = row[j - 1] && (c == '?' || c == subject[j - 1]);
    }
    row.swap(next);
  }
  return row[n] != 0;
}

bool reference_match_list(const char *list, const char *subject) {
  for (;;) {
    const char *bar = std::strchr(list, '|');
    size_t length = bar ? static_cast<size_t>(bar - list) : std::strlen(list);
    if (reference_match(list, length, subject)) return true;
    if (bar == nullptr) return false;
    list = bar + 1;
  }
}

void check_entry(const fallback_entry &entry) {
  const char *pattern = entry.pattern;
  const char *mechanisms = entry.mechanisms;
  size_t pattern_len = std::strlen(pattern);
  size_t mechanisms_len = std::strlen(mechanisms);
  check(entry.compiled != nullptr);
  check(pattern_len + mechanisms_len > 0);
  check(pattern_len + mechanisms_len <= FALLBACK_LINE_SIZE - 1);
  check(std::strpbrk(pattern, " \t#\n") == nullptr);
  check(std::strpbrk(mechanisms, "#\n") == nullptr);
  if (mechanisms_len > 0) {
    check(mechanisms[0] != ' ' && mechanisms[0] != '\t');
    check(std::strchr(" \t\r\n", mechanisms[mechanisms_len - 1]) == nullptr);
  } else if (pattern_len > 0) {
    check(std::strchr(" \t\r\n", pattern[pattern_len - 1]) == nullptr);
  }
}

int count_stars(const char *text) {
  int stars = 0;
  for (; *text != '\0'; ++text) stars += *text == '*';
  return stars;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > MAX_INPUT) return 0;
  std::vector<char> copy(data, data + size);
  std::FILE *in = fmemopen(copy.data(), copy.size(), "r");
  if (in == nullptr) return 0;
  read_fallbacks(in);
  std::fclose(in);

  check(fallback_count <= fallback_capacity);
  check(fallback_count == 0 || fallback_capacity >= FALLBACK_FIRST_CAPACITY);
  for (int32_t i = 0; i < fallback_count; ++i) {
    const fallback_entry &entry = fallbacks[i];
    check_entry(entry);
    if (i >= MAX_MATCHED_ENTRIES || count_stars(entry.pattern) > MAX_STARS ||
        std::strlen(entry.mechanisms) > MAX_SUBJECT)
      continue;
    check(match_pattern_list(entry.pattern, entry.mechanisms) ==
          reference_match_list(entry.pattern, entry.mechanisms));
  }
  free_fallbacks();
  return 0;
}
