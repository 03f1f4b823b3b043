#include "filter/auth_results.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "common/safe_text.h"
#include "filter/connection.h"
#include "filter/header_text.h"
#include "filter/headers.h"
#include "filter/result.h"

namespace {

// Skips blanks, line breaks and (nested) comments.
const char *skip_cfws(const char *p) {
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    if (*p != '(') return p;
    int depth = 0;
    for (; *p != '\0'; p++) {
      if (*p == '\\' && p[1] != '\0') {
        p++;
      } else if (*p == '(') {
        depth++;
      } else if (*p == ')' && --depth == 0) {
        p++;
        break;
      }
    }
  }
}

}  // namespace

bool build_authentication_results(connection_data *cd,
                                  const char *helo_explanation) {
  const char *identity = checked_identity(cd);
  bool mailfrom = std::strcmp(identity, "mailfrom") == 0;
  if (!mailfrom && std::strcmp(identity, "helo") != 0) return false;

  char *v = cd->auth_results_value;
  const std::size_t n = HEADER_VALUE_SIZE;
  v[0] = '\0';
  const char *r = receiver_or_empty();
  if (*r != '\0' && std::strpbrk(r, " \t;()\"\\") == nullptr)
    append(v, n, "%s", r);
  else
    append_quoted(v, n, r);
  append(v, n, "; spf=%s (", result_name(cd->result_index));
  append_escaped(v, n, cd->scratch, "()\\");
  append(v, n, ")");
  if (mailfrom) {
    // The domain, not the address: DMARC filters align a bare domain
    // (OpenDMARC 1.4.2 did not align smtp.mailfrom=user@domain).
    const char *from = cd->mail_from.get();
    append_property(v, n, "smtp.mailfrom", std::strrchr(from, '@') + 1);
  } else if (cd->helo) {
    append_property(v, n, "smtp.helo", cd->helo.get());
  }
  if (helo_explanation != nullptr) {
    append(v, n, "; spf=%s (", result_name(cd->helo_result_index));
    append_escaped(v, n, helo_explanation, "()\\");
    append(v, n, ")");
    append_property(v, n, "smtp.helo", cd->helo.get());
  }
  blank_controls(v);
  return true;
}

bool auth_results_names_us(const char *value) {
  const char *p = skip_cfws(value);
  std::string id;
  if (*p == '"') {
    for (p++; *p != '\0' && *p != '"'; p++) {
      if (*p == '\\' && p[1] != '\0') p++;
      id += *p;
    }
  } else {
    while (*p != '\0' && std::strchr(" \t\r\n;(", *p) == nullptr) id += *p++;
  }
  return id.size() == receiver_len &&
         strncasecmp(id.c_str(), receiver_or_empty(), receiver_len) == 0;
}
