#include "check/session.h"

#include <arpa/inet.h>

#include <vector>

#include "check/context.h"
#include "filter/callbacks.h"
#include "filter/connection.h"

namespace {

// The filter's answer as the MTA would act on it.
std::string answer_text(sfsistat answer, const SMFICTX &ctx) {
  switch (answer) {
    case SMFIS_CONTINUE:
    case SMFIS_NOREPLY: return "continue";
    case SMFIS_ACCEPT: return "accept";
    case SMFIS_REJECT: return ctx.reply.empty() ? "reject" : ctx.reply;
    case SMFIS_TEMPFAIL: return ctx.reply.empty() ? "tempfail" : ctx.reply;
    case SMFIS_DISCARD: return "discard";
    default: return "answer " + std::to_string(answer);
  }
}

// A step the filter let the connection go on from: answered "continue",
// or a step it asked the MTA not to wait for (its trouble is answered at
// the next step that answers, as the MTA would see it).
bool went_on(sfsistat answer) {
  return answer == SMFIS_CONTINUE || answer == SMFIS_NOREPLY;
}

// A text the callbacks may write into, as libmilter hands them.
std::vector<char> writable(const char *text) {
  std::string s = text ? text : "";
  return std::vector<char>(s.c_str(), s.c_str() + s.size() + 1);
}

// What the latest SPF query of the connection left behind.
void note_query(SMFICTX &ctx, check_outcome &out) {
  connection_data *cd = get_connection_data(&ctx);
  if (cd == nullptr || !cd->lib || cd->lib->response == nullptr) return;
  SPF_response_t *response = cd->lib->response;
  out.queried = true;
  out.reason = SPF_response_reason(response);
  out.error = SPF_response_errcode(response);
  const char *matched = lib_matched_mechanism(cd->lib.get());
  out.matched = matched ? matched : "";
}

void play(const check_input &in, SMFICTX &ctx, check_outcome &out) {
  std::vector<char> host_name = writable("unknown");
  sockaddr_storage client = in.client;
  sfsistat a = milter_connect(&ctx, host_name.data(),
                              reinterpret_cast<_SOCK_ADDR *>(&client));
  if (!went_on(a)) return;
  if (in.helo != nullptr) {
    std::vector<char> helo = writable(in.helo);
    if (!went_on(milter_helo(&ctx, helo.data()))) return;
  }
  std::vector<char> sender = writable(in.sender);
  char *mail_argv[] = {sender.data(), nullptr};
  a = milter_envfrom(&ctx, mail_argv);
  out.mail_answer = answer_text(a, ctx);
  out.mail_refused = a == SMFIS_REJECT || a == SMFIS_TEMPFAIL;
  if (a != SMFIS_CONTINUE) {
    note_query(ctx, out);
    return;
  }
  if (in.recipient != nullptr) {
    ctx.reply.clear();
    std::vector<char> recipient = writable(in.recipient);
    char *rcpt_argv[] = {recipient.data(), nullptr};
    a = milter_envrcpt(&ctx, rcpt_argv);
    out.rcpt_answer = answer_text(a, ctx);
    // A refused recipient is refused alone; the message goes on (the
    // filter keeps its texts for the header in recipient-MX mode).
    if (!went_on(a) && a != SMFIS_REJECT) {
      note_query(ctx, out);
      return;
    }
  }
  note_query(ctx, out);
  if (!went_on(milter_eoh(&ctx))) return;
  milter_eom(&ctx);
  // The filter inserts its fields at the top, last first: the HELO
  // identity's Received-SPF (with -c) before the message's own.
  for (const check_header &h : ctx.inserted) {
    if (h.name == "Received-SPF") {
      out.helo_header = std::move(out.header);
      out.header = h.value;
    }
    if (h.name == "Authentication-Results") out.auth_results = h.value;
  }
}

}  // namespace

check_outcome run_check(const check_input &in) noexcept {
  check_outcome out;
  SMFICTX ctx;
  ctx.receiver = in.receiver;
  try {
    play(in, ctx, out);
  } catch (...) {
    // Out of memory for the tool's own copies: what was found stays.
  }
  milter_close(&ctx);
  return out;
}
