// The daemon's own reports in the log: what started, and the statistics.

#ifndef HERONSEND_DAEMON_REPORTS_H_
#define HERONSEND_DAEMON_REPORTS_H_

#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/config.h"
#include "common/safe_text.h"

// The line logged after the start line: the socket and the options that
// decide what happens to mail, as they are in force (-m overrides every
// -o choice, helofail=refuse implies the HELO check):
//
//   settings: socket=SPEC markonly=yes|no
//   fail=refuse|quarantine|dmarc|mark softfail=refuse|quarantine|mark
//   permerror=refuse|quarantine|mark temperror=defer|mark
//   helofail=refuse|mark checkhelo=yes|no authresults=yes|no
//   recipientmx=yes|no keeprecipients=LIST|- bounceexplanation=yes|no
//   allowlist=FILE|- allowlist_entries=N
//   verdictlog=yes|no statistics_minutes=N
//
// (one line; values written as the verdict line's).
void format_settings_line(const daemon_config &c, int allowlist_entries,
                          kv_line *out) noexcept;

// Logs the statistics line (filter/statistics.h) every so many minutes on
// a thread of its own, and once more at stop(). The thread only waits and
// logs; the counting is the callbacks'.
class statistics_timer {
 public:
  statistics_timer() = default;
  ~statistics_timer() { stop(); }
  statistics_timer(const statistics_timer &) = delete;
  statistics_timer &operator=(const statistics_timer &) = delete;

  // Starts the thread (minutes > 0). False (logged) when it cannot start:
  // the daemon then runs without statistics.
  bool start(int minutes) noexcept;
  // Ends the thread and logs the figures since the last line (nothing
  // when it was never started). A second call does nothing.
  void stop() noexcept;

 private:
  void run(int minutes);
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool started_ = false;
  std::thread thread_;
};

// Logs the statistics line of the figures since the last one.
void log_statistics() noexcept;

#endif  // HERONSEND_DAEMON_REPORTS_H_
