#include "filter/result.h"

#include <syslog.h>

#include <cstring>

#include "common/config.h"
#include "filter/connection.h"
#include "filter/verdict_log.h"

const char *const result_names[RESULT_COUNT] = {
    "pass",    "fail",    "softfail",        "neutral", "unknown",
    "unknown-mechanisms", "invalid", "temperror", "permerror",    "none",
};

const char *result_name(int index) {
  if (index < 0 || index >= RESULT_COUNT) return "???";
  return result_names[index];
}

int spf_result_index(std::uint32_t result) {
  switch (result) {
    case SPF_RESULT_INVALID: return 6;
    case SPF_RESULT_NEUTRAL: return 3;
    case SPF_RESULT_PASS: return 0;
    case SPF_RESULT_FAIL: return 1;
    case SPF_RESULT_SOFTFAIL: return 2;
    case SPF_RESULT_NONE: return 9;
    case SPF_RESULT_TEMPERROR: return 7;
    case SPF_RESULT_PERMERROR: return 8;
    default: return -1;
  }
}

int verdict_source(const lib_data *lib) {
  if (lib->reason == SPF_REASON_LOCALHOST) return SOURCE_LOOPBACK;
  if (lib->reason == SPF_REASON_LOCAL_POLICY) return SOURCE_LOCAL_POLICY;
  return SOURCE_RECORD;
}

void build_rejection_text(const char *t, char (&out)[REPLY_TEXT_SIZE]) {
  if (t == nullptr) {
    std::strcpy(out, "rejected by heronsend");
    return;
  }
  // A doubled "%" written at 997 takes the text to 999 characters, which
  // still leaves room for the terminator.
  std::size_t n = 0;
  while (*t != '\0' && n < REPLY_TEXT_SIZE - 2) {
    if (std::strncmp(t, "%40", 3) == 0) {
      out[n++] = '@';
      t += 3;
    } else if (*t == '%') {
      out[n++] = '%';
      out[n++] = '%';
      t++;
    } else {
      out[n++] = *t++;
    }
  }
  out[n] = '\0';
}

namespace {

// The library's word for the connection's latest result, or none.
const char *library_word(const connection_data *cd) {
  std::uint32_t code = cd->lib->result;
  return code <= SPF_RESULT_PERMERROR
             ? SPF_strresult(static_cast<SPF_result_t>(code))
             : nullptr;
}

// Refuses (550) or defers (451) the message, or in recipient-MX mode this
// recipient, with the reply text t (see build_rejection_text) and the log
// line naming `what`.
sfsistat turn_away(SMFICTX *ctx, connection_data *cd, const char *rcode,
                   const char *xcode, const char *what, const char *t) {
  bool defer = rcode[0] == '4';
  cd->action = defer ? ACTION_DEFER : ACTION_REJECT;
  syslog(LOG_INFO, "%s mail from [%s] - %s", defer ? "deferring" : "rejecting",
         cd->ip_str ? cd->ip_str.get() : "", what);
  char text[REPLY_TEXT_SIZE];
  build_rejection_text(t, text);
  smfi_setreply(ctx, const_cast<char *>(rcode), const_cast<char *>(xcode),
                text);
  // In the normal mode the answer at MAIL FROM ends the message: its
  // verdict line now (after the line above, which stays as it is), then
  // its texts go. In recipient-MX mode only this recipient is refused and
  // the message goes on to its end, where the header (and the verdict
  // line) still need them.
  if (!config.recipient_mx) {
    finish_message(ctx, cd,
                   defer ? message_action::deferred : message_action::refused);
    cd->mail_from.reset();
    cd->use_mail_from.reset();
  }
  return defer ? SMFIS_TEMPFAIL : SMFIS_REJECT;
}

}  // namespace

sfsistat apply_spf_result(SMFICTX *ctx) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return SMFIS_ACCEPT;
  int i = cd->result_index;
  if (i < 0 || i >= RESULT_COUNT) return SMFIS_CONTINUE;
  // The replies RFC 7208 section 8 names for each result a receiver turns
  // away; with -m nothing is.
  if (!config.mark_only) {
    const char *what = result_name(i);
    const char *t = library_word(cd);
    if (i == 1) return turn_away(ctx, cd, "550", "5.7.1", what, t);
    if (i == 2 && config.refuse_softfail)
      return turn_away(ctx, cd, "550", "5.7.1", what, t);
    if (i == 8 && config.refuse_permerror)
      return turn_away(ctx, cd, "550", "5.5.2", what, t);
    if (i == 7 && config.defer_temperror)
      return turn_away(ctx, cd, "451", "4.4.3", what, t);
  }
  cd->action = ACTION_MARK;
  return SMFIS_CONTINUE;
}

sfsistat refuse_helo_fail(SMFICTX *ctx) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return SMFIS_ACCEPT;
  cd->helo_refusal = 1;
  cd->result_index = cd->helo_result_index;
  return turn_away(ctx, cd, "550", "5.7.1", "HELO fail", "HELO fail");
}
