#include "filter/result.h"

#include <syslog.h>

#include <cstring>

#include <chrono>
#include <string>

#include "common/config.h"
#include "common/safe_text.h"
#include "filter/connection.h"
#include "filter/verdict_log.h"
#include "filter/recipients.h"

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

// The sender's text made safe for a reply: printable ASCII, every other
// byte a blank, runs of blanks one, none at either end; at most max
// characters.
std::string reply_safe(const char *text, std::size_t max) {
  std::string out;
  for (const char *p = text; *p != '\0' && out.size() < max; p++) {
    char c = *p;
    if (c <= ' ' || c > '~') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Copies text into a reply line, "%" doubled.
void write_line(char (&line)[2 * EXPLAINED_LINE_SIZE + 1], std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    if (n + 2 >= sizeof line) break;
    line[n++] = c;
    if (c == '%') line[n++] = '%';
  }
  line[n] = '\0';
}

}  // namespace

bool build_explained_reply(const char *domain, const char *explanation,
                           explained_reply *out) {
  *out = explained_reply{};
  if (explanation == nullptr) return false;
  const std::size_t text_max = EXPLAINED_TEXT_LINES * EXPLAINED_LINE_SIZE;
  std::string text = reply_safe(explanation, text_max + 1);
  if (text.empty()) return false;
  std::string head = "The domain " + reply_safe(domain ? domain : "", 253) +
                     " explains:";
  if (head.size() + 1 + text.size() <= EXPLAINED_LINE_SIZE) {
    write_line(out->line[0], head + " " + text);
    out->lines = 1;
    return true;
  }
  if (text.size() > text_max) text = text.substr(0, text_max - 3) + "...";
  write_line(out->line[0], head);
  out->lines = 1;
  std::string_view rest(text);
  std::string last;
  while (!rest.empty() && out->lines <= EXPLAINED_TEXT_LINES) {
    std::size_t take = rest.size();
    if (take > EXPLAINED_LINE_SIZE) {
      // At the last blank that fits, if there is one in the line's second
      // half; a long word is cut.
      take = EXPLAINED_LINE_SIZE;
      std::size_t blank = rest.substr(0, EXPLAINED_LINE_SIZE + 1).rfind(' ');
      if (blank != std::string_view::npos && blank >= EXPLAINED_LINE_SIZE / 2)
        take = blank;
    }
    last = std::string(rest.substr(0, take));
    write_line(out->line[out->lines++], last);
    rest.remove_prefix(take);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  }
  // Cut at blanks, the text may not fit the lines: the last one says so.
  if (!rest.empty() &&
      (last.size() < 3 || last.compare(last.size() - 3, 3, "...") != 0)) {
    last = last.substr(0, EXPLAINED_LINE_SIZE - 3) + "...";
    write_line(out->line[out->lines - 1], last);
  }
  return true;
}

