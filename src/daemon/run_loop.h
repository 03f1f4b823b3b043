// Runs the mail filter library's event loop until a stop is asked for, and
// makes an idle stop quick.
//
// libmilter's own signal thread turns SIGTERM into a stop, but its listener
// holds a lock while it waits up to five seconds for a new connection, and
// the stop waits for that lock: a stop took up to five seconds even with
// nothing to do. Here the main thread waits for the termination signals
// itself (SIGTERM, SIGHUP and SIGINT all mean a normal stop) while the event
// loop runs on a thread of its own. On a signal it first runs the caller's
// before_stop step with the library still serving (a stopped libmilter no
// longer serves the connections already open), then asks the library to stop
// (smfi_stop) and interrupts the listener's wait with SIGUSR2, which that
// thread alone takes (a handler that does nothing): the listener treats an
// interrupted wait as a reason to look at the stop request again, so the
// loop ends at once. A waiting thread is the one Linux delivers a
// process-wide signal to first, but nothing depends on that: should
// libmilter's signal thread take the signal instead, the stop is the same,
// only as slow as before.

#ifndef HERONSEND_DAEMON_RUN_LOOP_H_
#define HERONSEND_DAEMON_RUN_LOOP_H_

// Runs smfi_main until it returns, stopping it on SIGTERM, SIGHUP or SIGINT
// after before_stop (if given) has returned. Returns smfi_main's result
// (MI_SUCCESS or MI_FAILURE). Blocks those signals and SIGUSR1 (which tells
// the waiting thread that the loop ended) in the calling thread and every
// thread started after, and leaves them blocked: a second signal does not
// cut the shutdown that follows short. Installs a handler for SIGUSR2 that
// does nothing.
int run_filter_loop(void (*before_stop)());

// For before_stop: interrupts the listener's current wait (SIGUSR2 to the
// loop's thread), so that it looks at its descriptor again at once.
void interrupt_filter_listener();

#endif  // HERONSEND_DAEMON_RUN_LOOP_H_
