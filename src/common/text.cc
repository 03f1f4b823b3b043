#include "common/text.h"

#include <cstring>

unique_text copy_text(const char *text) noexcept {
  return unique_text(strdup(text));
}

char *skip_byte_order_mark(char *first_line) noexcept {
  return std::strncmp(first_line, "\xEF\xBB\xBF", 3) == 0 ? first_line + 3
                                                         : first_line;
}
