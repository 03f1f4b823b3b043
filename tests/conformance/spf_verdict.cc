// The conformance runner's evaluator: the verdicts heronsend's own filter
// callbacks reach for a list of SPF checks, with the production DNS layer.
//
// It starts the SPF library the way the daemon does (lib_init with
// SPF_DNS_CACHE: the system resolver and the library's cache), then plays
// one SMTP connection per check through the filter callbacks against the
// recording libmilter fake, in the configuration of the daemon options on
// its command line (none: the default mode; an -a/-w allowlist is loaded
// as the daemon loads it): connect
// with the client address, HELO, MAIL FROM (so the null-sender substitute
// is the filter's own) and, unless the filter refused, end of message. The
// resolver is whatever /etc/resolv.conf names; the runner bind-mounts one
// naming its test DNS.
//
// Input (standard input), one check per line, fields separated by tabs:
//     NAME CLIENT-ADDRESS HELO MAIL-FROM
// MAIL-FROM is given without angle brackets and may be empty (the null
// sender). Output (standard output), one line per check, in input order,
// fields separated by tabs:
//     NAME VERDICT MAIL-ANSWER HEADER
//     NAME VERDICT MAIL-ANSWER HEADER AUTH-RESULTS
// VERDICT is "fail" when the filter refused with 550 5.7.1, otherwise the
// first word of the Received-SPF header it inserted (for a message refused
// or deferred otherwise, the mark-only one below), or "no-header" when
// there is none; "unexpected:..." marks any other answer of a callback.
// MAIL-ANSWER is "continue" or the refusal or deferral ("550 5.7.1 fail",
// "451 4.4.3 temperror"). HEADER is the Received-SPF value inserted, for a
// refused or deferred message the one the same connection gets in
// mark-only mode (-m), or "-" without one (with -c, the HELO identity's
// after it, joined by " || "); AUTH-RESULTS the same for the
// Authentication-Results header (-A): what heronsend-check shows, for the
// runner to compare.
// Exit status 0 when every line was evaluated, 1 when the SPF library could
// not start, 64 for a malformed input line or bad options.

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "options/command_line.h"
#include "addr/allowlist.h"
#include "daemon/daemon.h"
#include "fake_milter.h"
#include "filter/connection.h"
#include "smtp_session.h"
#include "spf/lib.h"

namespace {

const char *answer_name(sfsistat answer) {
  switch (answer) {
    case SMFIS_CONTINUE: return "continue";
    case SMFIS_REJECT: return "reject";
    case SMFIS_ACCEPT: return "accept";
    case SMFIS_TEMPFAIL: return "tempfail";
    case SMFIS_DISCARD: return "discard";
    default: return "other";
  }
}

struct check {
  std::string verdict, mail_answer = "-", header = "-", auth_results = "-";
};

// The values of the headers the connection inserted, in the message's
// order (the filter inserts at the top, last first); several Received-SPF
// values (with -c, the HELO identity's after the message's) joined by
// " || ".
void note_headers(const smtp_session &s, check &out) {
  for (const header_change &c : s.ctx.header_changes) {
    if (!c.insert || !c.value) continue;
    if (c.name == "Received-SPF")
      out.header = out.header == "-" ? *c.value : *c.value + " || " + out.header;
    if (c.name == "Authentication-Results") out.auth_results = *c.value;
  }
}

check verdict(const std::string &client, const std::string &helo,
              const std::string &mail_from) {
  check out;
  smtp_session s(client);
  sfsistat answer = s.connect();
  if (answer != SMFIS_CONTINUE) {
    out.verdict = std::string("unexpected:connect-") + answer_name(answer);
    return out;
  }
  answer = s.helo(helo);
  if (answer != SMFIS_CONTINUE) {
    out.verdict = std::string("unexpected:helo-") + answer_name(answer);
    return out;
  }
  answer = s.mail("<" + mail_from + ">");
  if (answer == SMFIS_REJECT || answer == SMFIS_TEMPFAIL) {
    if (s.ctx.replies.size() != 1) {
      out.verdict = "unexpected:refusal-without-one-reply";
      return out;
    }
    const auto &r = s.ctx.replies[0];
    out.mail_answer = r.rcode + " " + r.xcode + " " + r.message;
    if (!config.mark_only) {
      config.mark_only = 1;
      check marked = verdict(client, helo, mail_from);
      config.mark_only = 0;
      out.header = marked.header;
      out.auth_results = marked.auth_results;
    }
    if (r.rcode == "550" && r.xcode == "5.7.1")
      out.verdict = "fail";
    else
      out.verdict = out.header == "-" ? "no-header"
                                       : out.header.substr(0, out.header.find(' '));
    return out;
  }
  if (answer != SMFIS_CONTINUE) {
    out.verdict = std::string("unexpected:mail-") + answer_name(answer);
    return out;
  }
  out.mail_answer = "continue";
  answer = s.eom();
  if (answer != SMFIS_CONTINUE) {
    out.verdict = std::string("unexpected:eom-") + answer_name(answer);
    return out;
  }
  note_headers(s, out);
  out.verdict = out.header == "-" ? "no-header"
                                  : out.header.substr(0, out.header.find(' '));
  return out;
}

std::vector<std::string> split_tabs(const std::string &line) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace

int main(int argc, char **argv) {
  config = daemon_config{};
  config.program_name = "spf_verdict";
  int first = 0;
  if (!parse_options(argc, argv, &config, option_extras{}, &first) ||
      first != argc)
    return 64;
  if (config.allowlist_file != nullptr) load_allowlist(config.allowlist_file);
  build_version_text();
  release_receiver();
  if (!lib_init(SPF_DNS_CACHE)) {
    std::cerr << "spf_verdict: lib_init() failed\n";
    return 1;
  }
  int status = 0;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    std::vector<std::string> f = split_tabs(line);
    if (f.size() != 4) {
      std::cerr << "spf_verdict: bad input line: " << line << "\n";
      status = 64;
      break;
    }
    check c = verdict(f[1], f[2], f[3]);
    std::cout << f[0] << '\t' << c.verdict << '\t' << c.mail_answer << '\t'
              << c.header << '\t' << c.auth_results << std::endl;
  }
  lib_fini();
  free_allowlist();
  release_receiver();
  return status;
}
