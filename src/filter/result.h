// Result decision and rejection reply.
//
// Maps the SPF library's result code to the daemon's own result index and
// decides what happens to the message: a hard "fail" is refused (with
// 550 5.7.1, unless -m asks to mark it instead), and the other results
// RFC 7208 lets a receiver turn away only as -o says; every other verdict
// lets the message through, to be marked with a Received-SPF header.

#ifndef HERONSEND_FILTER_RESULT_H_
#define HERONSEND_FILTER_RESULT_H_

#include <libmilter/mfapi.h>

#include <cstddef>
#include <cstdint>

#include "spf/lib.h"

constexpr int RESULT_COUNT = 10;

// "pass", "fail", "softfail", "neutral", "unknown", "unknown-mechanisms",
// "invalid", "temperror", "permerror", "none": the words of RFC 7208 for
// every verdict it defines (the readers of the header match exactly those),
// and "invalid" for a result the library could not reach for its own
// reasons.
extern const char *const result_names[RESULT_COUNT];

// The name of a result index; "???" outside 0..9 (the unset value -1 too).
const char *result_name(int index);

// The daemon's result index for a library result code; -1 for codes the
// daemon does not know (above SPF_RESULT_PERMERROR).
int spf_result_index(std::uint32_t result);

// Who made a verdict: the record of the sender's domain (or the HELO
// name's), or this host. libspf2 passes a loopback client without any
// lookup, and the local policy (-l, -t) decides ahead of the record's
// "all" what the record itself may not allow; those are the receiver's
// decisions, which the headers must not present as the domain's.
enum {
  SOURCE_RECORD = 0,
  SOURCE_LOOPBACK = 1,
  SOURCE_LOCAL_POLICY = 2,
};

// The source of the latest query's verdict.
int verdict_source(const lib_data *lib);

constexpr std::size_t REPLY_TEXT_SIZE = 1000;

// The text of the 550 reply, from the library's result text t (may be
// none): "%40" becomes "@" and every other "%" is doubled (libmilter reads
// the text as a format); copying stops once 998 or more characters are
// written. Without t the text is "rejected by heronsend".
void build_rejection_text(const char *t, char (&out)[REPLY_TEXT_SIZE]);

// -b: the reply of a refused fail with the sender domain's explanation
// (RFC 7208 8.4): "The domain DOMAIN explains: TEXT" as one line when it
// fits EXPLAINED_LINE_SIZE, otherwise the first part alone on the first
// line and the text on up to EXPLAINED_TEXT_LINES more. Both are the
// sender's: every byte but printable ASCII becomes a blank, runs of blanks
// one, the domain is cut at 253 characters and the text at
// EXPLAINED_TEXT_LINES lines (ending in "..." when cut); "%" is doubled
// (libmilter reads the text as a format). A reply line holds no CR or LF,
// so nothing in the text can end a line, let alone start a reply code.
constexpr std::size_t EXPLAINED_LINE_SIZE = 200;
constexpr int EXPLAINED_TEXT_LINES = 3;
struct explained_reply {
  int lines = 0;
  // Room for a line whose every character is a doubled "%".
  char line[EXPLAINED_TEXT_LINES + 1][2 * EXPLAINED_LINE_SIZE + 1] = {};
};
// False (nothing to say) without an explanation or when it is blank.
bool build_explained_reply(const char *domain, const char *explanation,
                           explained_reply *out);

// Decides on the connection's result_index (set by the caller): marks
// (ACTION_MARK, SMFIS_CONTINUE), or turns the message (in recipient-MX
// mode, the recipient) away with the library's word for the result as the
// reply text: a fail with 550 5.7.1 unless -m; with -o, a softfail with
// 550 5.7.1, a permerror with 550 5.5.2, a temperror deferred with 451
// 4.4.3 (SMFIS_TEMPFAIL); never with -m. An index without a name leaves the
// action unchanged. The answer is returned to libmilter as the callback's
// own.
//
// The receiver's other choices: RESULT=quarantine accepts the message
// (ACTION_QUARANTINE: marked, and held at end of message); fail=dmarc
// marks a fail instead (ACTION_DMARC) when the sender's domain publishes an
// enforcing DMARC policy (spf/dmarc.h); a policy lookup that fails counts
// as none, so the fail stands (see the note at the definition). With -k a
// refusal or deferral is not given now but at each recipient
// (ACTION_HELD, refuse_recipient). With -b a refused fail's reply carries
// the explanation.
sfsistat apply_spf_result(SMFICTX *ctx);

// -k, at RCPT TO of a message whose refusal is held: a kept recipient is
// accepted (counted, logged), any other gets the held reply.
sfsistat refuse_recipient(SMFICTX *ctx, const char *recipient);

// Refuses the message of a client whose HELO name failed its SPF check
// (-o helofail=refuse) with 550 5.7.1 "HELO fail".
sfsistat refuse_helo_fail(SMFICTX *ctx);

#endif  // HERONSEND_FILTER_RESULT_H_
