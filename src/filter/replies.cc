#include "filter/replies.h"

#include <syslog.h>

#include "filter/connection.h"

namespace {

unsigned long no_reply_flag(milter_step step) {
  switch (step) {
    case milter_step::connect: return SMFIP_NR_CONN;
    case milter_step::helo: return SMFIP_NR_HELO;
    case milter_step::mail: return SMFIP_NR_MAIL;
    case milter_step::rcpt: return SMFIP_NR_RCPT;
    case milter_step::data: return SMFIP_NR_DATA;
    case milter_step::header: return SMFIP_NR_HDR;
    case milter_step::eoh: return SMFIP_NR_EOH;
    case milter_step::eom: return 0;  // always answered
    case milter_step::none: return 0;
  }
  return 0;
}

}  // namespace

unsigned long quiet_steps(const daemon_config &c) {
  unsigned long quiet = SMFIP_NR_CONN | SMFIP_NR_HELO | SMFIP_NR_HDR |
                        SMFIP_NR_EOH;
  if (!c.recipient_mx && c.keep_recipients == nullptr) quiet |= SMFIP_NR_RCPT;
  return quiet;
}

unsigned long filter_actions(const daemon_config &c) {
  unsigned long actions = SMFIF_ADDHDRS | SMFIF_CHGHDRS;
  if (!c.mark_only &&
      (c.quarantine_fail || c.quarantine_softfail || c.quarantine_permerror))
    actions |= SMFIF_QUARANTINE;
  return actions;
}

bool step_replies(milter_step step) {
  return (quiet_steps(config) & no_reply_flag(step)) == 0;
}

sfsistat negotiate_steps(unsigned long offered_steps, unsigned long *actions,
                         unsigned long *steps) {
  unsigned long quiet = quiet_steps(config);
  if ((offered_steps & quiet) != quiet) {
    syslog(LOG_ERR,
           "negotiation: the MTA's offer 0x%lx lacks no-reply steps 0x%lx - "
           "closing the connection",
           offered_steps, quiet & ~offered_steps);
    return SMFIS_REJECT;
  }
  // libmilter checks the actions against the MTA's offer itself.
  *actions = filter_actions(config);
  *steps = ((SMFIP_NOBODY | SMFIP_NOUNKNOWN) & offered_steps) | quiet;
  return SMFIS_CONTINUE;
}

bool acceptance_due(SMFICTX *ctx, milter_step step) {
  connection_data *cd = get_connection_data(ctx);
  if (cd == nullptr || step == milter_step::none || !step_replies(step))
    return false;
  if (step == milter_step::mail && cd->accept_due == ACCEPT_DUE_MESSAGE)
    cd->accept_due = ACCEPT_DUE_NONE;
  return cd->accept_due != ACCEPT_DUE_NONE;
}

sfsistat step_answer(SMFICTX *ctx, milter_step step, sfsistat answer) {
  if (step_replies(step)) return answer;
  if (answer != SMFIS_CONTINUE && answer != SMFIS_NOREPLY) {
    connection_data *cd = get_connection_data(ctx);
    bool whole_connection =
        step == milter_step::connect || step == milter_step::helo;
    if (cd != nullptr && cd->accept_due != ACCEPT_DUE_CONNECTION)
      cd->accept_due =
          whole_connection ? ACCEPT_DUE_CONNECTION : ACCEPT_DUE_MESSAGE;
  }
  return SMFIS_NOREPLY;
}
