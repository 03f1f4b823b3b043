// Authentication-Results (RFC 8601), with -A.
//
// Beside its Received-SPF field the filter can record its verdict in the
// form DMARC filters and spam filters read first:
//
//   Authentication-Results: R; spf=pass (R: domain of ... sender) smtp.mailfrom=D
//
// with the receiver R as authserv-id and the sender's domain D (for the
// null sender, checked as its HELO name: smtp.helo=H), and with -c the HELO
// name's own verdict as a second result (; spf=... smtp.helo=H). A message
// without an
// SPF verdict of the domain's own (allowlisted, authenticated,
// recipient-MX mode, the library's own trouble, a pass this host made for
// a loopback client or by its local policy) gets no field, so no DMARC
// filter aligns on it. Incoming fields that carry this
// host's authserv-id are forged (RFC 8601 section 5) and are removed like
// forged Received-SPF fields.

#ifndef HERONSEND_FILTER_AUTH_RESULTS_H_
#define HERONSEND_FILTER_AUTH_RESULTS_H_

struct connection_data;

// Writes the message's Authentication-Results value into
// cd->auth_results_value (folded like Received-SPF, see
// build_received_spf), from the
// explanation build_received_spf left in cd->scratch; with the HELO
// identity's verdict too (-c) when helo_explanation is given. True when
// there is a field to add.
bool build_authentication_results(connection_data *cd,
                                  const char *helo_explanation = nullptr);

// Whether an Authentication-Results value names this host (the receiver,
// in any letter case) as its authserv-id: its first word after blanks and
// comments, a token or a quoted string.
bool auth_results_names_us(const char *value);

#endif  // HERONSEND_FILTER_AUTH_RESULTS_H_
