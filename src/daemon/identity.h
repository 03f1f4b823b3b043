// Process identity: PID file, user switch and detaching.
//
// The last start-up step before the start line: with the listening socket
// already open, the daemon opens its PID file (-p) while it still has the
// rights it was started with, switches to the -u user, detaches into the
// background unless -X is given, and only then writes its process ID, so
// the file names the process that actually runs and serves. Shutdown
// removes that file again.
//
// A relative -p path is made absolute against the working directory at
// start-up: detaching changes directory to "/", and the removal at shutdown
// must name the very file that was written.
//
// Runs on the main thread only, before the filter threads exist and after
// they are gone. The fatal problems log one LOG_ERR line and end the process
// with exit status 71; a PID file that cannot be written and a failed
// initgroups are only logged.

#ifndef HERONSEND_DAEMON_IDENTITY_H_
#define HERONSEND_DAEMON_IDENTITY_H_

#include <pwd.h>
#include <sys/types.h>

// Start-up: PID file (config.pid_file), user switch (config.run_as_user,
// decided on the real user ID), detaching (unless config.no_daemon), then
// the process ID written into the PID file.
void establish_process_identity();

// Shutdown: removes the PID file if start-up opened it; does nothing
// otherwise. The result of the removal is ignored (after a user switch the
// daemon may no longer have the right to remove it).
void remove_pid_file();

// The steps of establish_process_identity, each usable on its own.

// Creates or truncates the PID file, readable and writable by the owner
// only, and remembers its absolute path for remove_pid_file. Returns a
// close-on-exec descriptor above the standard streams (detaching points
// those at /dev/null), or -1 after logging "unable to write PID file - %m".
int open_pid_file(const char *path);

// Writes pid as "%ld\n" to fd and closes it; a failure is logged as
// "unable to write PID file - %m" and is not fatal.
void write_pid_file(int fd, long pid);

// The file of a local (unix-domain) socket specification as libmilter reads
// it: "unix:PATH", "local:PATH" (prefix in any letter case), ":PATH" or a
// bare PATH without a colon; nullptr for the other kinds (inet:, inet6:).
const char *local_socket_path(const char *spec);

// Gives a local listening socket to the account the daemon switches to.
// The socket is created owner-only before the switch, that is owned by
// root, and the MTA must reach it once the daemon runs as the -u user (with
// Postfix, run as Postfix's own user). A failure is only a warning
// ("chown '%s' - %m"): an MTA running as root still reaches the socket.
void hand_socket_over(const char *spec, uid_t uid, gid_t gid);

// The account named by the -u text: a text that strtol (base 0) consumes
// whole is a user ID (the empty text counts as 0), anything else a name.
// A number that is negative or too large for a user ID names no account.
// The result points into the C library's static storage; nullptr if there
// is no such account.
const struct passwd *find_run_as_user(const char *text);

// The user switch, decided on real_uid (the caller passes getuid()):
// as root with a user, hands a local socket over to that user and becomes
// it (supplementary groups from initgroups with the text as written); as root without one, logs a
// warning; not root but with a user, refuses (exit 71); else does nothing.
void switch_user(uid_t real_uid, const char *run_as_user);

// daemon(0, 0): forks, the parent exits, the child becomes a session
// leader in "/" with its standard streams on /dev/null. Exit 71 on failure.
void detach();

#endif  // HERONSEND_DAEMON_IDENTITY_H_
