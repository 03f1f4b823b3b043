// TCP_NODELAY on libmilter's listening TCP socket.
//
// libmilter answers end of message with several small writes (the header
// changes, then the final reply). With Nagle's algorithm on, the last write
// waits for the MTA's delayed ACK (about 40 ms on Linux) on every message.
// The daemon cannot reach the accepted sockets (libmilter owns them), but on
// Linux an accepted TCP socket inherits TCP_NODELAY from the listening one.
//
// libmilter does not hand out its listening descriptor and has no option for
// it. Right after smfi_opensocket, though, the daemon has opened no other
// listening socket, so the listening TCP sockets among the process's
// descriptors (SO_ACCEPTCONN set, family AF_INET or AF_INET6, type
// SOCK_STREAM) are libmilter's. Those are found through /proc/self/fd.

#ifndef HERONSEND_DAEMON_LISTENER_H_
#define HERONSEND_DAEMON_LISTENER_H_

// For an "inet:" or "inet6:" socket specification: sets TCP_NODELAY on
// every listening TCP socket of the process and returns how many it set.
// Finding none, or failing on one, is logged at LOG_WARNING and is not
// fatal (the filter still works, only slower). Other specifications (local
// sockets) are left alone: returns 0 without a warning.
int set_listener_nodelay(const char *socket_spec);

#endif  // HERONSEND_DAEMON_LISTENER_H_
