// heronsend-check: asks the daemon's own SPF engine why a sender gets its
// verdict, with the daemon's options.
//
//   heronsend-check [options] CLIENT-ADDRESS SENDER [HELO]
//
// The options are the daemon's, read by the daemon's own parser
// (options/command_line.h), and a few of the tool's own whose letters and
// long names the daemon does not use: -T/--to (the RCPT TO recipient),
// -R/--receiver (the "{j}" macro), -v/--verbose and --service[=FILE] (the
// options of the service's environment file, options/service_file.h,
// before those of the command line). The daemon's options that change a
// verdict or an answer are applied as the daemon applies them: -l -t -g
// -e -f -a/-w -r -m -A -o -c -d. Those about running a service (the
// socket word, -u, -p, -X) mean nothing for one check and are accepted and
// ignored, so the service's option line works as it stands.
//
// It starts the SPF library as the daemon does (lib_init with the daemon's
// DNS stack), with a DNS trace on top of the stack, loads the fallback
// table and the allowlist as the daemon's start does, plays one connection
// through the filter's callbacks (check/session.h) and prints, one per
// line: the verdict word of the header; the headers the daemon inserts, in
// the message's order (the message's Received-SPF, with -c the HELO
// identity's, with -A Authentication-Results); the answer at MAIL
// FROM (and at RCPT TO with a recipient); the options in force; with -v
// every DNS lookup and the mechanism that matched. A message refused or
// deferred at MAIL FROM gets no header there, so for it the header shown
// is the one the daemon inserts with -m, from a second run of the
// callbacks in mark-only mode (its lookups come from the cache and are not
// shown).
//
// Exit status: 0 pass, 1 fail, 2 softfail, 3 neutral, 4 none, 5 permerror,
// 6 temperror, 7 anything else (invalid, no header: the library's own
// trouble, or it could not start); 64 for a bad command line or service
// file; 71 when the allowlist or fallback file cannot be read, as the
// daemon's start.

#include <arpa/inet.h>
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "addr/allowlist.h"
#include "check/log.h"
#include "check/session.h"
#include "common/config.h"
#include "common/safe_text.h"
#include "common/version.h"
#include "fallback/fallback.h"
#include "filter/connection.h"
#include "options/command_line.h"
#include "options/in_force.h"
#include "options/service_file.h"
#include "spf/dns_trace.h"
#include "spf/lib.h"