namespace {

// The library's word for the connection's latest result, or none.
const char *library_word(const connection_data *cd) {
  std::uint32_t code = cd->lib->result;
  return code <= SPF_RESULT_PERMERROR
             ? SPF_strresult(static_cast<SPF_result_t>(code))
             : nullptr;
}

const char *ip_of(const connection_data *cd) {
  return cd->ip_str ? cd->ip_str.get() : "";
}

// The domain of the sender checked (after its last "@"), or "".
const char *sender_domain(const connection_data *cd) {
  const char *from = cd->use_mail_from ? cd->use_mail_from.get() : "";
  const char *at = std::strrchr(from, '@');
  return at ? at + 1 : "";
}

// Sets the reply of a refusal: with -b, a fail's explanation (for the
// message's own verdict, not the HELO name's); otherwise the text t (see
// build_rejection_text).
void set_refusal_reply(SMFICTX *ctx, connection_data *cd, const char *rcode,
                       const char *xcode, bool explained, const char *t) {
  char *r = const_cast<char *>(rcode), *x = const_cast<char *>(xcode);
  explained_reply reply;
  if (explained && config.bounce_explanation &&
      build_explained_reply(sender_domain(cd), lib_explanation(cd->lib.get()),
                            &reply)) {
    int set = MI_FAILURE;
    if (reply.lines == 1) {
      set = smfi_setreply(ctx, r, x, reply.line[0]);
    } else {
      char *l[EXPLAINED_TEXT_LINES + 1] = {};
      for (int i = 0; i < reply.lines; i++) l[i] = reply.line[i];
      set = smfi_setmlreply(ctx, r, x, l[0], l[1], l[2], l[3], nullptr);
    }
    if (set == MI_SUCCESS) return;
    syslog(LOG_ERR, "smfi_setmlreply() failed - replying without the explanation");
  }
  char text[REPLY_TEXT_SIZE];
  build_rejection_text(t, text);
  smfi_setreply(ctx, r, x, text);
}

// Refuses (550) or defers (451) the message, or in recipient-MX mode this
// recipient, with the reply text t (see build_rejection_text) and the log
// line naming `what`. With -k (and not in recipient-MX mode) the refusal is
// held for the recipients instead and MAIL FROM is accepted.
sfsistat turn_away(SMFICTX *ctx, connection_data *cd, const char *rcode,
                   const char *xcode, const char *what, const char *t,
                   bool explained = false) {
  bool defer = rcode[0] == '4';
  if (config.keep_recipients != nullptr && !config.recipient_mx) {
    cd->action = ACTION_HELD;
    cd->held_rcode = rcode;
    cd->held_xcode = xcode;
    cd->held_text = t;
    cd->held_what = what;
    cd->held_explained = explained;
    cd->kept_recipients = 0;
    syslog(LOG_INFO, "%s mail from [%s] - %s - at each recipient but the kept ones",
           defer ? "deferring" : "rejecting", ip_of(cd), what);
    return SMFIS_CONTINUE;
  }
  cd->action = defer ? ACTION_DEFER : ACTION_REJECT;
  syslog(LOG_INFO, "%s mail from [%s] - %s", defer ? "deferring" : "rejecting",
         ip_of(cd), what);
  set_refusal_reply(ctx, cd, rcode, xcode, explained, t);
  // In the normal mode the answer at MAIL FROM ends the message, so its
  // texts go now. In recipient-MX mode only this recipient is refused and
  // the message goes on to its end, where the header still needs them.
  if (!config.recipient_mx) {
    finish_message(ctx, cd,
                   defer ? message_action::deferred : message_action::refused);
    cd->mail_from.reset();
    cd->use_mail_from.reset();
  }
  return defer ? SMFIS_TEMPFAIL : SMFIS_REJECT;
}

// RESULT=quarantine: accepted and marked now, held at end of message.
sfsistat quarantine(connection_data *cd, const char *what) {
  cd->action = ACTION_QUARANTINE;
  syslog(LOG_INFO, "quarantining mail from [%s] - %s", ip_of(cd), what);
  return SMFIS_CONTINUE;
}

// fail=dmarc: whether the fail is left to the DMARC filter downstream (and
// marked), because the sender's domain publishes an enforcing policy.
//
// A lookup that fails (SERVFAIL, a timeout, the check's time used up)
// counts as no enforcing policy: the fail stands and is refused as without
// the choice. The exception needs positive evidence that a DMARC filter can
// judge the message; without it that filter would meet the same failure
// and let the message through, so marking would pass the forgeries of any
// domain whose _dmarc lookup can be made to fail. A forwarded message of a
// DMARC domain is then refused as it is today without the choice.
bool left_to_dmarc(connection_data *cd) {
  const char *domain = sender_domain(cd);
  dmarc_policy policy = lib_dmarc_policy(cd->lib.get(), domain);
  switch (policy.kind) {
    case dmarc_policy_kind::enforcing:
      cd->action = ACTION_DMARC;
      syslog(LOG_INFO,
             "leaving mail from [%s] to DMARC - fail, but '%s' publishes "
             "p=%s at _dmarc.%s",
             ip_of(cd), log_text(domain).c_str(), policy.policy,
             log_text(policy.found_at).c_str());
      return true;
    case dmarc_policy_kind::failed:
      syslog(LOG_NOTICE,
             "DMARC policy lookup for '%s' failed - the fail stands",
             log_text(domain).c_str());
      return false;
    case dmarc_policy_kind::monitor:
    case dmarc_policy_kind::none:
      break;
  }
  syslog(LOG_INFO, "'%s' publishes no enforcing DMARC policy (%s) - the fail stands",
         log_text(domain).c_str(),
         policy.kind == dmarc_policy_kind::monitor ? "p=none" : "none");
  return false;
}

}  // namespace

sfsistat apply_spf_result(SMFICTX *ctx) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return SMFIS_ACCEPT;
  int i = cd->result_index;
  if (i < 0 || i >= RESULT_COUNT) return SMFIS_CONTINUE;
  // The replies RFC 7208 section 8 names for each result a receiver turns
  // away; with -m nothing is (nor quarantined).
  if (!config.mark_only) {
    const char *what = result_name(i);
    const char *t = library_word(cd);
    if (i == 1) {
      if (config.quarantine_fail) return quarantine(cd, what);
      if (config.fail_dmarc && left_to_dmarc(cd)) return SMFIS_CONTINUE;
      return turn_away(ctx, cd, "550", "5.7.1", what, t, true);
    }
    if (i == 2 && config.quarantine_softfail) return quarantine(cd, what);
    if (i == 2 && config.refuse_softfail)
      return turn_away(ctx, cd, "550", "5.7.1", what, t);
    if (i == 8 && config.quarantine_permerror) return quarantine(cd, what);
    if (i == 8 && config.refuse_permerror)
      return turn_away(ctx, cd, "550", "5.5.2", what, t);
    if (i == 7 && config.defer_temperror)
      return turn_away(ctx, cd, "451", "4.4.3", what, t);
  }
  cd->action = ACTION_MARK;
  return SMFIS_CONTINUE;
}

sfsistat refuse_recipient(SMFICTX *ctx, const char *recipient) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return SMFIS_ACCEPT;
  if (cd->action != ACTION_HELD || cd->held_rcode == nullptr)
    return SMFIS_CONTINUE;
  if (recipient_is_kept(config.keep_recipients, recipient)) {
    cd->kept_recipients++;
    syslog(LOG_INFO, "accepting mail from [%s] for kept recipient '%s' - %s",
           ip_of(cd), log_text(recipient).c_str(), cd->held_what);
    return SMFIS_CONTINUE;
  }
  bool defer = cd->held_rcode[0] == '4';
  syslog(LOG_INFO, "%s mail from [%s] - %s", defer ? "deferring" : "rejecting",
         ip_of(cd), cd->held_what);
  set_refusal_reply(ctx, cd, cd->held_rcode, cd->held_xcode, cd->held_explained,
                    cd->held_text);
  return defer ? SMFIS_TEMPFAIL : SMFIS_REJECT;
}

sfsistat refuse_helo_fail(SMFICTX *ctx) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return SMFIS_ACCEPT;
  cd->helo_refusal = 1;
  cd->result_index = cd->helo_result_index;
  return turn_away(ctx, cd, "550", "5.7.1", "HELO fail", "HELO fail");
}
