#include "filter/result.h"

#include <syslog.h>

#include <cstring>

#include "common/config.h"
#include "filter/connection.h"

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

sfsistat reject(SMFICTX *ctx, connection_data *cd) {
  cd->action = ACTION_REJECT;
  std::uint32_t code = cd->lib->result;
  const char *t = code <= SPF_RESULT_PERMERROR
                      ? SPF_strresult(static_cast<SPF_result_t>(code))
                      : nullptr;
  syslog(LOG_INFO, "rejecting mail from [%s] - %s",
         cd->ip_str ? cd->ip_str.get() : "", result_name(cd->result_index));
  char text[REPLY_TEXT_SIZE];
  build_rejection_text(t, text);
  smfi_setreply(ctx, const_cast<char *>("550"), const_cast<char *>("5.7.1"),
                text);
  // In the normal mode the refusal at MAIL FROM ends the message, so its
  // texts go now. In recipient-MX mode only this recipient is refused and
  // the message goes on to its end, where the header still needs them.
  if (!config.recipient_mx) {
    cd->mail_from.reset();
    cd->use_mail_from.reset();
  }
  return SMFIS_REJECT;
}

}  // namespace

sfsistat apply_spf_result(SMFICTX *ctx) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return SMFIS_ACCEPT;
  int i = cd->result_index;
  if (i == 0 || (i >= 2 && i < RESULT_COUNT)) {
    cd->action = ACTION_MARK;
    return SMFIS_CONTINUE;
  }
  if (i == 1) {
    if (config.mark_only) {
      cd->action = ACTION_MARK;
      return SMFIS_CONTINUE;
    }
    return reject(ctx, cd);
  }
  return SMFIS_CONTINUE;
}
