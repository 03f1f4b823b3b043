// The filter's TCP socket kept open across a restart, so that a message
// sent while the service restarts waits for the new process instead of
// finding no filter.
//
// A restart stops the old process before it starts the new one, and
// libmilter opens its listening socket itself: without help, connections
// in between are refused and the MTA lets their messages through by its
// rule for a filter it cannot reach. Under systemd the daemon puts its
// listening socket into the service's file descriptor store
// (FileDescriptorStoreMax= in the unit). The store's copy keeps the socket
// listening while no process runs: connections wait in its backlog. systemd
// passes the stored descriptor to the next process (LISTEN_PID, LISTEN_FDS,
// LISTEN_FDNAMES; descriptors from 3 on), which serves it instead of
// opening a new one. A full stop empties the store and closes the socket.
//
// Only TCP sockets ("inet:", "inet6:"): libmilter removes a local socket's
// file when its process ends, so a stored local socket would go on
// listening with no name to reach it by. Local sockets are opened at every
// start as before.
//
// The stored descriptor's name is made from the socket specification, so
// that a restart after the administrator changed it does not serve the old
// address: a passed descriptor of another name is taken out of the store,
// and the socket opened as given. Whatever goes wrong on the way is logged
// at LOG_WARNING and the socket is opened as without the store.

#ifndef HERONSEND_DAEMON_HANDOVER_H_
#define HERONSEND_DAEMON_HANDOVER_H_

#include <sys/types.h>

#include <string>
#include <vector>

// The descriptors systemd passed to this process: their names, the first
// for descriptor 3 and so on.
struct passed_descriptors {
  bool valid = false;               // passed to this process, well formed
  std::vector<std::string> names;   // one per descriptor
};

// Reads LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES (null when unset) for
// process pid. Valid when LISTEN_PID is pid and LISTEN_FDS a count from 1
// to 8, both plain decimal; names missing (no LISTEN_FDNAMES, or fewer
// than the count) are "".
passed_descriptors parse_passed_descriptors(const char *listen_pid, const char *listen_fds,
                                            const char *listen_fdnames, pid_t pid);

// The store name for a socket specification: "heronsend-" and 16 hex
// digits of a fixed hash (FNV-1a, 64 bits) of its text. Every release must
// compute the same name for the same text, or an upgrade would not take
// over the socket.
std::string stored_socket_name(const char *socket_spec);

// Start-up, in place of smfi_opensocket after smfi_setconn(socket_spec):
// takes over a passed descriptor of this specification, or opens the
// socket as libmilter does and (under systemd, TCP) stores it. Takes every
// other passed descriptor out of the store and closes it, and removes the
// LISTEN_ variables from the environment. Returns libmilter's MI_SUCCESS
// or MI_FAILURE (the socket cannot be opened at all).
int open_filter_socket(const char *socket_spec);

#endif  // HERONSEND_DAEMON_HANDOVER_H_
