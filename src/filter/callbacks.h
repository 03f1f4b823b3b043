// The entry points registered with libmilter.
//
// At negotiation the filter asks not to be waited for at the steps where it
// decides nothing (filter/replies.h); those entry points return
// SMFIS_NOREPLY, and their own trouble is answered at the next step that
// replies.
//
// libmilter is C: nothing may unwind into it. Each entry point calls its
// spf_ callback and turns anything unexpected into the filter's usual
// answer to its own trouble, which is to let the mail through (the
// connection's record, if any, is still released by the close callback).
//
// The entry points also count the connections open and let shutdown wait
// for them: before the event loop is told to stop, the connections still
// open finish their messages, judged as usual, for a few seconds
// (drain_connections). libmilter's event loop returns without waiting for
// its worker threads, which may still be inside a callback using the SPF
// server, the receiver or the allowlist. Shutdown then closes the gate:
// callbacks that arrive later let the mail through without touching that
// shared state (abort and close still release the connection's own texts
// and record), and shutdown waits for the callbacks already running before
// it releases anything.

#ifndef HERONSEND_FILTER_CALLBACKS_H_
#define HERONSEND_FILTER_CALLBACKS_H_

#include <libmilter/mfapi.h>

#include <chrono>

extern "C" {
sfsistat milter_negotiate(SMFICTX *ctx, unsigned long offered_actions,
                          unsigned long offered_steps, unsigned long,
                          unsigned long, unsigned long *actions,
                          unsigned long *steps, unsigned long *more_flags,
                          unsigned long *even_more_flags);
sfsistat milter_connect(SMFICTX *ctx, char *host_name, _SOCK_ADDR *address);
sfsistat milter_helo(SMFICTX *ctx, char *name);
sfsistat milter_envfrom(SMFICTX *ctx, char **argv);
sfsistat milter_envrcpt(SMFICTX *ctx, char **argv);
// DATA: only continues. Registered, and answered, so that the MTA waits for
// (and so acknowledges at once) its DATA packet, which also carries the
// unanswered RCPT TO before it; without a reply the MTA's next small write
// (the header fields and end of message) waits under Nagle's algorithm for
// the filter's delayed ACK.
sfsistat milter_data(SMFICTX *ctx);
sfsistat milter_header(SMFICTX *ctx, char *name, char *value);
sfsistat milter_eoh(SMFICTX *ctx);
sfsistat milter_eom(SMFICTX *ctx);
sfsistat milter_abort(SMFICTX *ctx);
// Close: spf_close, except for a connection whose connect step never came,
// which has nothing to release and logs nothing.
sfsistat milter_close(SMFICTX *ctx);
}

// Start-up: callbacks do their work.
void open_callbacks();

// Shutdown, before the event loop is told to stop: waits up to timeout for
// the connections open (those with a record) to close, while their callbacks
// go on judging mail. True when none is open.
bool drain_connections(std::chrono::milliseconds timeout);

// The number of connections with a record attached.
int open_connections();

// Shutdown: from now on callbacks leave the shared state alone; waits up to
// timeout for the callbacks already running. True when none is running any
// more, so the shared state may be released.
bool close_callbacks(std::chrono::milliseconds timeout);

#endif  // HERONSEND_FILTER_CALLBACKS_H_
