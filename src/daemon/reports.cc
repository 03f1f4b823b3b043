#include "daemon/reports.h"

#include <syslog.h>

#include <chrono>

#include "filter/statistics.h"

namespace {

const char *yes_no(bool b) { return b ? "yes" : "no"; }

void field(kv_line *out, const char *key, const char *value) {
  out->add(" ");
  out->add(key);
  out->add("=");
  out->add(value);
}

}  // namespace

void format_settings_line(const daemon_config &c, int allowlist_entries,
                          kv_line *out) noexcept {
  bool mark = c.mark_only != 0;
  out->add("settings: socket=");
  out->add_value(c.socket_spec);
  field(out, "markonly", yes_no(mark));
  // One action per result (the option parser keeps the last one given);
  // -m overrides every choice.
  field(out, "fail", mark                ? "mark"
                     : c.quarantine_fail ? "quarantine"
                     : c.fail_dmarc      ? "dmarc"
                                         : "refuse");
  field(out, "softfail", mark                     ? "mark"
                         : c.refuse_softfail      ? "refuse"
                         : c.quarantine_softfail  ? "quarantine"
                                                  : "mark");
  field(out, "permerror", mark                     ? "mark"
                          : c.refuse_permerror     ? "refuse"
                          : c.quarantine_permerror ? "quarantine"
                                                   : "mark");
  field(out, "temperror", !mark && c.defer_temperror ? "defer" : "mark");
  field(out, "helofail", !mark && c.refuse_helo_fail ? "refuse" : "mark");
  field(out, "checkhelo", yes_no(c.check_helo != 0));
  field(out, "authresults", yes_no(c.auth_results != 0));
  field(out, "recipientmx", yes_no(c.recipient_mx != 0));
  out->add(" keeprecipients=");
  out->add_value(c.keep_recipients);
  field(out, "bounceexplanation", yes_no(c.bounce_explanation != 0));
  out->add(" allowlist=");
  out->add_value(c.allowlist_file);
  out->add(" allowlist_entries=");
  out->add_number(static_cast<unsigned long long>(
      allowlist_entries < 0 ? 0 : allowlist_entries));
  field(out, "verdictlog", yes_no(c.verdict_log != 0));
  out->add(" statistics_minutes=");
  out->add_number(static_cast<unsigned long long>(
      c.statistics_minutes < 0 ? 0 : c.statistics_minutes));
}

void log_statistics() noexcept {
  kv_line line;
  take_statistics(&line);
  syslog(LOG_INFO, "%s", line.c_str());
}

bool statistics_timer::start(int minutes) noexcept {
  if (minutes <= 0 || started_) return false;
  try {
    thread_ = std::thread([this, minutes] { run(minutes); });
  } catch (...) {
    syslog(LOG_ERR, "couldn't start the statistics thread - no statistics");
    return false;
  }
  started_ = true;
  return true;
}

void statistics_timer::run(int minutes) {
  // Steady intervals: a line is due every `minutes` after the start,
  // whatever the time the logging itself takes.
  auto due = std::chrono::steady_clock::now() + std::chrono::minutes(minutes);
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    if (wake_.wait_until(hold, due, [this] { return stopping_; })) return;
    log_statistics();
    due += std::chrono::minutes(minutes);
  }
}

void statistics_timer::stop() noexcept {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  started_ = false;
  log_statistics();
}
