// Command line and configuration.
//
// The daemon is configured by its command line only. parse_command_line()
// fills the process-wide record `config`; it is written once, before any
// filter thread exists, and only read afterwards, so the filter threads read
// it without locking. Text fields point into the argument vector.

#ifndef HERONSEND_DAEMON_CONFIG_H_
#define HERONSEND_DAEMON_CONFIG_H_

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
};

extern daemon_config config;

// Exit status of every command-line error.
constexpr int EXIT_USAGE = 64;
// Exit status of every other start-up or run failure.
constexpr int EXIT_SOFTWARE_FAILURE = 71;

// The part of argv0 after its last '/', or all of it.
const char *base_program_name(const char *argv0);

// Parses argc/argv (getopt_long rules) into *out, which should start as a
// default-constructed record with program_name already set. Returns true
// when the command line is good. Otherwise the usage text or the
// "unrecognised option" line has been written to stderr and the caller must
// exit with EXIT_USAGE. Resets getopt's state first, so it may be called
// more than once in a process.
bool parse_command_line(int argc, char **argv, daemon_config *out);

// Writes the usage text for program_name to stderr.
void print_usage(const char *program_name);

#endif  // HERONSEND_DAEMON_CONFIG_H_
