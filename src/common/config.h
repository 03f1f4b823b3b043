// The process-wide configuration record.
//
// The daemon is configured by its command line only (src/options/command_line.h
// parses it). The record is written once, before any filter thread exists,
// and only read afterwards, so every module reads it without locking. Text
// fields point into the argument vector.

#ifndef HERONSEND_COMMON_CONFIG_H_
#define HERONSEND_COMMON_CONFIG_H_

struct daemon_config {
  const char *local_policy = nullptr;        // -l
  char trusted_forwarders = 0;               // -t
  const char *guess = nullptr;               // -g
  const char *fallback_file = nullptr;       // -f
  const char *allowlist_file = nullptr;      // -w, -a (the last one wins)
  int recipient_mx = 0;                      // -r
  const char *explanation = nullptr;         // -e
  char mark_only = 0;                        // -m
  const char *run_as_user = nullptr;         // -u
  const char *pid_file = nullptr;            // -p
  char no_daemon = 0;                        // -X
  int debug = 0;                             // -d[N]
  const char *program_name = "heronsend";    // argv[0] after its last '/'
  const char *socket_spec = nullptr;         // the one positional word
  char auth_results = 0;                     // -A
  // What the receiver does with the verdicts RFC 7208 leaves to it, set by
  // -o RESULT=ACTION (none of these with -m, which refuses and defers
  // nothing); every other verdict but fail is marked.
  char refuse_softfail = 0;                  // softfail=refuse: 550 5.7.1
  char refuse_permerror = 0;                 // permerror=refuse: 550 5.5.2
  char defer_temperror = 0;                  // temperror=defer: 451 4.4.3
  char refuse_helo_fail = 0;                 // helofail=refuse: 550 5.7.1
  char check_helo = 0;                       // -c (helofail=refuse too)
  char verdict_log = 0;                      // -V: a verdict line per message
  int statistics_minutes = 0;                // -S MINUTES; 0: no statistics
  // Instead of the refusal or the mark: accepted, marked and handed to the
  // MTA's quarantine at end of message (RESULT=quarantine).
  char quarantine_fail = 0;                  // fail=quarantine
  char quarantine_softfail = 0;              // softfail=quarantine
  char quarantine_permerror = 0;             // permerror=quarantine
  // fail=dmarc: a fail is refused only when the sender's domain publishes
  // no enforcing DMARC policy; otherwise it is marked for the DMARC filter
  // after this one.
  char fail_dmarc = 0;
  // -k: recipients that always receive (comma-separated local parts or
  // addresses); with it a refusal or deferral is given at each RCPT TO.
  const char *keep_recipients = nullptr;
  char bounce_explanation = 0;               // -b: the fail's explanation in the reply
};

// The longest -S interval: a week.
constexpr int MAX_STATISTICS_MINUTES = 7 * 24 * 60;

extern daemon_config config;

// Exit status of every command-line error.
constexpr int EXIT_USAGE = 64;
// Exit status of every other start-up or run failure.
constexpr int EXIT_SOFTWARE_FAILURE = 71;

#endif  // HERONSEND_COMMON_CONFIG_H_
