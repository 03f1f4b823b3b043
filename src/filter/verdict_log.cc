#include "filter/verdict_log.h"

#include <syslog.h>

#include <cstring>

#include "common/config.h"
#include "filter/connection.h"
#include "filter/result.h"
#include "filter/statistics.h"

const char *const message_action_words[MESSAGE_ACTION_COUNT] = {
    "accepted", "marked",        "refused",       "deferred",
    "aborted",  "quarantined",   "left_to_dmarc", "kept_only",
};

namespace {

const char *text_or_none(const unique_text &text) {
  return text ? text.get() : nullptr;
}

// What the message's verdict is about (see verdict_log.h). Unlike the
// header's identity= (which says "x-local" for every message without a
// verdict of its own), the log names why no check ran.
const char *logged_identity(const connection_data *cd) {
  if (cd->allowlisted) return "allowlist";
  if (cd->authenticated) return "auth";
  if (cd->helo_refusal) return "helo";
  if (cd->result_index < 0) return nullptr;
  if (config.recipient_mx) return "rcpt";
  const char *from = cd->mail_from ? cd->mail_from.get() : "";
  return *from != '\0' && std::strchr(from, '@') != nullptr ? "mailfrom"
                                                             : "helo";
}

// The message's result index; allowlisted and authenticated messages pass
// (as their header says), whether or not end of message was reached.
int logged_result(const connection_data *cd) {
  if (cd->allowlisted || cd->authenticated) return 0;
  return cd->result_index;
}

}  // namespace

void format_verdict_line(const verdict_fields &f, kv_line *out) noexcept {
  out->add("verdict: queue=");
  out->add_value(f.queue_id != nullptr && *f.queue_id != '\0' ? f.queue_id
                                                              : nullptr);
  out->add(" client=");
  out->add_value(f.client);
  out->add(" client_name=");
  out->add_value(f.client_name);
  out->add(" helo=");
  out->add_value(f.helo);
  out->add(" from=");
  if (f.sender != nullptr && *f.sender == '\0')
    out->add("<>");
  else
    out->add_value(f.sender);
  out->add(" identity=");
  out->add_value(f.identity);
  out->add(" spf=");
  out->add_value(f.result);
  out->add(" action=");
  int a = static_cast<int>(f.action);
  out->add(a >= 0 && a < MESSAGE_ACTION_COUNT ? message_action_words[a] : "-");
  out->add(" time_ms=");
  out->add_number(static_cast<unsigned long long>(f.micros < 0 ? 0 : f.micros) /
                  1000);
  out->add(" lookups=");
  out->add_number(f.lookups);
}

void open_message(connection_data *cd) noexcept {
  // No queue ID for a message still open here: the macros are the new
  // message's already (Sendmail sends {i} with MAIL FROM).
  finish_message(nullptr, cd, message_action::aborted);
  cd->message_open = 1;
  cd->helo_refusal = 0;
  cd->lib->cost = check_cost{};
}

// What the connection's decision adds to the action a message ended with.
static message_action refined_action(const connection_data *cd,
                                     message_action action) {
  if (action == message_action::marked) {
    if (cd->action == ACTION_QUARANTINE) return message_action::quarantined;
    if (cd->action == ACTION_DMARC) return message_action::left_to_dmarc;
    if (cd->action == ACTION_HELD) return message_action::kept_only;
  }
  if (action == message_action::aborted && cd->action == ACTION_HELD &&
      cd->kept_recipients == 0 && cd->held_rcode != nullptr)
    return cd->held_rcode[0] == '4' ? message_action::deferred
                                    : message_action::refused;
  return action;
}

void finish_message(SMFICTX *ctx, connection_data *cd,
                    message_action action) noexcept {
  if (cd == nullptr || !cd->message_open) return;
  cd->message_open = 0;
  action = refined_action(cd, action);
  int result = logged_result(cd);
  count_message(result, action);
  if (!config.verdict_log) return;
  verdict_fields f;
  // Postfix gives the queue ID with DATA and end of message, Sendmail from
  // MAIL FROM on; a message refused at MAIL FROM by Postfix has none yet.
  if (ctx != nullptr) f.queue_id = smfi_getsymval(ctx, const_cast<char *>("i"));
  f.client = text_or_none(cd->ip_str);
  f.client_name = text_or_none(cd->client_name);
  f.helo = text_or_none(cd->helo);
  f.sender = text_or_none(cd->mail_from);
  f.identity = logged_identity(cd);
  f.result = result >= 0 && result < RESULT_COUNT ? result_names[result]
                                                  : nullptr;
  f.action = action;
  f.micros = cd->lib->cost.micros;
  f.lookups = cd->lib->cost.lookups;
  kv_line line;
  format_verdict_line(f, &line);
  syslog(LOG_INFO, "%s", line.c_str());
}
