#include "filter/recipients.h"

#include <strings.h>

#include <cstring>
#include <string_view>

namespace {

bool same(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trim(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  return t;
}

}  // namespace

bool recipient_is_kept(const char *list, const char *recipient) {
  if (list == nullptr || recipient == nullptr) return false;
  std::string_view address(recipient);
  std::size_t at = address.rfind('@');
  std::string_view local = at == std::string_view::npos ? address : address.substr(0, at);
  std::string_view rest(list);
  for (;;) {
    std::size_t comma = rest.find(',');
    std::string_view entry = trim(rest.substr(0, comma));
    if (!entry.empty()) {
      bool whole = entry.find('@') != std::string_view::npos;
      if (same(whole ? address : local, entry)) return true;
    }
    if (comma == std::string_view::npos) return false;
    rest.remove_prefix(comma + 1);
  }
}