namespace {

constexpr const char *kName = "heronsend-check";
// The service's environment file, as heronsend.service names it.
constexpr const char *kServiceFile = "/etc/default/heronsend";
constexpr const char *kOptionsVariable = "HERONSEND_OPTIONS";
// The longest sender and recipient taken. The daemon checks whatever its
// MTA hands it, and an MTA takes MAIL FROM and RCPT TO lines longer than
// RFC 5321's 256-character path (a 64-character local part and a
// 255-character domain are legal together): Postfix up to its
// line_length_limit, 2048 by default. The tool takes as much.
constexpr std::size_t kMaxAddress = 2048;
constexpr std::size_t kMaxName = 255;
constexpr int kExitTrouble = 7;

// The tool's own options: -T, -R, -v and --service are no letters or long
// names of the daemon's (nor of the ones reserved for it), so a service's
// option line and the tool's options mix freely.
const extra_option kToolOptions[] = {
    {'T', "to", required_argument},
    {'R', "receiver", required_argument},
    {'v', "verbose", no_argument},
    {0, "service", optional_argument},
};

void usage() {
  std::fprintf(stderr,
               "usage: %s [options] CLIENT-ADDRESS SENDER [HELO]\n", kName);
  print_usage_lines('T', "to", true, "<recipient>", 9, 4,
                    "Check a message to this recipient (with -r: its MX hosts).");
  print_usage_lines('R', "receiver", true, "<hostname>", 10, 4,
                    "The receiving host's name (default: this host's).");
  print_usage_lines('v', "verbose", false, "", 20, 26,
                    "Show the DNS lookups and the mechanism that matched.");
  std::fprintf(stderr, "    --service[=<file>]    Take the service's options "
                       "from this file first (default: %s).\n", kServiceFile);
  std::fprintf(stderr, "  and heronsend's options (the socket, -u, -p and -X "
                       "are ignored):\n");
  print_options_usage();
}

struct arguments {
  check_input in;
  bool verbose = false;
  const char *service_file = nullptr;  // --service, or none
};

// One argument's text: at most max characters, no control character.
bool good_text(const char *what, const char *text, std::size_t max) {
  for (const char *p = text; *p != '\0'; p++) {
    if (is_control_char(static_cast<unsigned char>(*p))) {
      std::fprintf(stderr, "%s: the %s holds a control character - '%s'\n",
                   kName, what, log_text(text).c_str());
      return false;
    }
  }
  if (std::strlen(text) > max) {
    std::fprintf(stderr, "%s: the %s is longer than %zu characters\n", kName,
                 what, max);
    return false;
  }
  return true;
}

bool parse_client(const char *text, sockaddr_storage *out) {
  auto *sin = reinterpret_cast<sockaddr_in *>(out);
  auto *sin6 = reinterpret_cast<sockaddr_in6 *>(out);
  if (inet_pton(AF_INET, text, &sin->sin_addr) == 1) {
    sin->sin_family = AF_INET;
    return true;
  }
  if (inet_pton(AF_INET6, text, &sin6->sin6_addr) == 1) {
    sin6->sin6_family = AF_INET6;
    return true;
  }
  std::fprintf(stderr, "%s: not an IPv4 or IPv6 address - '%s'\n", kName,
               log_text(text).c_str());
  return false;
}

// The service file's option words, kept for the life of the process: the
// configuration's texts point into them.
std::vector<std::string> service_words;
std::vector<char *> service_argv;

// Parses HERONSEND_OPTIONS of the service file into config. False
// (reported) when the file cannot be read or its options are bad.
bool read_service_options(const char *path) {
  std::map<std::string, std::string> variables;
  std::string error;
  if (!read_service_file(path, &variables, &error)) {
    std::fprintf(stderr, "%s: %s\n", kName, log_text(error.c_str()).c_str());
    return false;
  }
  auto found = variables.find(kOptionsVariable);
  service_words.clear();
  service_words.push_back(kName);
  if (found != variables.end())
    for (std::string &w : split_option_words(found->second))
      service_words.push_back(std::move(w));
  service_argv.clear();
  for (std::string &w : service_words) service_argv.push_back(w.data());
  service_argv.push_back(nullptr);
  int argc = static_cast<int>(service_words.size());
  int first = 0;
  // Only the daemon's options: anything else would stop the service too.
  option_extras daemon_only{{}, nullptr, [] {}};
  bool ok = parse_options(argc, service_argv.data(), &config, daemon_only, &first);
  if (ok && first < argc) {
    std::fprintf(stderr, "%s: '%s' is not an option\n", kName,
                 log_text(service_argv[first]).c_str());
    ok = false;
  }
  if (!ok)
    std::fprintf(stderr, "%s: %s in %s is not a good heronsend option line\n",
                 kName, kOptionsVariable, path);
  return ok;
}

// Fills config and *out from the command line (and the service file it
// names); false (reported) when either is bad.
bool parse_arguments(int argc, char **argv, arguments *out) {
  auto take = [out](const extra_option &o, const char *arg) {
    switch (o.letter) {
      case 'T': out->in.recipient = arg; return true;
      case 'R': out->in.receiver = arg; return true;
      case 'v': out->verbose = true; return true;
      default:  // --service
        out->service_file = arg != nullptr ? arg : kServiceFile;
        return true;
    }
  };
  option_extras tool{kToolOptions, take, usage};
  int first = 0;
  if (!parse_options(argc, argv, &config, tool, &first)) return false;
  if (out->service_file != nullptr) {
    // The service's options first, the command line's after them, so
    // these override or add to those (as later options do).
    if (!good_text("service file name", out->service_file, PATH_MAX) ||
        !read_service_options(out->service_file))
      return false;
    if (!parse_options(argc, argv, &config, tool, &first)) return false;
  }
  int left = argc - first;
  if (left < 2 || left > 3) {
    usage();
    return false;
  }
  // In recipient-MX mode the verdict is the recipient's: without one the
  // check would answer for a message no MTA sends.
  if (config.recipient_mx && out->in.recipient == nullptr) {
    std::fprintf(stderr, "%s: -r (recipient-MX mode) needs the recipient: "
                         "-T RECIPIENT\n", kName);
    return false;
  }
  const char *client = argv[first];
  out->in.sender = argv[first + 1];
  if (left == 3) out->in.helo = argv[first + 2];
  if (!good_text("client address", client, INET6_ADDRSTRLEN) ||
      !good_text("sender", out->in.sender, kMaxAddress) ||
      (out->in.helo && !good_text("HELO name", out->in.helo, kMaxName)) ||
      (out->in.recipient &&
       !good_text("recipient", out->in.recipient, kMaxAddress)) ||
      (out->in.receiver &&
       !good_text("receiver name", out->in.receiver, kMaxName)))
    return false;
  if (out->in.receiver && *out->in.receiver == '\0') {
    std::fprintf(stderr, "%s: the receiver name is empty\n", kName);
    return false;
  }
  return parse_client(client, &out->in.client);
}

// The trace on top of the daemon's stack, once lib_init has put it there.
SPF_dns_server_t *trace_layer = nullptr;

SPF_dns_server_t *add_trace(SPF_dns_server_t *stack) {
  trace_layer = dns_trace_new(stack, stack);
  return trace_layer;
}

// The header's first word.
std::string verdict_of(const std::string &header) {
  return header.substr(0, header.find(' '));
}

int exit_status(const std::string &verdict) {
  static const char *const kOrder[] = {"pass", "fail", "softfail", "neutral",
                                       "none", "permerror", "temperror"};
  for (int i = 0; i < 7; i++)
    if (verdict == kOrder[i]) return i;
  return kExitTrouble;
}

void print_lookup(const dns_trace_entry &e) {
  std::printf("DNS %s %s: %s", dns_type_name(e.type).c_str(),
              log_text(e.name.c_str()).c_str(),
              dns_status_name(e.status, static_cast<int>(e.records.size()))
                  .c_str());
  if (!e.records.empty())
    std::printf(", %zu record%s", e.records.size(),
                e.records.size() == 1 ? "" : "s");
  std::printf(", %s, %.1f ms\n", e.cached ? "cached" : "not cached",
              static_cast<double>(e.microseconds) / 1000.0);
  for (const std::string &r : e.records) {
    if (e.type == ns_t_txt)
      std::printf("    \"%s\"\n", log_text(r.c_str()).c_str());
    else
      std::printf("    %s\n", log_text(r.c_str()).c_str());
  }
}

// The mechanism that matched, or why none did.
void print_matched(const check_outcome &out) {
  if (!out.queried) {
    std::printf("matched: nothing (no SPF query was made)\n");
    return;
  }
  switch (out.reason) {
    case SPF_REASON_MECH:
      if (!out.matched.empty())
        std::printf("matched: %s\n", log_text(out.matched.c_str()).c_str());
      else
        std::printf("matched: a mechanism (the SPF library does not say "
                    "which)\n");
      return;
    case SPF_REASON_DEFAULT:
      std::printf("matched: nothing, the record's default (neutral)\n");
      return;
    case SPF_REASON_LOCALHOST:
      std::printf("matched: nothing, the client is this host (localhost "
                  "passes)\n");
      return;
    default:
      if (out.error != SPF_E_SUCCESS)
        std::printf("matched: nothing (%s)\n", SPF_strerror(out.error));
      else
        std::printf("matched: nothing\n");
      return;
  }
}

void print_outcome(const check_outcome &out, const arguments &args,
                   std::size_t lookups) {
  std::string verdict = out.header.empty() ? "unchecked" : verdict_of(out.header);
  std::printf("%s\n", verdict.c_str());
  if (out.header.empty())
    std::printf("Received-SPF: (none: the message is accepted unchecked)\n");
  else
    std::printf("Received-SPF: %s\n", out.header.c_str());
  if (!out.helo_header.empty())
    std::printf("Received-SPF: %s\n", out.helo_header.c_str());
  if (!out.auth_results.empty())
    std::printf("Authentication-Results: %s\n", out.auth_results.c_str());
  std::printf("MAIL FROM: %s\n",
              out.mail_answer.empty() ? "(not reached)" : out.mail_answer.c_str());
  if (args.in.recipient != nullptr)
    std::printf("RCPT TO: %s\n", out.rcpt_answer.empty()
                                     ? "(not reached)"
                                     : out.rcpt_answer.c_str());
  std::printf("Options: %s\n", options_in_force(config).c_str());
  if (!args.verbose) return;
  std::vector<dns_trace_entry> entries = dns_trace_entries(trace_layer);
  if (lookups == 0) std::printf("DNS: no lookups\n");
  for (std::size_t i = 0; i < lookups && i < entries.size(); i++)
    print_lookup(entries[i]);
  print_matched(out);
}

}  // namespace

