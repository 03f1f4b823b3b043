// Envelope callbacks: HELO, MAIL FROM, RCPT TO and end of headers.
//
// They hand the envelope to the connection's SPF request and run the SPF
// query at MAIL FROM (or, in recipient-MX mode, at each RCPT TO). Clients on
// the allowlist and senders that authenticated are not checked at all.
// With -k, RCPT TO gives each recipient but the kept ones the refusal that
// MAIL FROM held (filter/result.h).

#ifndef HERONSEND_FILTER_ENVELOPE_H_
#define HERONSEND_FILTER_ENVELOPE_H_

#include <libmilter/mfapi.h>

// Strips an envelope address in place and returns the start of the result:
// all leading "<", then all trailing ">", then (only if the text is not
// empty by then) all trailing carriage returns. "<>" becomes "".
char *normalize_address(char *text);

struct connection_data;

// The start of a message at MAIL FROM: the previous message's state is
// forgotten (a message still open is finished as aborted), the message is
// opened for its verdict line and the sender is kept, normalised, in
// cd->mail_from (none when memory ran out). spf_envfrom begins with it;
// the callbacks call it alone for a message accepted unchecked.
void begin_message(connection_data *cd, char **argv);

sfsistat spf_helo(SMFICTX *ctx, char *name);
sfsistat spf_envfrom(SMFICTX *ctx, char **argv);
sfsistat spf_envrcpt(SMFICTX *ctx, char **argv);
sfsistat spf_eoh(SMFICTX *ctx);

#endif  // HERONSEND_FILTER_ENVELOPE_H_
