#include "filter/headers.h"

#include <strings.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "common/config.h"
#include "common/safe_text.h"
#include "common/version.h"
#include "filter/auth_results.h"
#include "filter/connection.h"
#include "filter/header_text.h"
#include "filter/result.h"

namespace {

const char kHeaderName[] = "Received-SPF";
const char kAuthResultsName[] = "Authentication-Results";

// text begins with the receiver's name (any letter case) followed by end.
bool names_receiver(const char *text, char end) {
  return strncasecmp(text, receiver_or_empty(), receiver_len) == 0 &&
         text[receiver_len] == end;
}

// Test A: after the last ")" of the value (or in the whole value), the
// first " receiver=" is followed by this host's name and ";".
bool receiver_field_is_ours(const char *value) {
  const char *close = std::strrchr(value, ')');
  const char *rest = close ? close + 1 : value;
  const char *field = std::strstr(rest, " receiver=");
  return field != nullptr && names_receiver(field + 10, ';');
}

// Test B: after the first word and the blanks that follow it, "(" then this
// host's name and ":".
bool comment_names_us(const char *value) {
  const char *p = value;
  while (*p != '\0' && *p != ' ' && *p != '\t') p++;
  while (*p == ' ' || *p == '\t') p++;
  return *p == '(' && names_receiver(p + 1, ':');
}

// Writes the explanation of a verdict (index) about the sender `from` into
// out (room SCRATCH_SIZE).
void write_explanation(char *out, int index, const char *from, const char *ip) {
  const char *r = receiver_or_empty();
  const std::size_t n = SCRATCH_SIZE;
  switch (index) {
    case 0:
      std::snprintf(out, n, "%s: domain of %s designates %s as permitted sender",
                    r, from, ip);
      break;
    case 1:
      std::snprintf(out, n,
                    "%s: domain of %s does not designate %s as permitted sender",
                    r, from, ip);
      break;
    case 2:
      std::snprintf(out, n,
                    "%s: domain of transitioning %s does not designate %s as "
                    "permitted sender",
                    r, from, ip);
      break;
    case 3:
      std::snprintf(out, n,
                    "%s: %s is neither permitted nor denied by domain of %s", r,
                    ip, from);
      break;
    case 4:
      std::snprintf(out, n, "%s: unknown result during lookup of %s", r, from);
      break;
    case 5:
      std::snprintf(out, n,
                    "%s: domain of %s uses a mechanism not recognized by this "
                    "client",
                    r, from);
      break;
    case 6:
      std::snprintf(out, n, "%s: domain of %s has invalid SPF", r, from);
      break;
    case 7:
      std::snprintf(out, n,
                    "%s: temporary error in processing during lookup of %s", r,
                    from);
      break;
    case 8:
      std::snprintf(out, n, "%s: error in processing during lookup of %s", r,
                    from);
      break;
    case 9:
      std::snprintf(out, n, "%s: %s does not designate permitted sender hosts",
                    r, from);
      break;
    default:
      std::snprintf(out, n, "%s: ???", r);
      break;
  }
}

const char *ip_or_empty(const connection_data *cd) {
  return cd->ip_str ? cd->ip_str.get() : "";
}

// Writes the explanation of the message's verdict into cd->scratch; an
// allowlisted client or an authenticated sender counts as a pass.
void explain(connection_data *cd) {
  const char *r = receiver_or_empty();
  const char *from = cd->use_mail_from ? cd->use_mail_from.get() : "";
  if (cd->allowlisted) {
    cd->result_index = 0;
    cd->action = ACTION_MARK;
    std::snprintf(cd->scratch, SCRATCH_SIZE, "%s: %s is allowlisted", r,
                  ip_or_empty(cd));
    return;
  }
  if (cd->authenticated) {
    cd->result_index = 0;
    cd->action = ACTION_MARK;
    std::snprintf(cd->scratch, SCRATCH_SIZE, "%s: authenticated connection", r);
    return;
  }
  write_explanation(cd->scratch, cd->result_index, from, ip_or_empty(cd));
}

// A Received-SPF value into v (room HEADER_VALUE_SIZE): the result word of
// index, the explanation as a comment, the fields, the identity the
// verdict is about.
void build_value(char *v, const connection_data *cd, int index,
                 const char *explanation, const char *identity) {
  const std::size_t n = HEADER_VALUE_SIZE;
  v[0] = '\0';
  append(v, n, "%s", result_name(index));
  // The explanation is a comment: a parenthesis or backslash of the
  // client's (in the sender or HELO name it quotes) is escaped, so the
  // comment ends where the daemon ends it.
  append(v, n, " (");
  append_escaped(v, n, explanation, "()\\");
  append(v, n, ")");
  if (receiver) append(v, n, " receiver=%s;", receiver.get());
  if (cd->ip_str) append(v, n, " client-ip=%s;", cd->ip_str.get());
  if (cd->helo) append_field(v, n, "helo", cd->helo.get());
  if (cd->mail_from) append_field(v, n, "envelope-from", cd->mail_from.get());
  // After the client's fields, so that no client text comes after it:
  // readers take the last identity= of the value.
  append(v, n, " identity=%s;", identity);
  append(v, n, " x-software=%s %s %s with %s;", DAEMON_NAME, DAEMON_VERSION,
         HOME_PAGE_URL, version_text);
  // The fixed parts hold no control characters: any here came from the
  // client (HELO name, sender) and would fold or split the header.
  blank_controls(v);
}

// The verdicts RFC 7208 defines, the ones readers act on.
bool is_spf_result(int index) {
  return index == 0 || index == 1 || index == 2 || index == 3 || index == 7 ||
         index == 8 || index == 9;
}

// Records a suspect header's index, or only counts it once the slots are
// full (every header of that name is then deleted at end of message).
void note_suspect(int *count, int *slots, int index, const char *value) {
  syslog(LOG_NOTICE, "found possible spoofed header - '%s'",
         log_text(value).c_str());
  if (*count < SPOOF_SLOTS) slots[(*count)++] = index;
}

// Deletes the suspects of one header name, from the highest index down so
// that the lower indices stay valid; with the slots full, suspects may have
// gone unrecorded, so every header of that name goes.
void delete_suspects(SMFICTX *ctx, const char *name, int headers, int count,
                     const int *slots) {
  char *n = const_cast<char *>(name);
  if (count >= SPOOF_SLOTS) {
    for (int i = headers; i >= 1; i--) smfi_chgheader(ctx, n, i, nullptr);
  } else {
    for (int k = count - 1; k >= 0; k--)
      smfi_chgheader(ctx, n, slots[k], nullptr);
  }
}

// RESULT=quarantine: hands the message to the MTA's quarantine (Postfix's
// hold queue) with a reason naming the daemon, the verdict and the client;
// no text of the sender's goes into it. A quarantine the MTA refuses leaves
// the message delivered, marked.
void quarantine_message(SMFICTX *ctx, const connection_data *cd) {
  char reason[120];
  std::snprintf(reason, sizeof reason, "%s: SPF %s from [%s]", DAEMON_NAME,
                result_name(cd->result_index), ip_or_empty(cd));
  if (smfi_quarantine(ctx, reason) != MI_SUCCESS)
    syslog(LOG_ERR, "smfi_quarantine() failed - delivering the message marked");
}

}  // namespace

