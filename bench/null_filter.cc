// null_filter: a libmilter filter that does no work, the ceiling heronsend
// is measured against. It registers the same steps as heronsend (so the MTA
// exchanges the same packets), answers every one with "continue", inserts
// one header at end of message as heronsend does, and sets TCP_NODELAY on an
// inet: listener the same way. Runs in the foreground until SIGTERM.
//
//   null_filter SOCKET

#include <libmilter/mfapi.h>
#include <sys/stat.h>

#include <cstdio>

#include "daemon/listener.h"

namespace {

sfsistat go_on(SMFICTX *) { return SMFIS_CONTINUE; }
sfsistat go_on_connect(SMFICTX *, char *, _SOCK_ADDR *) { return SMFIS_CONTINUE; }
sfsistat go_on_text(SMFICTX *, char *) { return SMFIS_CONTINUE; }
sfsistat go_on_argv(SMFICTX *, char **) { return SMFIS_CONTINUE; }
sfsistat go_on_header(SMFICTX *, char *, char *) { return SMFIS_CONTINUE; }

sfsistat end_of_message(SMFICTX *ctx) {
  smfi_insheader(ctx, 0, const_cast<char *>("X-Null-Filter"),
                 const_cast<char *>("seen"));
  return SMFIS_CONTINUE;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: null_filter SOCKET\n");
    return 64;
  }
  smfiDesc desc = {
      const_cast<char *>("null"), SMFI_VERSION, SMFIF_ADDHDRS | SMFIF_CHGHDRS,
      go_on_connect, go_on_text, go_on_argv, go_on_argv, go_on_header, go_on,
      nullptr, end_of_message, go_on, go_on, nullptr, go_on, nullptr,
  };
  umask(077);
  if (smfi_register(desc) == MI_FAILURE || smfi_setconn(argv[1]) == MI_FAILURE ||
      smfi_opensocket(true) == MI_FAILURE) {
    std::fprintf(stderr, "null_filter: cannot register or open %s\n", argv[1]);
    return 71;
  }
  set_listener_nodelay(argv[1]);
  std::fprintf(stderr, "null_filter: listening on %s\n", argv[1]);
  return smfi_main() == MI_SUCCESS ? 0 : 71;
}
