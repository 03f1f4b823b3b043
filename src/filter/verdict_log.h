// The verdict line (-V) and the counting behind the statistics (-S).
//
// Every message that reaches MAIL FROM on a connection with a record is
// finished exactly once, by finish_message: when it is refused or
// deferred (at MAIL FROM, before the MTA has a queue ID for it), at end of
// message, when the filter lets it through early (its own trouble: it
// fails open), or when it ends without either (the MTA's abort, a new MAIL
// FROM, the connection's close). Finishing counts the message for the
// statistics and, with -V, logs one LOG_INFO line:
//
//   verdict: queue=ID client=ADDRESS client_name=NAME helo=NAME
//   from=SENDER identity=WHAT spf=RESULT action=ACTION time_ms=N lookups=N
//
// (one line), every value written by kv_line::add_value: "-" for none,
// "<>" for the null sender. identity is mailfrom, helo (the null sender or
// one without a domain, checked at the HELO name; or a refusal for a HELO
// fail), rcpt (-r), allowlist, auth (the check skipped) or "-" (no check
// reached a verdict); action is a word of message_action_words. The man
// page documents the layout; it only ever grows at its end.

#ifndef HERONSEND_FILTER_VERDICT_LOG_H_
#define HERONSEND_FILTER_VERDICT_LOG_H_

#include <libmilter/mfapi.h>

#include <cstdint>

#include "common/safe_text.h"

struct connection_data;

// What was done with a message. A new action gets its word at the end of
// message_action_words (and so a key of its own in the statistics line).
enum class message_action {
  accepted,  // let through without a header (the filter's own trouble)
  marked,    // let through with its Received-SPF header
  refused,   // 550 at MAIL FROM
  deferred,  // 451 at MAIL FROM
  aborted,   // ended before end of message (the MTA's abort, a lost client)
  quarantined,    // marked and handed to the MTA's quarantine (-o RESULT=quarantine)
  left_to_dmarc,  // a fail marked, not refused: the domain has a DMARC policy
  kept_only,      // refused at each recipient but the kept ones (-k)
};
constexpr int MESSAGE_ACTION_COUNT = 8;
extern const char *const message_action_words[MESSAGE_ACTION_COUNT];

// The fields of one verdict line; a null text is "none" ("-").
struct verdict_fields {
  const char *queue_id = nullptr;
  const char *client = nullptr;
  const char *client_name = nullptr;
  const char *helo = nullptr;
  const char *sender = nullptr;  // "" is the null sender
  const char *identity = nullptr;
  const char *result = nullptr;
  message_action action = message_action::accepted;
  std::int64_t micros = 0;
  std::uint32_t lookups = 0;
};

// Writes the verdict line of f into *out.
void format_verdict_line(const verdict_fields &f, kv_line *out) noexcept;

// Marks the start of a message (MAIL FROM): the next finish_message logs
// it. A message still open is finished as aborted first.
void open_message(connection_data *cd) noexcept;

// Finishes the connection's open message (nothing if none is open) with
// the given action; see above. The connection's decision refines it: a
// marked message that was quarantined, left to DMARC or delivered to kept
// recipients only is logged as such, and a message whose refusal was held
// for its recipients (-k) and that ended with no kept one as refused or
// deferred.
void finish_message(SMFICTX *ctx, connection_data *cd,
                    message_action action) noexcept;

#endif  // HERONSEND_FILTER_VERDICT_LOG_H_
