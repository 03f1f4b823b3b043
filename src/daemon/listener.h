// libmilter's sockets, reached behind its back: TCP_NODELAY on the listening
// socket, and at a stop, no more connections taken and those still open
// closed.
//
// libmilter answers end of message with several small writes (the header
// changes, then the final reply). With Nagle's algorithm on, the last write
// waits for the MTA's delayed ACK (about 40 ms on Linux) on every message.
// The daemon cannot reach the accepted sockets through libmilter, but on
// Linux an accepted TCP socket inherits TCP_NODELAY from the listening one.
//
// A stop must take no new work while it finishes the work in hand, but
// libmilter stops accepting only when it stops serving the connections
// already open. So the daemon closes the listening socket itself: it
// replaces the descriptor libmilter listens on (the same number) with an
// unbound datagram socket, which nothing can connect to and which never
// becomes readable. libmilter's listener then waits on it without error
// until it is told to stop; new connections are refused (ECONNREFUSED, for
// a local socket too: its file stays, with no socket behind it), and the
// MTA applies its rule for a filter it cannot reach. At the end of the stop
// the connections still open are shut down, so their MTA sees them closed
// at once and no later answer reaches it.
//
// libmilter hands out none of these descriptors and has no option for
// them. Right after smfi_opensocket, though, the daemon has opened no other
// listening socket, so the listening stream sockets among the process's
// descriptors (SO_ACCEPTCONN set, found through /proc/self/fd) are
// libmilter's; and a connection it accepted is a stream socket whose local
// address is that of the listening socket (for TCP its port; the daemon's
// own DNS connections have ephemeral ports).

#ifndef HERONSEND_DAEMON_LISTENER_H_
#define HERONSEND_DAEMON_LISTENER_H_

// Whether a socket specification is a TCP one ("inet:" or "inet6:", in
// any case).
bool is_tcp_socket_spec(const char *socket_spec);

// Whether fd is a listening TCP socket (IPv4 or IPv6).
bool is_listening_tcp_socket(int fd);

// Right after smfi_opensocket: the process's one listening TCP socket, or
// -1 when there is none or more than one.
int listening_tcp_socket();

// Right after smfi_opensocket, with listening socket fd open besides:
// makes libmilter's descriptor (the process's one listening socket besides
// fd's)
// refer to fd's socket instead, keeping its close-on-exec flag. False,
// logged at LOG_ERR, when it is not found or cannot be replaced. fd itself
// stays open.
bool put_in_place_of_filter_socket(int fd);

// For an "inet:" or "inet6:" socket specification: sets TCP_NODELAY on
// every listening TCP socket of the process and returns how many it set.
// Finding none, or failing on one, is logged at LOG_WARNING and is not
// fatal (the filter still works, only slower). Other specifications (local
// sockets) are left alone: returns 0 without a warning.
int set_listener_nodelay(const char *socket_spec);

// Start-up, right after smfi_opensocket: remembers every listening stream
// socket of the process (descriptor and local address, at most four) as
// the filter socket, forgetting any remembered before. Returns how many;
// none is logged at LOG_WARNING (a stop then goes on taking connections
// while it drains).
int remember_filter_socket();

// A stop begins: each remembered descriptor is made to refer to an unbound
// datagram socket, which closes the listening socket (connections waiting
// to be accepted are reset) unless another copy keeps it open: one kept in
// systemd's store across a restart (daemon/handover.h) goes on listening,
// and its waiting connections are the next process's. Returns how many were replaced; a failure is
// logged at LOG_ERR and leaves that socket as it was. libmilter's listener
// may still be waiting on the old socket: the caller interrupts that wait.
int refuse_new_connections();

// The stop's drain is over: shuts down both ways every stream socket still
// open whose local address is a remembered one's (libmilter's accepted
// connections). Returns how many, or -1 when the descriptors cannot be
// listed (logged at LOG_ERR).
int close_accepted_connections();

#endif  // HERONSEND_DAEMON_LISTENER_H_
