#include "daemon/daemon.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>

#include <cstdio>

#include "addr/allowlist.h"
#include "daemon/config.h"
#include "daemon/identity.h"
#include "daemon/listener.h"
#include "daemon/run_loop.h"
#include "fallback/fallback.h"
#include "filter/callbacks.h"
#include "filter/connection.h"
#include "spf/lib.h"

namespace {

// How long connections still open at a stop go on being judged: long
// enough for the messages in progress to finish (an SPF query waits for DNS
// a few seconds at most), short enough for a prompt stop or restart.
constexpr std::chrono::milliseconds kDrainWait(5000);

// How long shutdown then waits for callbacks that are still running (an SPF
// query may be waiting for DNS).
constexpr std::chrono::milliseconds kCallbackWait(10000);

// Before the event loop is told to stop: a stopped libmilter no longer serves
// the connections already open, so their messages are finished first, judged
// as usual, while the loop still runs. A connection opened meanwhile is
// served the same way. The wait ends when none is open or the drain time is
// up; connections still open then are cut off with the process, and their
// MTA treats them as it treats an unreachable filter.
void finish_open_connections() {
  int open = open_connections();
  syslog(LOG_NOTICE, "stopping - finishing %d open connections", open);
  if (!drain_connections(kDrainWait))
    syslog(LOG_NOTICE, "stopping with %d connections still open",
           open_connections());
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
  if (config.allowlist_file != nullptr) load_allowlist(config.allowlist_file);

  // The socket and the PID file are for the daemon's owner only.
  umask(077);

  open_callbacks();
  if (smfi_register(filter_descriptor) == MI_FAILURE) {
    syslog(LOG_ERR, "smfi_register() failed");
    return EXIT_SOFTWARE_FAILURE;
  }
  smfi_setconn(const_cast<char *>(config.socket_spec));
  if (smfi_opensocket(true) == MI_FAILURE) {
    syslog(LOG_ERR, "smfi_opensocket() failed");
    return EXIT_SOFTWARE_FAILURE;
  }
  // Before the user switch and before any other socket exists: the only
  // listening TCP socket of the process is now libmilter's.
  set_listener_nodelay(config.socket_spec);

  establish_process_identity();

  build_version_text();
  syslog(LOG_NOTICE, "%s %s with %s starting", DAEMON_NAME, DAEMON_VERSION,
         version_text);

  if (run_filter_loop(finish_open_connections) == MI_FAILURE) {
    syslog(LOG_ERR, "smfi_main() failed");
    close_callbacks(kCallbackWait);
    return EXIT_SOFTWARE_FAILURE;
  }

  syslog(LOG_NOTICE, "%s %s with %s terminating", DAEMON_NAME, DAEMON_VERSION,
         version_text);
  remove_pid_file();
  // libmilter's event loop returns without waiting for its worker threads.
  // Nothing shared is released while one may still be inside a callback; if
  // one stays there too long, the process ends without releasing (and
  // without running the destructors of what the callbacks use).
  if (!close_callbacks(kCallbackWait)) {
    syslog(LOG_WARNING, "callbacks still running - exiting without cleanup");
    closelog();
    _exit(0);
  }
  free_allowlist();
  free_fallbacks();
  lib_fini();
  release_receiver();
  closelog();
  return 0;
}
