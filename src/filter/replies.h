// Which protocol steps the filter answers.
//
// The filter decides a message only at MAIL FROM (or, with -r, at each RCPT
// TO) and changes it only at end of message; at every other step a reply
// would only say "continue", and the MTA would wait for it: one round trip
// per header field. So at option negotiation (libmilter's protocol version
// 6) the filter asks the MTA not to wait for a reply at the quiet steps (see
// quiet_steps), not to send the body and not to send unknown commands; the
// callbacks of the quiet steps then return SMFIS_NOREPLY. The filter still
// sees every header field.
//
// libmilter 8.14 and later shows the filter every no-reply flag as offered,
// whether the MTA offers it or not, and answers "continue" itself where the
// MTA does not: an MTA without a step's no-reply flag still gets one reply
// per step, as before.
//
// A quiet step cannot accept the message itself. When its callback meets
// its own trouble (its answer would be SMFIS_ACCEPT: let the mail through
// unchecked), the acceptance is noted in the connection's record and given
// at the next step that answers: a quiet CONNECT or HELO accepts the rest
// of the connection (every later MAIL FROM), a quiet RCPT TO, header field
// or end of headers the current message (at DATA or end of message). The
// filter still fails open; the message goes unmarked.

#ifndef HERONSEND_FILTER_REPLIES_H_
#define HERONSEND_FILTER_REPLIES_H_

#include <libmilter/mfapi.h>

#include "common/config.h"

// The protocol steps with a callback; none for abort and close, which the
// MTA never waits for.
enum class milter_step { connect, helo, mail, rcpt, data, header, eoh, eom, none };

// The SMFIP_NR_* flags of the steps the filter does not answer with this
// configuration: CONNECT, HELO, RCPT TO (not with -r, where each recipient
// may be refused), every header field and end of headers. MAIL FROM (the
// verdict), DATA and end of message (the header changes) always answer:
// DATA because an unanswered DATA packet is followed by the MTA's next
// small write, which then waits under Nagle's algorithm for the filter's
// delayed ACK (see callbacks.h). A check that may refuse at a step must
// keep that step answered: this is the one place that decides.
unsigned long quiet_steps(const daemon_config &c);

// The actions the filter asks for: add and change header fields, and
// quarantine a message only when a RESULT=quarantine choice may need it (an
// MTA that does not offer it then refuses the filter at negotiation, which
// is better than quarantines silently lost at end of message).
unsigned long filter_actions(const daemon_config &c);

// Whether the step is answered with the current configuration.
bool step_replies(milter_step step);

// The work of the negotiate callback: asks for the filter's actions
// (filter_actions), no body, no unknown commands and no reply at
// the quiet steps, each protocol flag only if offered. Returns
// SMFIS_CONTINUE, or SMFIS_REJECT (logged; libmilter then ends the
// connection) when a quiet step's no-reply flag is not offered, which
// libmilter 8.14 and later never lets happen.
sfsistat negotiate_steps(unsigned long offered_steps, unsigned long *actions,
                         unsigned long *steps);

// At a step that answers: whether an acceptance noted at an earlier quiet
// step is due now; the callback then answers SMFIS_ACCEPT without doing its
// work. At MAIL FROM a note left by the previous message is dropped first.
// False without a record.
bool acceptance_due(SMFICTX *ctx, milter_step step);

// What the callback of step returns to libmilter, given its own answer: at
// a step that answers, the answer itself; at a quiet step SMFIS_NOREPLY,
// after noting an acceptance (any answer but continue) in the record, if
// there is one.
sfsistat step_answer(SMFICTX *ctx, milter_step step, sfsistat answer);

#endif  // HERONSEND_FILTER_REPLIES_H_
