// Connection record and connection events.
//
// Each SMTP connection the MTA reports gets one connection_data, created by
// spf_connect, attached to the mail filter library's context with
// smfi_setpriv, and released by spf_close. The record owns its texts and its
// SPF state; per-message texts are released at the end of every message.
//
// The process-wide receiver (the receiving host's name) is determined by the
// first connection that manages to, from the MTA's "{j}" macro or from
// gethostname, and never changes afterwards. Connections test and determine
// it one at a time, so a failed attempt is retried by the next connection.

#ifndef HERONSEND_FILTER_CONNECTION_H_
#define HERONSEND_FILTER_CONNECTION_H_

#include <libmilter/mfapi.h>

#include <cstddef>
#include <memory>

#include "common/text.h"
#include "spf/lib.h"

// What happens to the current message (see apply_spf_result).
enum {
  ACTION_NONE = 0,    // nothing decided; no header is added
  ACTION_REJECT = 1,  // refused with 550
  ACTION_MARK = 2,    // let through, Received-SPF added at end of message
  ACTION_DEFER = 3,   // deferred with 451 4.4.3
  // Let through and marked like ACTION_MARK, and held in the MTA's
  // quarantine at end of message (-o RESULT=quarantine).
  ACTION_QUARANTINE = 4,
  // A fail let through and marked because the sender's domain publishes an
  // enforcing DMARC policy (-o fail=dmarc): the DMARC filter decides.
  ACTION_DMARC = 5,
  // -k: the refusal or deferral of MAIL FROM is given at each RCPT TO
  // instead (the reply in held_*); a message that reaches a kept recipient
  // (kept_recipients > 0) is marked with its verdict.
  ACTION_HELD = 6,
};

// Whether a message with this action gets its Received-SPF header.
constexpr bool action_marks(int action) {
  return action == ACTION_MARK || action == ACTION_QUARANTINE ||
         action == ACTION_DMARC || action == ACTION_HELD;
}

// An acceptance noted at a quiet step, due at the next step that answers
// (see filter/replies.h).
enum {
  ACCEPT_DUE_NONE = 0,
  ACCEPT_DUE_MESSAGE = 1,     // the current message
  ACCEPT_DUE_CONNECTION = 2,  // every message of the connection
};

constexpr std::size_t SCRATCH_SIZE = 1000;
// A header value holds at most five pieces as long as a line (the
// comment, and the receiver's, the HELO name's and the sender's keys; for
// Authentication-Results the authserv-id, two comments and two
// properties; longer ones are left out) and a few short keys, each of
// them whole.
constexpr std::size_t HEADER_VALUE_SIZE = 5300;
constexpr int SPOOF_SLOTS = 10;

struct lib_data_deleter {
  void operator()(lib_data *lib) const noexcept {
    lib_free_connection_data(lib);
  }
};

struct connection_data {
  int allowlisted = 0;            // client is in the allowlist
  int authenticated = 0;          // this message's sender authenticated
  unique_text ip_str;             // client address as text
  unique_text client_name;        // the MTA's name for the client
  unique_text helo;               // first HELO/EHLO name of the connection
  unique_text mail_from;          // this message's sender, normalised
  unique_text use_mail_from;      // the sender given to SPF
  std::unique_ptr<lib_data, lib_data_deleter> lib;
  int result_index = -1;          // index into result_names, -1 while unset
  // The HELO identity's own verdict (-c), checked at the first HELO and
  // kept for the connection; -1 while there is none.
  int helo_result_index = -1;
  // Who made those verdicts (SOURCE_RECORD, SOURCE_LOOPBACK or
  // SOURCE_LOCAL_POLICY, see filter/result.h).
  int result_source = 0;
  int helo_result_source = 0;
  int action = ACTION_NONE;
  // A message is open from MAIL FROM until finish_message has counted (and
  // with -V logged) it (filter/verdict_log.h).
  int message_open = 0;
  int helo_refusal = 0;           // refused for its HELO name's fail
  int accept_due = ACCEPT_DUE_NONE;
  // With ACTION_HELD: the reply each recipient but a kept one gets (static
  // texts), whether it is the fail whose explanation -b adds, and the kept
  // recipients accepted so far.
  const char *held_rcode = nullptr;
  const char *held_xcode = nullptr;
  const char *held_text = nullptr;
  const char *held_what = nullptr;
  bool held_explained = false;
  int kept_recipients = 0;
  int header_count = 0;           // Received-SPF headers seen in this message
  int spoof_count = 0;            // suspects recorded in spoof_index, 0..10
  int spoof_index[SPOOF_SLOTS] = {};
  // The same for Authentication-Results headers (with -A).
  int auth_results_count = 0;
  int auth_results_spoofs = 0;
  int auth_results_index[SPOOF_SLOTS] = {};
  char scratch[SCRATCH_SIZE] = {};            // work buffer
  char header_value[HEADER_VALUE_SIZE] = {};  // Received-SPF being built
  char auth_results_value[HEADER_VALUE_SIZE] = {};  // with -A
  char helo_header_value[HEADER_VALUE_SIZE] = {};   // with -c
};

// The receiving host's name and its length; none until determined.
extern unique_text receiver;
extern std::size_t receiver_len;

// The receiver, or "" while it is not determined.
const char *receiver_or_empty();

// Releases the receiver (start-up and shutdown, no filter threads running).
void release_receiver();

// Releases the record with all it owns.
void free_connection_data(connection_data *cd);

// Fetches the context's record (may be none).
connection_data *get_connection_data(SMFICTX *ctx);

sfsistat spf_connect(SMFICTX *ctx, char *host_name, _SOCK_ADDR *address);
sfsistat spf_abort(SMFICTX *ctx);
sfsistat spf_close(SMFICTX *ctx);

#endif  // HERONSEND_FILTER_CONNECTION_H_
