// The service's option line, read from its environment file.
//
// heronsend.service runs the daemon as
//     heronsend -X -u ${HERONSEND_USER} -p ... $HERONSEND_OPTIONS ${HERONSEND_SOCKET}
// with the variables from /etc/default/heronsend (EnvironmentFile=).
// heronsend-check reads that file the way systemd 252 does and splits
// HERONSEND_OPTIONS the way systemd splits a lone $NAME word of ExecStart=,
// so it checks with the options the service runs with. The rules are the
// ones tests/docs/doc_examples.py emulates, which the box test compares
// with a real systemd.

#ifndef HERONSEND_OPTIONS_SERVICE_FILE_H_
#define HERONSEND_OPTIONS_SERVICE_FILE_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

// The largest environment file read (the packaged one is under 2 KiB).
constexpr std::size_t kServiceFileMax = 64 * 1024;

// NAME=value assignments of an environment file's text, as systemd 252's
// EnvironmentFile= reads them: "#" and ";" start a comment only at the
// start of a line; an optional "export " before the name is dropped; a
// value is read from its first non-blank character; single quotes keep
// everything up to the next one; inside double quotes a backslash escapes
// only " \ ` and $ (before any other character it stays); outside quotes a
// backslash escapes any character; blanks right after a closing quote are
// dropped, and blanks at the end outside quotes too. A later assignment of
// a name replaces an earlier one.
std::map<std::string, std::string> parse_environment_text(std::string_view text);

// A $NAME value split into words as systemd 252 splits it: at blanks
// outside quotes; quotes group and may stand inside a word; a backslash
// escapes the next character, inside quotes as well as outside; an
// unclosed quote runs to the end.
std::vector<std::string> split_option_words(std::string_view value);

// The service's variables read from the file at path. Returns false with
// *error set (one line, no newline) when the file cannot be read, is
// larger than kServiceFileMax, or holds a NUL or a control character other
// than a tab or a line end: the file is input, and a value systemd would
// read differently from this emulation is refused rather than guessed.
bool read_service_file(const char *path,
                       std::map<std::string, std::string> *variables,
                       std::string *error);

#endif  // HERONSEND_OPTIONS_SERVICE_FILE_H_
