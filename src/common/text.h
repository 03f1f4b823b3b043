// Owned zero-terminated texts.
//
// The daemon keeps every text it holds as its own copy. A copy that cannot
// be made is an ordinary failure with its own log line (the caller decides),
// never an exception, so copies are made with strdup and owned by a
// unique_text, which releases them with free().

#ifndef HERONSEND_COMMON_TEXT_H_
#define HERONSEND_COMMON_TEXT_H_

#include <cstdlib>
#include <memory>

struct free_deleter {
  void operator()(void *p) const noexcept { std::free(p); }
};

using unique_text = std::unique_ptr<char, free_deleter>;

// A private copy of text, or an empty unique_text when memory runs out.
unique_text copy_text(const char *text) noexcept;

// The first line of a text file past the UTF-8 byte order mark that some
// editors write at its start (the mark is no character of the line's
// text); the line itself when it has none.
char *skip_byte_order_mark(char *first_line) noexcept;

#endif  // HERONSEND_COMMON_TEXT_H_
