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
#include "filter/verdict_log.h"

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

// The longest explanation, escaped, that a header takes whole: with
// "Received-SPF: unknown-mechanisms (" or " spf=temperror (" before it and
// ")" after, it still fits a line.
constexpr std::size_t kCommentRoom = 960;

// Writes the explanation of a verdict (index) about the sender `from` into
// out (room SCRATCH_SIZE); returns the length it needed.
int write_explanation_of(char *out, int index, const char *from,
                         const char *ip) {
  const char *r = receiver_or_empty();
  const std::size_t n = SCRATCH_SIZE;
  switch (index) {
    case 0:
      return std::snprintf(out, n,
                           "%s: domain of %s designates %s as permitted sender",
                           r, from, ip);
    case 1:
      return std::snprintf(
          out, n, "%s: domain of %s does not designate %s as permitted sender",
          r, from, ip);
    case 2:
      return std::snprintf(
          out, n,
          "%s: domain of transitioning %s does not designate %s as "
          "permitted sender",
          r, from, ip);
    case 3:
      return std::snprintf(
          out, n, "%s: %s is neither permitted nor denied by domain of %s", r,
          ip, from);
    case 4:
      return std::snprintf(out, n, "%s: unknown result during lookup of %s", r,
                           from);
    case 5:
      return std::snprintf(
          out, n,
          "%s: domain of %s uses a mechanism not recognized by this "
          "client",
          r, from);
    case 6:
      return std::snprintf(out, n, "%s: domain of %s has invalid SPF", r, from);
    case 7:
      return std::snprintf(
          out, n, "%s: temporary error in processing during lookup of %s", r,
          from);
    case 8:
      return std::snprintf(
          out, n, "%s: error in processing during lookup of %s", r, from);
    case 9:
      return std::snprintf(
          out, n, "%s: %s does not designate permitted sender hosts", r, from);
    default:
      return std::snprintf(out, n, "%s: ???", r);
  }
}

// The explanation of a verdict about `from`, whole. A sender longer than
// the legal 64 + 1 + 255 characters (Postfix takes far longer local parts)
// could take the comment past a line: the explanation then names the
// sender's domain, and failing that no sender, rather than cut it.
void write_explanation(char *out, int index, const char *from, const char *ip) {
  auto fits = [out](int needed) {
    return needed >= 0 && static_cast<std::size_t>(needed) < SCRATCH_SIZE &&
           escaped_length(out, "()\\") <= kCommentRoom;
  };
  if (fits(write_explanation_of(out, index, from, ip))) return;
  const char *at = std::strrchr(from, '@');
  if (at != nullptr && fits(write_explanation_of(out, index, at + 1, ip)))
    return;
  write_explanation_of(out, index, "an overlong sender", ip);
}

// The explanation of a verdict this host made (see verdict_source): said
// as the receiver's decision, naming no domain.
void write_local_explanation(char *out, int index, int source, const char *ip) {
  const char *r = receiver_or_empty();
  if (source == SOURCE_LOOPBACK)
    std::snprintf(out, SCRATCH_SIZE, "%s: %s is this host", r, ip);
  else if (index == 0)
    std::snprintf(out, SCRATCH_SIZE, "%s: %s is permitted by local policy", r,
                  ip);
  else
    std::snprintf(out, SCRATCH_SIZE, "%s: %s is not permitted by local policy",
                  r, ip);
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
  if (cd->result_source != SOURCE_RECORD)
    write_local_explanation(cd->scratch, cd->result_index, cd->result_source,
                            ip_or_empty(cd));
  else
    write_explanation(cd->scratch, cd->result_index, from, ip_or_empty(cd));
}

// Appends a piece of a Received-SPF value; a key too long for a line (a
// client's overlong text) is logged and left out whole.
void add_key(folded_value &v, char *piece) {
  if (add_piece(v, piece)) return;
  const char *key = piece + 1;
  syslog(LOG_INFO, "header key %.*s left out: too long for a line",
         static_cast<int>(std::strcspn(key, "=")), key);
}

// A Received-SPF value into v (room HEADER_VALUE_SIZE): the result word of
// index, the explanation as a comment, the fields, the identity the
// verdict is about. It is folded before a key only where a line would pass
// MAX_LINE, as RFC 7208 section 9.1 folds its examples; no key is cut.
// Control characters (only the client's HELO name and sender can hold
// them) are written as "?": they would fold or split the header.
void build_value(char *v, const connection_data *cd, int index,
                 const char *explanation, const char *identity) {
  folded_value value = start_value(v, HEADER_VALUE_SIZE, kHeaderName);
  char piece[PIECE_SIZE];
  // The explanation is a comment: a parenthesis or backslash of the
  // client's (in the sender or HELO name it quotes) is escaped, so the
  // comment ends where the daemon ends it.
  std::snprintf(piece, sizeof piece, "%s (", result_name(index));
  append_escaped(piece, sizeof piece, explanation, "()\\");
  append(piece, sizeof piece, ")");
  if (!add_piece(value, piece)) {
    std::snprintf(piece, sizeof piece, "%s", result_name(index));
    add_piece(value, piece);
  }
  if (receiver) {
    std::snprintf(piece, sizeof piece, " receiver=%s;", receiver.get());
    add_key(value, piece);
  }
  if (cd->ip_str) {
    std::snprintf(piece, sizeof piece, " client-ip=%s;", cd->ip_str.get());
    add_key(value, piece);
  }
  if (cd->helo) {
    piece[0] = '\0';
    append_field(piece, sizeof piece, "helo", cd->helo.get());
    add_key(value, piece);
  }
  if (cd->mail_from) {
    piece[0] = '\0';
    append_field(piece, sizeof piece, "envelope-from", cd->mail_from.get());
    add_key(value, piece);
  }
  // After the client's fields, so that no client text comes after it:
  // readers take the last identity= of the value.
  std::snprintf(piece, sizeof piece, " identity=%s;", identity);
  add_key(value, piece);
  std::snprintf(piece, sizeof piece, " x-software=%s %s %s with %s;",
                DAEMON_NAME, DAEMON_VERSION, HOME_PAGE_URL, version_text);
  add_key(value, piece);
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
      !is_spf_result(cd->result_index) || cd->result_source != SOURCE_RECORD)
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
  if (cd->helo_result_source != SOURCE_RECORD) {
    write_local_explanation(explanation, cd->helo_result_index,
                            cd->helo_result_source, ip_or_empty(cd));
    build_value(cd->helo_header_value, cd, cd->helo_result_index, explanation,
                "x-local");
    return true;
  }
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
  bool marked = build_received_spf(cd);
  if (marked) {
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
  finish_message(ctx, cd,
                 marked ? message_action::marked : message_action::accepted);
  cd->mail_from.reset();
  cd->use_mail_from.reset();
  return SMFIS_CONTINUE;
}
