#include "check/context.h"

#include <cstdarg>

#include <cstring>

// The filter's callbacks call these as libmilter's; nothing may unwind out
// of them (a copy that runs out of memory is a failed call).
extern "C" {

int smfi_setpriv(SMFICTX *ctx, void *data) {
  ctx->priv = data;
  return MI_SUCCESS;
}

void *smfi_getpriv(SMFICTX *ctx) { return ctx->priv; }

char *smfi_getsymval(SMFICTX *ctx, char *name) {
  if (name != nullptr && std::strcmp(name, "{j}") == 0)
    return const_cast<char *>(ctx->receiver);
  return nullptr;
}

int smfi_setreply(SMFICTX *ctx, char *rcode, char *xcode, char *message) {
  try {
    ctx->reply = std::string(rcode ? rcode : "") + " " + (xcode ? xcode : "") +
                 " " + (message ? message : "");
  } catch (...) {
    return MI_FAILURE;
  }
  return MI_SUCCESS;
}

// The lines of a multi-line reply, each as "RCODE XCODE TEXT" on a line of
// its own.
int smfi_setmlreply(SMFICTX *ctx, const char *rcode, const char *xcode, ...) {
  try {
    std::string reply;
    va_list lines;
    va_start(lines, xcode);
    for (const char *line = va_arg(lines, const char *); line != nullptr;
         line = va_arg(lines, const char *)) {
      if (!reply.empty()) reply += "\n";
      reply += std::string(rcode ? rcode : "") + " " + (xcode ? xcode : "") +
               " " + line;
    }
    va_end(lines);
    ctx->reply = reply;
  } catch (...) {
    return MI_FAILURE;
  }
  return MI_SUCCESS;
}

// The tool delivers nothing: a quarantine is only noted.
int smfi_quarantine(SMFICTX *ctx, char *reason) {
  try {
    ctx->quarantine = reason ? reason : "";
  } catch (...) {
    return MI_FAILURE;
  }
  return MI_SUCCESS;
}

int smfi_insheader(SMFICTX *ctx, int, char *name, char *value) {
  try {
    ctx->inserted.push_back({name ? name : "", value ? value : ""});
  } catch (...) {
    return MI_FAILURE;
  }
  return MI_SUCCESS;
}

// The tool hands the filter no headers, so there is nothing to change.
int smfi_chgheader(SMFICTX *, char *, int, char *) { return MI_SUCCESS; }

}  // extern "C"
