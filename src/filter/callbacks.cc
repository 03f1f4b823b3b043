#include "filter/callbacks.h"

#include <syslog.h>

#include "filter/connection.h"
#include "filter/envelope.h"
#include "filter/headers.h"

namespace {

template <typename Body>
sfsistat guarded(const char *callback, sfsistat on_failure,
                 Body body) noexcept {
  try {
    return body();
  } catch (...) {
    syslog(LOG_ERR, "%s failed unexpectedly - accepting", callback);
    return on_failure;
  }
}

}  // namespace

extern "C" {

sfsistat milter_connect(SMFICTX *ctx, char *host_name, _SOCK_ADDR *address) {
  return guarded("spf_connect", SMFIS_ACCEPT,
                 [&] { return spf_connect(ctx, host_name, address); });
}

sfsistat milter_helo(SMFICTX *ctx, char *name) {
  return guarded("spf_helo", SMFIS_ACCEPT, [&] { return spf_helo(ctx, name); });
}

sfsistat milter_envfrom(SMFICTX *ctx, char **argv) {
  return guarded("spf_envfrom", SMFIS_ACCEPT,
                 [&] { return spf_envfrom(ctx, argv); });
}

sfsistat milter_envrcpt(SMFICTX *ctx, char **argv) {
  return guarded("spf_envrcpt", SMFIS_ACCEPT,
                 [&] { return spf_envrcpt(ctx, argv); });
}

sfsistat milter_header(SMFICTX *ctx, char *name, char *value) {
  return guarded("spf_header", SMFIS_ACCEPT,
                 [&] { return spf_header(ctx, name, value); });
}

sfsistat milter_eoh(SMFICTX *ctx) {
  return guarded("spf_eoh", SMFIS_ACCEPT, [&] { return spf_eoh(ctx); });
}

sfsistat milter_eom(SMFICTX *ctx) {
  return guarded("spf_eom", SMFIS_CONTINUE, [&] { return spf_eom(ctx); });
}

sfsistat milter_abort(SMFICTX *ctx) {
  return guarded("spf_abort", SMFIS_CONTINUE, [&] { return spf_abort(ctx); });
}

sfsistat milter_close(SMFICTX *ctx) {
  return guarded("spf_close", SMFIS_CONTINUE, [&] { return spf_close(ctx); });
}

}  // extern "C"
