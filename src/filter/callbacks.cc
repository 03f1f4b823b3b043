#include "filter/callbacks.h"

#include <syslog.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "filter/connection.h"
#include "filter/envelope.h"
#include "filter/headers.h"
#include "filter/replies.h"
#include "filter/verdict_log.h"

namespace {

// Callbacks inside their body, and whether shutdown has closed the gate.
// Both sequentially consistent: a callback counts itself in before it looks
// at the gate, shutdown closes the gate before it counts, so either the
// callback sees the gate closed or shutdown sees it running.
std::atomic<int> running{0};
std::atomic<bool> closed{false};

// Connections with a record attached: counted when connect attaches one,
// uncounted when close releases it.
std::atomic<int> connections{0};

// The connections whose connect callback ran but attached no record (it
// failed, or the MTA gave no address), until their close. A connection
// whose connect step never came (a port probe, or an SMTP session that
// ended before its first MAIL FROM, since the MTA sends an unanswered
// CONNECT only with the next step it waits for) has nothing to release and
// nothing to report at close; one whose connect failed gets close's notice.
std::mutex unrecorded_lock;
std::unordered_set<const SMFICTX *> unrecorded;

// Waits until cond holds or the timeout passes; true if it holds.
template <typename Cond>
bool wait_for(Cond cond, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Whether a callback needs the shared state, or only its own record.
enum class needs { shared_state, own_record };

// Runs a step's callback body. An acceptance due from an earlier quiet step
// comes first (at MAIL FROM the message is still begun, so that it is
// counted and logged); a quiet step's answer becomes "no reply"
// (filter/replies.h). An acceptance the MTA is told of ends the message
// for the filter: it hears nothing more of it, so its verdict line is
// written now (a message already finished is not finished again).
template <typename Body, typename Unchecked>
sfsistat guarded(SMFICTX *ctx, milter_step step, const char *callback,
                 needs what, sfsistat on_failure, Body body,
                 Unchecked begin_unchecked) noexcept {
  running.fetch_add(1);
  sfsistat answer = on_failure;
  if (what == needs::own_record || !closed.load()) {
    try {
      if (acceptance_due(ctx, step)) {
        begin_unchecked();
        answer = SMFIS_ACCEPT;
      } else {
        answer = body();
      }
    } catch (...) {
      syslog(LOG_ERR, "%s failed unexpectedly - accepting", callback);
      answer = on_failure;
    }
    if (answer == SMFIS_ACCEPT && step_replies(step))
      finish_message(ctx, get_connection_data(ctx), message_action::accepted);
  }
  answer = step_answer(ctx, step, answer);
  running.fetch_sub(1);
  return answer;
}

template <typename Body>
sfsistat guarded(SMFICTX *ctx, milter_step step, const char *callback,
                 needs what, sfsistat on_failure, Body body) noexcept {
  return guarded(ctx, step, callback, what, on_failure, body, [] {});
}

}  // namespace

void open_callbacks() {
  closed.store(false);
  connections.store(0);
}

bool drain_connections(std::chrono::milliseconds timeout) {
  return wait_for([] { return connections.load() <= 0; }, timeout);
}

int open_connections() { return connections.load(); }

bool close_callbacks(std::chrono::milliseconds timeout) {
  closed.store(true);
  return wait_for([] { return running.load() == 0; }, timeout);
}

extern "C" {

sfsistat milter_negotiate(SMFICTX *ctx, unsigned long, unsigned long offered_steps,
                          unsigned long, unsigned long, unsigned long *actions,
                          unsigned long *steps, unsigned long *more_flags,
                          unsigned long *even_more_flags) {
  return guarded(ctx, milter_step::none, "spf_negotiate", needs::own_record,
                 SMFIS_REJECT, [&] {
    *more_flags = 0;
    *even_more_flags = 0;
    return negotiate_steps(offered_steps, actions, steps);
  });
}

sfsistat milter_connect(SMFICTX *ctx, char *host_name, _SOCK_ADDR *address) {
  return guarded(ctx, milter_step::connect, "spf_connect", needs::shared_state,
                 SMFIS_ACCEPT, [&] {
    sfsistat answer = spf_connect(ctx, host_name, address);
    if (smfi_getpriv(ctx) != nullptr) {
      connections.fetch_add(1);
    } else {
      std::lock_guard<std::mutex> hold(unrecorded_lock);
      unrecorded.insert(ctx);
    }
    return answer;
  });
}

sfsistat milter_helo(SMFICTX *ctx, char *name) {
  return guarded(ctx, milter_step::helo, "spf_helo", needs::shared_state,
                 SMFIS_ACCEPT,
                 [&] { return spf_helo(ctx, name); });
}

sfsistat milter_envfrom(SMFICTX *ctx, char **argv) {
  return guarded(ctx, milter_step::mail, "spf_envfrom", needs::shared_state,
                 SMFIS_ACCEPT,
                 [&] { return spf_envfrom(ctx, argv); },
                 [&] {
                   if (connection_data *cd = get_connection_data(ctx))
                     begin_message(cd, argv);
                 });
}

sfsistat milter_envrcpt(SMFICTX *ctx, char **argv) {
  return guarded(ctx, milter_step::rcpt, "spf_envrcpt", needs::shared_state,
                 SMFIS_ACCEPT,
                 [&] { return spf_envrcpt(ctx, argv); });
}

sfsistat milter_data(SMFICTX *ctx) {
  return guarded(ctx, milter_step::data, "spf_data", needs::own_record,
                 SMFIS_CONTINUE, [] { return SMFIS_CONTINUE; });
}

sfsistat milter_header(SMFICTX *ctx, char *name, char *value) {
  return guarded(ctx, milter_step::header, "spf_header", needs::shared_state,
                 SMFIS_ACCEPT,
                 [&] { return spf_header(ctx, name, value); });
}

sfsistat milter_eoh(SMFICTX *ctx) {
  return guarded(ctx, milter_step::eoh, "spf_eoh", needs::shared_state,
                 SMFIS_ACCEPT,
                 [&] { return spf_eoh(ctx); });
}

sfsistat milter_eom(SMFICTX *ctx) {
  return guarded(ctx, milter_step::eom, "spf_eom", needs::shared_state,
                 SMFIS_CONTINUE,
                 [&] { return spf_eom(ctx); });
}

sfsistat milter_abort(SMFICTX *ctx) {
  return guarded(ctx, milter_step::none, "spf_abort", needs::own_record,
                 SMFIS_CONTINUE, [&] { return spf_abort(ctx); });
}

sfsistat milter_close(SMFICTX *ctx) {
  return guarded(ctx, milter_step::none, "spf_close", needs::own_record,
                 SMFIS_CONTINUE, [&] {
    bool had_record = smfi_getpriv(ctx) != nullptr;
    if (!had_record) {
      std::lock_guard<std::mutex> hold(unrecorded_lock);
      if (unrecorded.erase(ctx) == 0) return SMFIS_CONTINUE;
    }
    sfsistat answer = spf_close(ctx);
    if (had_record && smfi_getpriv(ctx) == nullptr) connections.fetch_sub(1);
    return answer;
  });
}

}  // extern "C"
