#include "fake_syslog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex log_mutex;
std::vector<log_line> lines;
std::string ident = "heronsend";
bool echo_to_stderr = false;

void record(int priority, const char *format, va_list args) {
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(log_mutex);
  lines.push_back({priority & LOG_PRIMASK, text});
  if (echo_to_stderr) std::fprintf(stderr, "%s: %s\n", ident.c_str(), text);
}

}  // namespace

std::vector<log_line> captured_log() {
  std::lock_guard<std::mutex> lock(log_mutex);
  return lines;
}

void clear_log() {
  std::lock_guard<std::mutex> lock(log_mutex);
  lines.clear();
}

bool log_contains(int priority, const std::string &text) {
  for (const log_line &line : captured_log())
    if (line.priority == priority && line.text == text) return true;
  return false;
}

extern "C" {

void openlog(const char *name, int option, int) {
  std::lock_guard<std::mutex> lock(log_mutex);
  ident = name ? name : "";
  echo_to_stderr = (option & LOG_PERROR) != 0;
}

void closelog() {
  std::lock_guard<std::mutex> lock(log_mutex);
  echo_to_stderr = false;
}

void vsyslog(int priority, const char *format, va_list args) {
  record(priority, format, args);
}

void syslog(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  record(priority, format, args);
  va_end(args);
}

// The fortified variants a build with _FORTIFY_SOURCE calls instead.
void __syslog_chk(int priority, int, const char *format, ...) {
  va_list args;
  va_start(args, format);
  record(priority, format, args);
  va_end(args);
}

void __vsyslog_chk(int priority, int, const char *format, va_list args) {
  record(priority, format, args);
}

}  // extern "C"
