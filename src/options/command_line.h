// Command line: the daemon's options, for both programs.
//
// parse_command_line() fills the process-wide record `config`
// (common/config.h) from the command line, the daemon's only configuration.
// heronsend-check takes the same options through parse_options(), with
// options of its own beside them, so both programs read an option line
// with one set of rules.

#ifndef HERONSEND_OPTIONS_COMMAND_LINE_H_
#define HERONSEND_OPTIONS_COMMAND_LINE_H_

#include <getopt.h>

#include <functional>
#include <span>

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

// An option of another program besides the daemon's. Its letter (0 for a
// long name only) and long name must be ones the daemon does not use.
struct extra_option {
  char letter;
  const char *long_name;
  int has_arg;  // no_argument, required_argument or optional_argument
};

// The other program's options: take() gets each one met with its argument
// (nullptr without) and returns false, having said why on stderr, for a
// bad one; usage() writes the program's usage text for -h and for an
// unknown option or a missing argument.
struct option_extras {
  std::span<const extra_option> options;
  std::function<bool(const extra_option &, const char *arg)> take;
  std::function<void()> usage;
};

// Parses the daemon's options (getopt_long rules, as parse_command_line)
// and the extras from argv into *out, which is not reset first: an option
// line parsed after another overrides or adds to it as a later option
// would. The words that are not options are moved to the end of argv and
// start at *first_operand. Returns false for a bad command line, reported
// on stderr; -h is reported with the usage text and false too.
bool parse_options(int argc, char **argv, daemon_config *out,
                   const option_extras &extras, int *first_operand);

// Writes the usage text for program_name to stderr.
void print_usage(const char *program_name);

// Writes the usage lines of every option of the daemon to stderr, in
// print_usage's order.
void print_options_usage();

// Writes the two usage lines of the daemon's option letter to stderr, as
// print_usage does (nothing for a letter the daemon does not have).
void print_option_usage(char letter);

// Writes the two usage lines of an option in print_usage's layout: "-L
// PLACEHOLDER", short_pad blanks, the description; then "--LONG=PLACEHOLDER"
// ("--LONG " without an argument), long_pad blanks, the description.
void print_usage_lines(char letter, const char *long_name, bool has_arg,
                       const char *placeholder, int short_pad, int long_pad,
                       const char *description);

#endif  // HERONSEND_OPTIONS_COMMAND_LINE_H_
