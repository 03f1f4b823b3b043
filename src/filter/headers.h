// Received-SPF headers.
//
// spf_header notes every incoming Received-SPF header that claims to come
// from this host (its receiver= field, or the host named at the start of
// its comment, is ours); spf_eom deletes those and inserts the message's own
// Received-SPF header above all others.

#ifndef HERONSEND_FILTER_HEADERS_H_
#define HERONSEND_FILTER_HEADERS_H_

#include <libmilter/mfapi.h>

// The home page named in the x-software field.
constexpr const char *HOME_PAGE_URL = "http://www.heronsend.org/";

struct connection_data;

// Writes the message's explanation into cd->scratch and, when the message
// is to be marked, its Received-SPF value into cd->header_value: one line
// (control characters from client text shown as "?"), under 2000
// characters. True when there is a header to add.
bool build_received_spf(connection_data *cd);

// Whether a Received-SPF value claims to come from this host (receiver).
bool received_spf_is_suspect(const char *value);

sfsistat spf_header(SMFICTX *ctx, char *name, char *value);
sfsistat spf_eom(SMFICTX *ctx);

#endif  // HERONSEND_FILTER_HEADERS_H_
