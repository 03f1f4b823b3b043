// Process identity: PID file, user switch and detaching.

#ifndef HERONSEND_DAEMON_IDENTITY_H_
#define HERONSEND_DAEMON_IDENTITY_H_

// Start-up, after the listening socket exists: writes the PID file (-p),
// switches to the -u user and detaches unless -X. Fatal problems end the
// process with exit status 71.
void establish_process_identity();

// Shutdown: removes the PID file written at start-up, if any.
void remove_pid_file();

#endif  // HERONSEND_DAEMON_IDENTITY_H_
