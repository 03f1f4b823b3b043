#include "filter/headers.h"

#include <strings.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/safe_text.h"
#include "common/version.h"
#include "filter/connection.h"
#include "filter/result.h"

namespace {

const char kHeaderName[] = "Received-SPF";

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

// Appends printf-style text to buf (holding a terminated text) as far as
// room remains.
void append(char *buf, std::size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void append(char *buf, std::size_t size, const char *format, ...) {
  std::size_t len = std::strlen(buf);
  if (len + 1 >= size) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf + len, size - len, format, args);
  va_end(args);
}

// Appends text to buf as far as room remains, with a backslash before each
// character in `escaped` (an escaped pair is appended whole or not at all).
void append_escaped(char *buf, std::size_t size, const char *text,
                    const char *escaped) {
  std::size_t len = std::strlen(buf);
  for (const char *p = text; *p != '\0'; p++) {
    bool escape = std::strchr(escaped, *p) != nullptr;
    if (len + (escape ? 2 : 1) + 1 > size) break;
    if (escape) buf[len++] = '\\';
    buf[len++] = *p;
  }
  buf[len] = '\0';
}

// A field value that would not read back as one value: it holds a blank,
// a control character, the field separator ";", a quote, a parenthesis or a
// backslash. Ordinary host names and addresses hold none of them.
bool needs_quotes(const char *value) {
  for (const char *p = value; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (is_control_char(c) || std::strchr(" ;\"()\\", c) != nullptr)
      return true;
  }
  return false;
}

// Appends " key=value;", the value as a quoted string when it needs one, so
// that client text (HELO name, sender) cannot end its field early and add
// fields of its own choosing.
void append_field(char *buf, std::size_t size, const char *key,
                  const char *value) {
  append(buf, size, " %s=", key);
  if (!needs_quotes(value)) {
    append(buf, size, "%s;", value);
    return;
  }
  append(buf, size, "\"");
  append_escaped(buf, size, value, "\"\\");
  append(buf, size, "\";");
}

// Writes the explanation of the message's verdict into cd->scratch; an
// allowlisted client or an authenticated sender counts as a pass.
void explain(connection_data *cd) {
  const char *r = receiver_or_empty();
  const char *from = cd->use_mail_from ? cd->use_mail_from.get() : "";
  const char *ip = cd->ip_str ? cd->ip_str.get() : "";
  char *out = cd->scratch;
  const std::size_t n = SCRATCH_SIZE;
  if (cd->allowlisted) {
    cd->result_index = 0;
    cd->action = ACTION_MARK;
    std::snprintf(out, n, "%s: %s is allowlisted", r, ip);
    return;
  }
  if (cd->authenticated) {
    cd->result_index = 0;
    cd->action = ACTION_MARK;
    std::snprintf(out, n, "%s: authenticated connection", r);
    return;
  }
  switch (cd->result_index) {
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

void build_header_value(connection_data *cd) {
  char *v = cd->header_value;
  const std::size_t n = HEADER_VALUE_SIZE;
  v[0] = '\0';
  append(v, n, "%s", result_name(cd->result_index));
  // The explanation is a comment: a parenthesis or backslash of the
  // client's (in the sender or HELO name it quotes) is escaped, so the
  // comment ends where the daemon ends it.
  append(v, n, " (");
  append_escaped(v, n, cd->scratch, "()\\");
  append(v, n, ")");
  if (receiver) append(v, n, " receiver=%s;", receiver.get());
  if (cd->ip_str) append(v, n, " client-ip=%s;", cd->ip_str.get());
  if (cd->helo) append_field(v, n, "helo", cd->helo.get());
  if (cd->mail_from) append_field(v, n, "envelope-from", cd->mail_from.get());
  append(v, n, " x-software=%s %s %s with %s;", DAEMON_NAME, DAEMON_VERSION,
         HOME_PAGE_URL, version_text);
  // The fixed parts hold no control characters: any here came from the
  // client (HELO name, sender) and would fold or split the header.
  blank_controls(v);
}

}  // namespace

bool build_received_spf(connection_data *cd) {
  explain(cd);
  if (cd->action != ACTION_MARK) return false;
  build_header_value(cd);
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
  if (name == nullptr || strcasecmp(name, kHeaderName) != 0)
    return SMFIS_CONTINUE;
  if (value == nullptr) value = const_cast<char *>("");
  cd->header_count++;
  if (received_spf_is_suspect(value)) {
    syslog(LOG_NOTICE, "found possible spoofed header - '%s'",
           log_text(value).c_str());
    if (cd->spoof_count < SPOOF_SLOTS)
      cd->spoof_index[cd->spoof_count++] = cd->header_count;
  }
  return SMFIS_CONTINUE;
}

sfsistat spf_eom(SMFICTX *ctx) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) {
    syslog(LOG_NOTICE, "spf_eom called but cd is null");
    return SMFIS_CONTINUE;
  }
  char *name = const_cast<char *>(kHeaderName);
  // Deleting from the highest index down keeps the lower indices valid.
  // With the slots full, suspects may have gone unrecorded: delete every
  // Received-SPF header of the message.
  if (cd->spoof_count >= SPOOF_SLOTS) {
    for (int i = cd->header_count; i >= 1; i--)
      smfi_chgheader(ctx, name, i, nullptr);
  } else {
    for (int k = cd->spoof_count - 1; k >= 0; k--)
      smfi_chgheader(ctx, name, cd->spoof_index[k], nullptr);
  }

  if (build_received_spf(cd)) smfi_insheader(ctx, 0, name, cd->header_value);
  cd->mail_from.reset();
  cd->use_mail_from.reset();
  return SMFIS_CONTINUE;
}