const char *checked_identity(const connection_data *cd) {
  if (cd->allowlisted || cd->authenticated || config.recipient_mx ||
      !is_spf_result(cd->result_index))
    return "x-local";
  const char *from = cd->mail_from ? cd->mail_from.get() : "";
  return *from != '\0' && std::strchr(from, '@') != nullptr ? "mailfrom"
                                                             : "helo";
}

bool build_received_spf(connection_data *cd) {
  explain(cd);
  if (!action_marks(cd->action)) return false;
  build_value(cd->header_value, cd, cd->result_index, cd->scratch,
              checked_identity(cd));
  return true;
}

bool build_helo_received_spf(connection_data *cd, char *explanation) {
  if (!cd->helo || !is_spf_result(cd->helo_result_index) ||
      std::strcmp(checked_identity(cd), "mailfrom") != 0)
    return false;
  char from[SCRATCH_SIZE];
  std::snprintf(from, sizeof from, "postmaster@%s", cd->helo.get());
  write_explanation(explanation, cd->helo_result_index, from, ip_or_empty(cd));
  build_value(cd->helo_header_value, cd, cd->helo_result_index, explanation,
              "helo");
  return true;
}

bool received_spf_is_suspect(const char *value) {
  return receiver_field_is_ours(value) || comment_names_us(value);
}

sfsistat spf_header(SMFICTX *ctx, char *name, char *value) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) {
    syslog(LOG_NOTICE, "spf_header called but cd is null");
    return SMFIS_ACCEPT;
  }
  if (name == nullptr) return SMFIS_CONTINUE;
  if (value == nullptr) value = const_cast<char *>("");
  if (strcasecmp(name, kHeaderName) == 0) {
    cd->header_count++;
    if (received_spf_is_suspect(value))
      note_suspect(&cd->spoof_count, cd->spoof_index, cd->header_count, value);
  } else if (config.auth_results && strcasecmp(name, kAuthResultsName) == 0) {
    cd->auth_results_count++;
    if (auth_results_names_us(value))
      note_suspect(&cd->auth_results_spoofs, cd->auth_results_index,
                   cd->auth_results_count, value);
  }
  return SMFIS_CONTINUE;
}

sfsistat spf_eom(SMFICTX *ctx) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) {
    syslog(LOG_NOTICE, "spf_eom called but cd is null");
    return SMFIS_CONTINUE;
  }
  delete_suspects(ctx, kHeaderName, cd->header_count, cd->spoof_count,
                  cd->spoof_index);
  delete_suspects(ctx, kAuthResultsName, cd->auth_results_count,
                  cd->auth_results_spoofs, cd->auth_results_index);

  // Trace fields, inserted at the top, last first: the message's
  // Received-SPF on top, the HELO identity's below it, then
  // Authentication-Results.
  if (build_received_spf(cd)) {
    char helo_explanation[SCRATCH_SIZE];
    bool helo = build_helo_received_spf(cd, helo_explanation);
    if (config.auth_results &&
        build_authentication_results(cd, helo ? helo_explanation : nullptr))
      smfi_insheader(ctx, 0, const_cast<char *>(kAuthResultsName),
                     cd->auth_results_value);
    if (helo)
      smfi_insheader(ctx, 0, const_cast<char *>(kHeaderName),
                     cd->helo_header_value);
    smfi_insheader(ctx, 0, const_cast<char *>(kHeaderName), cd->header_value);
  }
  if (cd->action == ACTION_QUARANTINE) quarantine_message(ctx, cd);
  cd->mail_from.reset();
  cd->use_mail_from.reset();
  return SMFIS_CONTINUE;
}
