#include "fake_alloc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex alloc_mutex;
bool armed = false;
std::string target;
int to_skip = 0;

}  // namespace

void fail_next_strdup_of(const std::string &text, int skip) {
  std::lock_guard<std::mutex> lock(alloc_mutex);
  armed = true;
  target = text;
  to_skip = skip;
}

bool cancel_strdup_failure() {
  std::lock_guard<std::mutex> lock(alloc_mutex);
  bool was = armed;
  armed = false;
  return was;
}

extern "C" char *strdup(const char *s) noexcept {
  {
    std::lock_guard<std::mutex> lock(alloc_mutex);
    if (armed && target == s && to_skip-- == 0) {
      armed = false;
      errno = ENOMEM;
      return nullptr;
    }
  }
  std::size_t n = std::strlen(s) + 1;
  char *copy = static_cast<char *>(std::malloc(n));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}
