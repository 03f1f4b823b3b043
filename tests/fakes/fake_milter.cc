#include "fake_milter.h"

#include <cstdarg>

fake_milter_process fake_milter;

void reset_fake_milter() { fake_milter = fake_milter_process{}; }

extern "C" {

int smfi_register(struct smfiDesc descriptor) {
  fake_milter.registered = descriptor;
  return fake_milter.register_result;
}

int smfi_setconn(char *spec) {
  fake_milter.connection_spec = spec ? spec : "";
  return MI_SUCCESS;
}

int smfi_opensocket(bool remove_stale) {
  fake_milter.opensocket_arg = remove_stale;
  return fake_milter.opensocket_result;
}

int smfi_main() {
  fake_milter.main_calls++;
  return fake_milter.main_result;
}

int smfi_stop() { return MI_SUCCESS; }

int smfi_setpriv(SMFICTX *ctx, void *data) {
  ctx->setpriv_calls++;
  if (ctx->setpriv_result != MI_SUCCESS) return ctx->setpriv_result;
  ctx->priv = data;
  return MI_SUCCESS;
}

void *smfi_getpriv(SMFICTX *ctx) { return ctx->priv; }

char *smfi_getsymval(SMFICTX *ctx, char *name) {
  ctx->macro_requests.push_back(name);
  if (ctx->on_getsymval) ctx->on_getsymval(name);
  auto it = ctx->macros.find(name);
  if (it == ctx->macros.end()) return nullptr;
  return it->second.data();
}

int smfi_setreply(SMFICTX *ctx, char *rcode, char *xcode, char *message) {
  ctx->replies.push_back({rcode ? rcode : "", xcode ? xcode : "",
                          message ? message : ""});
  return MI_SUCCESS;
}

int smfi_setmlreply(SMFICTX *ctx, const char *rcode, const char *xcode, ...) {
  milter_reply reply{rcode ? rcode : "", xcode ? xcode : "", ""};
  va_list lines;
  va_start(lines, xcode);
  for (const char *line = va_arg(lines, const char *); line != nullptr;
       line = va_arg(lines, const char *))
    reply.message += (reply.message.empty() ? "" : "\n") + std::string(line);
  va_end(lines);
  ctx->replies.push_back(reply);
  return MI_SUCCESS;
}

int smfi_quarantine(SMFICTX *ctx, char *reason) {
  ctx->quarantines.push_back(reason ? reason : "");
  return ctx->quarantine_result;
}

int smfi_insheader(SMFICTX *ctx, int index, char *name, char *value) {
  ctx->header_changes.push_back(
      {true, index, name, value ? std::optional<std::string>(value)
                                : std::nullopt});
  return MI_SUCCESS;
}

int smfi_chgheader(SMFICTX *ctx, char *name, int index, char *value) {
  ctx->header_changes.push_back(
      {false, index, name, value ? std::optional<std::string>(value)
                                 : std::nullopt});
  return MI_SUCCESS;
}

}  // extern "C"
