// heronsend-check's stand-in for the system log.
//
// The filter, the SPF adapter and libspf2 log with syslog(3). A check run
// by hand must not add lines to the mail log (a "rejecting mail from ..."
// line there would count as a refusal in every log summary), so the tool
// defines the C library's syslog functions itself: each line goes to
// standard error as "heronsend-check: TEXT" instead, and only warnings and
// worse unless the tool is asked to show everything.

#ifndef HERONSEND_CHECK_LOG_H_
#define HERONSEND_CHECK_LOG_H_

// From now on lines of every priority are shown (true) or only warnings
// and worse (false, the start).
void check_log_show_all(bool all);

#endif  // HERONSEND_CHECK_LOG_H_
