#include "check/log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace {

bool show_all = false;

void write_line(int priority, const char *format, va_list args) {
  if (!show_all && (priority & LOG_PRIMASK) > LOG_WARNING) return;
  char text[2048];
  std::vsnprintf(text, sizeof text, format, args);
  std::fprintf(stderr, "heronsend-check: %s\n", text);
}

}  // namespace

void check_log_show_all(bool all) { show_all = all; }

extern "C" {

void openlog(const char *, int, int) {}

void closelog() {}

void vsyslog(int priority, const char *format, va_list args) {
  write_line(priority, format, args);
}

void syslog(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  write_line(priority, format, args);
  va_end(args);
}

// The fortified variants a build with _FORTIFY_SOURCE calls instead.
void __syslog_chk(int priority, int, const char *format, ...) {
  va_list args;
  va_start(args, format);
  write_line(priority, format, args);
  va_end(args);
}

void __vsyslog_chk(int priority, int, const char *format, va_list args) {
  write_line(priority, format, args);
}

}  // extern "C"
