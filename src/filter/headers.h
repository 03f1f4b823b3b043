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

// Whether a Received-SPF value claims to come from this host (receiver).
bool received_spf_is_suspect(const char *value);

sfsistat spf_header(SMFICTX *ctx, char *name, char *value);
sfsistat spf_eom(SMFICTX *ctx);

#endif  // HERONSEND_FILTER_HEADERS_H_
