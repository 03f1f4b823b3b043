// Command line.
//
// parse_command_line() fills the process-wide record `config`
// (common/config.h) from the command line, the daemon's only configuration.

#ifndef HERONSEND_DAEMON_CONFIG_H_
#define HERONSEND_DAEMON_CONFIG_H_

#include "common/config.h"

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

// Writes the two usage lines of the daemon's option letter to stderr, as
// print_usage does (nothing for a letter the daemon does not have).
void print_option_usage(char letter);

// Writes the two usage lines of an option in print_usage's layout: "-L
// PLACEHOLDER", short_pad blanks, the description; then "--LONG=PLACEHOLDER"
// ("--LONG " without an argument), long_pad blanks, the description.
void print_usage_lines(char letter, const char *long_name, bool has_arg,
                       const char *placeholder, int short_pad, int long_pad,
                       const char *description);

#endif  // HERONSEND_DAEMON_CONFIG_H_
