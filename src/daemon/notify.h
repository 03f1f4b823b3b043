// Tells the service manager how the start and the stop go: systemd's
// notification protocol, written by hand (no libsystemd).
//
// Under a unit with Type=notify, systemd passes the path of a datagram
// socket in $NOTIFY_SOCKET and counts the service as started only when it
// sends "READY=1": the daemon sends it once its socket is open, the user
// switched and the start line logged, so a start that fails before that
// point is reported as failed by `systemctl start` and `systemctl restart`.
// "STOPPING=1" tells systemd that a stop has begun.
//
// systemd also keeps descriptors for a service across its restarts (its
// file descriptor store, FileDescriptorStoreMax= in the unit): "FDSTORE=1"
// with the descriptor attached (SCM_RIGHTS) and a name ("FDNAME=") puts one
// in, "FDSTOREREMOVE=1" with the name takes it out again and closes it.
//
// The path is a file (beginning with "/") or a name in the abstract
// namespace (beginning with "@", which stands for the leading NUL byte).
// Without $NOTIFY_SOCKET (started by hand, or by another supervisor) every
// call does nothing. A failure to send is logged at LOG_WARNING and is not
// fatal: the daemon serves mail whether or not its supervisor listens.

#ifndef HERONSEND_DAEMON_NOTIFY_H_
#define HERONSEND_DAEMON_NOTIFY_H_

// Sends one notification text (for example "READY=1") to the socket named
// by $NOTIFY_SOCKET. Returns 1 when sent, 0 when $NOTIFY_SOCKET is unset or
// empty, -1 when the name is unusable (neither "/" nor "@", or too long
// for a socket address) or the send failed (logged).
int notify_service_manager(const char *state);

// Puts a copy of descriptor fd into systemd's file descriptor store under
// name (at most 255 characters, no ':' and no control characters: the
// caller's to ensure). Returns as notify_service_manager.
int notify_store_descriptor(int fd, const char *name);

// Asks systemd to close and forget the stored descriptors of this name.
// Returns as notify_service_manager.
int notify_remove_stored(const char *name);

// notify_service_manager("READY=1").
void notify_ready();

// notify_service_manager("STOPPING=1").
void notify_stopping();

#endif  // HERONSEND_DAEMON_NOTIFY_H_
