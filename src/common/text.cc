#include "common/text.h"

#include <cstring>

unique_text copy_text(const char *text) noexcept {
  return unique_text(strdup(text));
}
