// One check by heronsend-check, as one SMTP connection through the filter.
//
// The connection is played through the entry points the daemon registers
// with libmilter (filter/callbacks.h), in the order an MTA calls them:
// connect, HELO (when there is one), MAIL FROM, RCPT TO (only with a
// recipient), end of headers and end of message
// (unless the message was refused by then), close. It stops as an MTA
// would at the first answer other than "continue". The null sender, a
// sender without "@" and an IPv4-mapped client address are therefore the
// filter's own business, as in the daemon. The SPF library must be started
// (lib_init) and the configuration set.

#ifndef HERONSEND_CHECK_SESSION_H_
#define HERONSEND_CHECK_SESSION_H_

#include <sys/socket.h>

#include <string>

extern "C" {
#include <netinet/in.h>
#include <spf2/spf.h>
}

struct check_input {
  sockaddr_storage client{};           // AF_INET or AF_INET6
  const char *receiver = nullptr;      // the "{j}" macro, or none
  const char *helo = nullptr;          // none: the client sent no HELO
  const char *sender = "";             // MAIL FROM as given ("<>", "")
  const char *recipient = nullptr;     // RCPT TO, or none
};

struct check_outcome {
  // The filter's answer at MAIL FROM and (with a recipient) at RCPT TO:
  // "continue", "accept", ..., or a refusal's or deferral's reply ("550
  // 5.7.1 fail", "451 4.4.3 temperror"). Empty when the connection ended
  // before that step.
  std::string mail_answer, rcpt_answer;
  // The answer at MAIL FROM was a refusal or a deferral.
  bool mail_refused = false;
  // The values inserted at end of message, or "": the message's
  // Received-SPF, the HELO identity's (with -c) and the
  // Authentication-Results (with -A).
  std::string header, helo_header, auth_results;
  // The latest SPF query's reason and error code and the mechanism that
  // decided it ("" when none did); queried false without a query.
  bool queried = false;
  SPF_reason_t reason = SPF_REASON_NONE;
  SPF_errcode_t error = SPF_E_SUCCESS;
  std::string matched;
};

// Runs the check; never throws (memory trouble shows as a missing part).
check_outcome run_check(const check_input &in) noexcept;

#endif  // HERONSEND_CHECK_SESSION_H_
