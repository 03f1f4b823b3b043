#include "filter/auth_results.h"

#include <strings.h>
#include <syslog.h>

#include <cstdio>
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

const char kAuthResultsName[] = "Authentication-Results";

// Appends one result, " spf=RESULT (EXPLANATION) PROPERTY=VALUE", with
// ";" after it when another follows (more). The value goes as a piece of
// its own, so a fold comes after a ";" or before a property; a value too
// long for a line (a client's overlong text) is logged and left out whole,
// never cut.
void add_result(folded_value &v, int index, const char *explanation,
                const char *property, const char *value, bool more) {
  char result[PIECE_SIZE];
  std::snprintf(result, sizeof result, " spf=%s (", result_name(index));
  append_escaped(result, sizeof result, explanation, "()\\");
  append(result, sizeof result, ")");
  char prop[PIECE_SIZE];
  prop[0] = '\0';
  if (value != nullptr) {
    append_property(prop, sizeof prop, property, value);
    if (std::strlen(prop) + (more ? 1 : 0) > MAX_LINE) {
      syslog(LOG_INFO, "header key %s left out: too long for a line", property);
      prop[0] = '\0';
    }
  }
  if (more) append(prop[0] != '\0' ? prop : result, PIECE_SIZE, ";");
  add_piece(v, result);
  if (prop[0] != '\0') add_piece(v, prop);
}

}  // namespace

bool build_authentication_results(connection_data *cd,
                                  const char *helo_explanation) {
  const char *identity = checked_identity(cd);
  bool mailfrom = std::strcmp(identity, "mailfrom") == 0;
  if (!mailfrom && std::strcmp(identity, "helo") != 0) return false;
  // A HELO pass this host made (loopback, local policy) is not the HELO
  // name's own result either.
  if (cd->helo_result_source != SOURCE_RECORD) helo_explanation = nullptr;

  folded_value v =
      start_value(cd->auth_results_value, HEADER_VALUE_SIZE, kAuthResultsName);
  char piece[PIECE_SIZE];
  piece[0] = '\0';
  const char *r = receiver_or_empty();
  if (*r != '\0' && std::strpbrk(r, " \t;()\"\\") == nullptr)
    append(piece, sizeof piece, "%s;", r);
  else {
    append_quoted(piece, sizeof piece, r);
    append(piece, sizeof piece, ";");
  }
  if (!add_piece(v, piece)) return false;
  // The domain, not the address: DMARC filters align a bare domain
  // (OpenDMARC 1.4.2 did not align smtp.mailfrom=user@domain).
  const char *property = mailfrom ? "smtp.mailfrom" : "smtp.helo";
  const char *value = nullptr;
  if (mailfrom)
    value = std::strrchr(cd->mail_from.get(), '@') + 1;
  else if (cd->helo)
    value = cd->helo.get();
  add_result(v, cd->result_index, cd->scratch, property, value,
             helo_explanation != nullptr);
  if (helo_explanation != nullptr)
    add_result(v, cd->helo_result_index, helo_explanation, "smtp.helo",
               cd->helo.get(), false);
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
