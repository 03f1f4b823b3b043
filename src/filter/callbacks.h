// The entry points registered with libmilter.
//
// libmilter is C: nothing may unwind into it. Each entry point calls its
// spf_ callback and turns anything unexpected into the filter's usual
// answer to its own trouble, which is to let the mail through (the
// connection's record, if any, is still released by the close callback).

#ifndef HERONSEND_FILTER_CALLBACKS_H_
#define HERONSEND_FILTER_CALLBACKS_H_

#include <libmilter/mfapi.h>

extern "C" {
sfsistat milter_connect(SMFICTX *ctx, char *host_name, _SOCK_ADDR *address);
sfsistat milter_helo(SMFICTX *ctx, char *name);
sfsistat milter_envfrom(SMFICTX *ctx, char **argv);
sfsistat milter_envrcpt(SMFICTX *ctx, char **argv);
sfsistat milter_header(SMFICTX *ctx, char *name, char *value);
sfsistat milter_eoh(SMFICTX *ctx);
sfsistat milter_eom(SMFICTX *ctx);
sfsistat milter_abort(SMFICTX *ctx);
sfsistat milter_close(SMFICTX *ctx);
}

#endif  // HERONSEND_FILTER_CALLBACKS_H_
