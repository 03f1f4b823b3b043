#include "filter/envelope.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "common/config.h"
#include "common/safe_text.h"
#include "filter/connection.h"
#include "filter/recipients.h"
#include "filter/result.h"
#include "filter/statistics.h"
#include "filter/verdict_log.h"

namespace {

// A callback without a record: spf_connect accepted the connection before
// attaching one, so libmilter should not call us again; accept if it does.
sfsistat no_record(const char *callback) {
  syslog(LOG_NOTICE, "%s called but cd is null", callback);
  return SMFIS_ACCEPT;
}

const char *text_or_empty(const unique_text &text) {
  return text ? text.get() : "";
}

// An authenticated sender: SMTP AUTH (any non-empty "{auth_type}"), or a TLS
// client certificate the MTA verified ("{verify}" exactly "OK"). An empty
// "{auth_type}" does not count: it would let an MTA that sends the macro
// for every session switch the check off for everybody.
bool sender_authenticated(SMFICTX *ctx) {
  const char *auth_type = smfi_getsymval(ctx, const_cast<char *>("{auth_type}"));
  const char *verify = smfi_getsymval(ctx, const_cast<char *>("{verify}"));
  return (auth_type != nullptr && *auth_type != '\0') ||
         (verify != nullptr && std::strcmp(verify, "OK") == 0);
}

// -c: the HELO name's own SPF check, once per connection (its first HELO
// name, the one the header shows). A check that cannot run leaves the
// connection without a HELO verdict; the sender is still checked.
void check_helo_identity(connection_data *cd) {
  bool checked = lib_do_helo_check(cd->lib.get(), cd->helo.get());
  count_query(cd->lib->cost);
  if (!checked) {
    syslog(LOG_ERR, "lib_do_helo_check() failed on HELO '%s' sent by [%s] - %s",
           log_text(cd->helo.get()).c_str(), text_or_empty(cd->ip_str),
           log_text(lib_error_string(cd->lib.get())).c_str());
    return;
  }
  cd->helo_result_index = spf_result_index(cd->lib->result);
  cd->helo_result_source = verdict_source(cd->lib.get());
}

}  // namespace

char *normalize_address(char *text) {
  while (*text == '<') text++;
  std::size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == '>') text[--n] = '\0';
  while (n > 0 && text[n - 1] == '\r') text[--n] = '\0';
  return text;
}

sfsistat spf_helo(SMFICTX *ctx, char *name) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return no_record("spf_helo");
  if (name == nullptr) name = const_cast<char *>("");

  bool first = !cd->helo;
  if (!cd->helo) {
    cd->helo = copy_text(name);
    if (!cd->helo) {
      syslog(LOG_ERR, "couldn't strdup helo");
      return SMFIS_ACCEPT;
    }
  } else if (std::strcmp(cd->helo.get(), name) != 0) {
    syslog(LOG_NOTICE, "multiple HELOs from %s [%s] - ignoring '%s'",
           log_text(cd->helo.get()).c_str(), text_or_empty(cd->ip_str),
           log_text(name).c_str());
  }
  // The SPF request gets the newest name; the header keeps the first.
  if (!cd->allowlisted && !lib_set_helo_hostname(cd->lib.get(), name)) {
    syslog(LOG_ERR, "lib_set_helo_hostname() failed - %s",
           lib_error_string(cd->lib.get()));
    return SMFIS_ACCEPT;
  }
  if (first && config.check_helo && !cd->allowlisted) check_helo_identity(cd);
  return SMFIS_CONTINUE;
}

void begin_message(connection_data *cd, char **argv) {
  open_message(cd);
  // A new message: forget everything about the previous one, including
  // texts left behind by a message that was accepted unchecked.
  cd->authenticated = 0;
  cd->mail_from.reset();
  cd->use_mail_from.reset();
  cd->result_index = -1;
  cd->result_source = SOURCE_RECORD;
  cd->action = ACTION_NONE;
  cd->held_rcode = cd->held_xcode = cd->held_text = cd->held_what = nullptr;
  cd->held_explained = false;
  cd->kept_recipients = 0;
  cd->header_count = 0;
  cd->spoof_count = 0;
  cd->auth_results_count = 0;
  cd->auth_results_spoofs = 0;
  cd->lib->result = SPF_RESULT_INVALID;

  char *from = normalize_address(argv && argv[0] ? argv[0]
                                                 : const_cast<char *>(""));
  cd->mail_from = copy_text(from);
}

