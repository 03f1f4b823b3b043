#include "daemon/daemon.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>

#include <cstdio>

#include "addr/allowlist.h"
#include "daemon/handover.h"
#include "daemon/identity.h"
#include "daemon/listener.h"
#include "daemon/notify.h"
#include "daemon/reports.h"
#include "daemon/run_loop.h"
#include "fallback/fallback.h"
#include "options/command_line.h"
#include "filter/callbacks.h"
#include "filter/connection.h"
#include "filter/replies.h"
#include "spf/lib.h"

namespace {

// How long connections still open at a stop go on being judged: long
// enough for the messages in progress to finish (an SPF query waits for DNS
// a few seconds at most), short enough for a prompt stop or restart.
constexpr std::chrono::milliseconds kDrainWait(5000);

// How long shutdown then waits for callbacks that are still running (an SPF
// query may be waiting for DNS) after smfi_main failed.
constexpr std::chrono::milliseconds kCallbackWait(10000);

// The same after a stop: every connection is closed by then, so what the
// callbacks still running answer reaches no one; they are waited for only
// to release the shared state cleanly, briefly enough that a stop ends
// within the drain time and a second.
constexpr std::chrono::milliseconds kStopCallbackWait(300);

// A normal stop's first shutdown steps.
void announce_termination() {
  syslog(LOG_NOTICE, "%s %s with %s terminating", DAEMON_NAME, DAEMON_VERSION,
         version_text);
  remove_pid_file();
}

// A normal stop's end when nothing may be released: the process ends at
// once (and with it every connection and thread).
[[noreturn]] void exit_without_cleanup() {
  closelog();
  _exit(0);
}

// Before the event loop is told to stop: take no new work, finish the work
// in hand. A stopped libmilter no longer serves the connections already
// open, so the daemon closes the listening socket itself (new connections
// are refused, and their MTA retries or applies its rule for a filter it
// cannot reach; in a restart that keeps the socket they wait for the next
// process instead) and the open connections' messages are finished, judged as
// usual, while the loop still runs. The wait ends when none is open or the
// drain time is up. Then every connection still open is closed: a message
// not judged by then is left to its MTA, like a new connection, and no
// answer of a callback that comes later reaches it (once the loop has
// stopped, callbacks let the mail through unchecked). Closed rather than
// answered with a temporary failure: a callback still waiting for DNS
// could not answer in time, and the MTA's rule for a filter it cannot
// reach is the administrator's choice. Should closing fail, the process
// ends at once instead, which closes them too.
void finish_open_connections() {
  notify_stopping();
  int open = open_connections();
  syslog(LOG_NOTICE, "stopping - finishing %d open connections", open);
  refuse_new_connections();
  interrupt_filter_listener();
  if (!drain_connections(kDrainWait))
    syslog(LOG_NOTICE, "stopping with %d connections still open",
           open_connections());
  if (close_accepted_connections() < 0) {
    announce_termination();
    exit_without_cleanup();
  }
}

}  // namespace

// The filter may add and change headers, nothing else.
const struct smfiDesc filter_descriptor = {
    const_cast<char *>("SPF"),       // filter name
    SMFI_VERSION,                    // interface version
    SMFIF_ADDHDRS | SMFIF_CHGHDRS,   // flags
    milter_connect,                  // connect
    milter_helo,                     // HELO
    milter_envfrom,                  // MAIL FROM
    milter_envrcpt,                  // RCPT TO
    milter_header,                   // header
    milter_eoh,                      // end of headers
    nullptr,                         // body
    milter_eom,                      // end of message
    milter_abort,                    // abort
    milter_close,                    // close
    nullptr,                         // unknown command
    milter_data,                     // DATA (only continues)
    milter_negotiate,                // negotiate: the steps answered
};

int daemon_main(int argc, char **argv) {
  config = daemon_config{};
  if (argc > 0 && argv[0] != nullptr)
    config.program_name = base_program_name(argv[0]);
  openlog(config.program_name, LOG_PERROR, LOG_MAIL);

  if (!parse_command_line(argc, argv, &config)) return EXIT_USAGE;

  release_receiver();

  if (!lib_init(SPF_DNS_CACHE)) {
    syslog(LOG_ERR, "lib_init() failed");
    return EXIT_SOFTWARE_FAILURE;
  }

  load_fallback_table();
  int allowlist_entries = 0;
  if (config.allowlist_file != nullptr)
    allowlist_entries = load_allowlist(config.allowlist_file);

  // The socket and the PID file are for the daemon's owner only.
  umask(077);

  open_callbacks();
  // The descriptor declares the actions negotiation asks for (quarantine
  // only with a RESULT=quarantine choice).
  smfiDesc descriptor = filter_descriptor;
  descriptor.xxfi_flags = filter_actions(config);
  if (smfi_register(descriptor) == MI_FAILURE) {
    syslog(LOG_ERR, "smfi_register() failed");
    return EXIT_SOFTWARE_FAILURE;
  }
  smfi_setconn(const_cast<char *>(config.socket_spec));
  // Takes over the socket kept across a restart, or opens (and keeps) it.
  if (open_filter_socket(config.socket_spec) == MI_FAILURE) {
    syslog(LOG_ERR, "smfi_opensocket() failed");
    return EXIT_SOFTWARE_FAILURE;
  }
  // Before the user switch and before any other socket exists: the only
  // listening socket of the process is now libmilter's.
  set_listener_nodelay(config.socket_spec);
  remember_filter_socket();

  establish_process_identity();

  build_version_text();
  syslog(LOG_NOTICE, "%s %s with %s starting", DAEMON_NAME, DAEMON_VERSION,
         version_text);
  {
    kv_line settings;
    format_settings_line(config, allowlist_entries, &settings);
    syslog(LOG_NOTICE, "%s", settings.c_str());
  }
  statistics_timer statistics;
  if (config.statistics_minutes > 0) statistics.start(config.statistics_minutes);
  // Under systemd (Type=notify) the start counts as done only now: socket
  // open, user switched, start line logged.
  notify_ready();

  if (run_filter_loop(finish_open_connections) == MI_FAILURE) {
    syslog(LOG_ERR, "smfi_main() failed");
    statistics.stop();
    close_callbacks(kCallbackWait);
    return EXIT_SOFTWARE_FAILURE;
  }

  // The open connections are finished by now: the last line covers them.
  statistics.stop();
  announce_termination();
  // libmilter's event loop returns without waiting for its worker threads.
  // Nothing shared is released while one may still be inside a callback; if
  // one stays there too long, the process ends without releasing (and
  // without running the destructors of what the callbacks use).
  if (!close_callbacks(kStopCallbackWait)) {
    syslog(LOG_WARNING, "callbacks still running - exiting without cleanup");
    exit_without_cleanup();
  }
  free_allowlist();
  free_fallbacks();
  lib_fini();
  release_receiver();
  closelog();
  return 0;
}