int main(int argc, char **argv) {
  config = daemon_config{};
  config.program_name = kName;
  arguments args;
  if (!parse_arguments(argc, argv, &args)) return EXIT_USAGE;
  check_log_show_all(args.verbose);

  build_version_text();
  release_receiver();
  // As the daemon's start-up: -f and -g fill the fallback table (which the
  // check does not consult), -a/-w loads the allowlist; a file that cannot
  // be read ends the tool as it ends the daemon's start (exit 71).
  load_fallback_table();
  if (config.allowlist_file != nullptr) load_allowlist(config.allowlist_file);
  if (!lib_init(SPF_DNS_CACHE, add_trace)) {
    std::fprintf(stderr, "%s: lib_init() failed\n", kName);
    return kExitTrouble;
  }

  check_outcome out = run_check(args.in);
  std::size_t lookups = dns_trace_entries(trace_layer).size();
  if (out.header.empty() && out.mail_refused) {
    // Refused or deferred at MAIL FROM: the headers are the ones -m would
    // insert.
    char mark_only = config.mark_only;
    config.mark_only = 1;
    check_outcome marked = run_check(args.in);
    out.header = marked.header;
    out.helo_header = marked.helo_header;
    out.auth_results = marked.auth_results;
    config.mark_only = mark_only;
  }
  print_outcome(out, args, lookups);
  std::fflush(stdout);

  lib_fini();
  free_fallbacks();
  free_allowlist();
  release_receiver();
  return out.header.empty() ? kExitTrouble : exit_status(verdict_of(out.header));
}
