// Received-SPF headers.
//
// spf_header notes every incoming Received-SPF header that claims to come
// from this host (its receiver= field, or the host named at the start of
// its comment, is ours), and with -A every Authentication-Results header
// with this host's authserv-id; spf_eom deletes those and inserts the
// message's own Received-SPF header (and Authentication-Results header)
// above all others.

#ifndef HERONSEND_FILTER_HEADERS_H_
#define HERONSEND_FILTER_HEADERS_H_

#include <libmilter/mfapi.h>

// The home page named in the x-software field.
constexpr const char *HOME_PAGE_URL = "http://www.heronsend.org/";

struct connection_data;

// Writes the message's explanation into cd->scratch and, when the message
// is to be marked, its Received-SPF value into cd->header_value: one line
// when it fits in MAX_LINE characters with its name, folded before a key
// otherwise; control characters from client text shown as "?"; a key too
// long for a line left out whole. True when there is a header to add.
bool build_received_spf(connection_data *cd);

// With -c: the HELO identity's own Received-SPF value (identity=helo) into
// cd->helo_header_value, its explanation into `explanation` (room
// SCRATCH_SIZE). False when there is none to add: no HELO name, no HELO
// verdict, or the message's verdict is not the sender's (for the null
// sender it already is the HELO name's). Call after build_received_spf.
bool build_helo_received_spf(connection_data *cd, char *explanation);

// Whether a Received-SPF value claims to come from this host (receiver).
bool received_spf_is_suspect(const char *value);

// The identity the message's verdict is about, for the identity= key:
// "mailfrom" for the sender; "helo" for the null sender and a sender
// without a domain, which are checked as mailer_daemon at the HELO name;
// "x-local" for a message without an SPF verdict of the domain's own
// (allowlisted client, authenticated sender, recipient-MX mode, a result
// RFC 7208 does not define, a verdict this host made: the library's pass
// of a loopback client, the local policy's), which readers that act on SPF
// results do not take for one.
// Valid once build_received_spf has explained the message.
const char *checked_identity(const connection_data *cd);

sfsistat spf_header(SMFICTX *ctx, char *name, char *value);
sfsistat spf_eom(SMFICTX *ctx);

#endif  // HERONSEND_FILTER_HEADERS_H_