sfsistat spf_envfrom(SMFICTX *ctx, char **argv) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return no_record("spf_envfrom");

  begin_message(cd, argv);
  if (!cd->mail_from) {
    syslog(LOG_ERR, "couldn't strdup mail_from");
    return SMFIS_ACCEPT;
  }
  if (cd->allowlisted) return SMFIS_CONTINUE;
  if (sender_authenticated(ctx)) {
    cd->authenticated = 1;
    return SMFIS_CONTINUE;
  }
  // -o helofail=refuse: a client whose HELO name fails is turned away
  // before its sender is looked at.
  if (config.refuse_helo_fail && !config.mark_only && cd->helo_result_index == 1)
    return refuse_helo_fail(ctx);

  // The null sender, or one without a domain, is checked as the postmaster
  // of the HELO name (or of the client address without a HELO).
  const char *sender = cd->mail_from.get();
  if (*sender == '\0' || std::strchr(sender, '@') == nullptr) {
    if (cd->helo)
      std::snprintf(cd->scratch, SCRATCH_SIZE, "mailer_daemon@%s",
                    cd->helo.get());
    else
      std::snprintf(cd->scratch, SCRATCH_SIZE, "mailer_daemon@[%s]",
                    text_or_empty(cd->ip_str));
    sender = cd->scratch;
  }
  cd->use_mail_from = copy_text(sender);
  if (!cd->use_mail_from) {
    syslog(LOG_ERR, "couldn't strdup use_mail_from");
    return SMFIS_ACCEPT;
  }
  if (!lib_set_from(cd->lib.get(), cd->use_mail_from.get())) {
    syslog(LOG_ERR, "lib_set_from() failed - %s",
           lib_error_string(cd->lib.get()));
    return SMFIS_ACCEPT;
  }
  // In recipient-MX mode the check runs per recipient instead.
  if (config.recipient_mx) return SMFIS_CONTINUE;

  bool checked = lib_do_check(cd->lib.get());
  count_query(cd->lib->cost);
  if (!checked) {
    syslog(LOG_ERR, "lib_do_check() failed on mail from '%s' sent by [%s] - %s",
           log_text(cd->use_mail_from.get()).c_str(), text_or_empty(cd->ip_str),
           log_text(lib_error_string(cd->lib.get())).c_str());
    return SMFIS_ACCEPT;
  }
  cd->result_index = spf_result_index(cd->lib->result);
  cd->result_source = verdict_source(cd->lib.get());
  return apply_spf_result(ctx);
}

// Recipient-MX mode: each recipient is checked on its own, by whether the
// client is one of the MX hosts of the recipient's domain, and that verdict
// decides for this recipient alone: a refusal (a hard fail without -m)
// refuses only this recipient, later recipients get their own check, and a
// recipient whose verdict has no name is let through. The message's header
// records the verdict of the last recipient checked. (libspf2 answers this
// check with pass, neutral or an error result, so in practice nothing is
// refused here.)
//
// With -k, a message whose refusal MAIL FROM held gets it at each
// recipient but the kept ones (refuse_recipient); in recipient-MX mode a
// kept recipient is never refused, only marked.
sfsistat spf_envrcpt(SMFICTX *ctx, char **argv) {
  if (!config.recipient_mx && config.keep_recipients == nullptr)
    return SMFIS_CONTINUE;
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return no_record("spf_envrcpt");
  if (cd->allowlisted || cd->authenticated) return SMFIS_CONTINUE;

  char *recipient = normalize_address(argv && argv[0] ? argv[0]
                                                      : const_cast<char *>(""));
  if (!config.recipient_mx) return refuse_recipient(ctx, recipient);
  bool checked = lib_do_rcpt_check(cd->lib.get(), recipient);
  count_query(cd->lib->cost);
  if (!checked) {
    syslog(LOG_ERR,
           "lib_do_rcpt_check() failed on recipient '%s' sent by [%s] - %s",
           log_text(recipient).c_str(), text_or_empty(cd->ip_str),
           log_text(lib_error_string(cd->lib.get())).c_str());
    return SMFIS_ACCEPT;
  }
  cd->result_index = spf_result_index(cd->lib->result);
  cd->result_source = verdict_source(cd->lib.get());
  sfsistat answer = apply_spf_result(ctx);
  if ((answer == SMFIS_REJECT || answer == SMFIS_TEMPFAIL) &&
      recipient_is_kept(config.keep_recipients, recipient)) {
    syslog(LOG_INFO, "accepting mail from [%s] for kept recipient '%s' - %s",
           text_or_empty(cd->ip_str), log_text(recipient).c_str(),
           result_name(cd->result_index));
    cd->action = ACTION_MARK;
    return SMFIS_CONTINUE;
  }
  return answer;
}

sfsistat spf_eoh(SMFICTX *ctx) {
  if (!config.recipient_mx) return SMFIS_CONTINUE;
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr) return no_record("spf_eoh");
  if (!cd->allowlisted && !cd->authenticated) {
    cd->result_index = spf_result_index(cd->lib->result);
    cd->result_source = verdict_source(cd->lib.get());
    cd->action = ACTION_MARK;
  }
  return SMFIS_CONTINUE;
}
