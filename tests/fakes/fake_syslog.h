// A capture of the system log for unit tests, linked in place of the C
// library's syslog functions. Every line is recorded with its priority (the
// facility bits removed) and its text after formatting ("%m" included). As
// with the real LOG_PERROR option, lines are also written to stderr as
// "ident: text" while openlog was last called with LOG_PERROR, so death
// tests can match them.

#ifndef HERONSEND_TESTS_FAKES_FAKE_SYSLOG_H_
#define HERONSEND_TESTS_FAKES_FAKE_SYSLOG_H_

#include <syslog.h>

#include <ostream>
#include <string>
#include <vector>

struct log_line {
  int priority;
  std::string text;
  bool operator==(const log_line &) const = default;
};

// For readable test failure messages.
inline void PrintTo(const log_line &line, std::ostream *out) {
  *out << "{" << line.priority << ", \"" << line.text << "\"}";
}

// A copy of the lines recorded since the last clear_log().
std::vector<log_line> captured_log();
void clear_log();

// Whether any recorded line has exactly this priority and text.
bool log_contains(int priority, const std::string &text);

#endif  // HERONSEND_TESTS_FAKES_FAKE_SYSLOG_H_
