// The daemon's main routine: start-up, the mail filter library's event loop,
// and shutdown.

#ifndef HERONSEND_DAEMON_DAEMON_H_
#define HERONSEND_DAEMON_DAEMON_H_

#include <libmilter/mfapi.h>

#include "common/version.h"

// The filter descriptor registered with the mail filter library.
extern const struct smfiDesc filter_descriptor;

// Runs the daemon. Returns the exit status: 0 after a normal stop, 64 for a
// bad command line, 71 for a start-up or run failure. Some start-up failures
// (allowlist, fallback table, user switch) end the process directly with 71.
int daemon_main(int argc, char **argv);

#endif  // HERONSEND_DAEMON_DAEMON_H_
