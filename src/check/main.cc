// heronsend-check: asks the daemon's own SPF engine why a sender gets its
// verdict.
//
//   heronsend-check [options] CLIENT-ADDRESS SENDER [HELO]
//
// It starts the SPF library as the daemon does (lib_init with the daemon's
// DNS stack and its -l, -t, -e and -g settings), with a DNS trace on top of
// the stack, plays one connection through the filter's callbacks
// (check/session.h) and prints, one per line: the verdict word of the
// header; the Received-SPF header the daemon inserts; the answer at MAIL
// FROM in refusing mode (and at RCPT TO with -r); with -v every DNS lookup
// and the mechanism that matched. A fail is refused at MAIL FROM and gets
// no header there, so for a fail the header shown is the one the daemon
// inserts with -m, from a second run of the callbacks in mark-only mode
// (its lookups come from the cache and are not shown).
//
// Exit status: 0 pass, 1 fail, 2 softfail, 3 neutral, 4 none, 5 permerror,
// 6 temperror, 7 anything else (invalid, no header: the library's own
// trouble, or it could not start); 64 for a bad command line.

#include <arpa/inet.h>
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/safe_text.h"
#include "common/version.h"
#include "check/log.h"
#include "check/session.h"
#include "options/command_line.h"
#include "fallback/fallback.h"
#include "filter/connection.h"
#include "spf/dns_trace.h"
#include "spf/lib.h"

namespace {

constexpr const char *kName = "heronsend-check";
// The longest texts taken: an SMTP path (RFC 5321 4.5.3.1.3) and a domain
// name.
constexpr std::size_t kMaxAddress = 256;
constexpr std::size_t kMaxName = 255;
constexpr int kExitTrouble = 7;

const char kShortOptions[] = "l:tg:e:r:R:vh";

const struct option kLongOptions[] = {
    {"localpolicy", required_argument, nullptr, 'l'},
    {"trustedforwarders", no_argument, nullptr, 't'},
    {"guess", required_argument, nullptr, 'g'},
    {"explanation", required_argument, nullptr, 'e'},
    {"recipientmx", required_argument, nullptr, 'r'},
    {"receiver", required_argument, nullptr, 'R'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

void usage() {
  std::fprintf(stderr,
               "usage: %s [options] CLIENT-ADDRESS SENDER [HELO]\n", kName);
  for (char letter : {'l', 't', 'g', 'e'}) print_option_usage(letter);
  print_usage_lines('r', "recipientmx", true, "<recipient>", 9, 4,
                    "Check the MX records of this recipient's domain.");
  print_usage_lines('R', "receiver", true, "<hostname>", 10, 4,
                    "The receiving host's name (default: this host's).");
  print_usage_lines('v', "verbose", false, "", 20, 26,
                    "Show the DNS lookups and the mechanism that matched.");
  print_option_usage('h');
}

struct arguments {
  check_input in;
  bool verbose = false;
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

// Fills config and *out from the command line; false (reported) when it is
// bad.
bool parse_arguments(int argc, char **argv, arguments *out) {
  optind = 0;
  for (;;) {
    int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'l': config.local_policy = optarg; break;
      case 't': config.trusted_forwarders = 1; break;
      case 'g': config.guess = optarg; break;
      case 'e': config.explanation = optarg; break;
      case 'r':
        config.recipient_mx = 1;
        out->in.recipient = optarg;
        break;
      case 'R': out->in.receiver = optarg; break;
      case 'v': out->verbose = true; break;
      default:  // -h, an unknown option or a missing argument
        usage();
        return false;
    }
  }
  int left = argc - optind;
  if (left < 2 || left > 3) {
    usage();
    return false;
  }
  const char *client = argv[optind];
  out->in.sender = argv[optind + 1];
  if (left == 3) out->in.helo = argv[optind + 2];
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
  std::printf("MAIL FROM: %s\n",
              out.mail_answer.empty() ? "(not reached)" : out.mail_answer.c_str());
  if (args.in.recipient != nullptr)
    std::printf("RCPT TO: %s\n", out.rcpt_answer.empty()
                                     ? "(not reached)"
                                     : out.rcpt_answer.c_str());
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
  // As the daemon's start-up: -g fills the fallback table (which the check
  // does not consult).
  load_fallback_table();
  if (!lib_init(SPF_DNS_CACHE, add_trace)) {
    std::fprintf(stderr, "%s: lib_init() failed\n", kName);
    return kExitTrouble;
  }

  check_outcome out = run_check(args.in);
  std::size_t lookups = dns_trace_entries(trace_layer).size();
  if (out.header.empty() && out.mail_refused) {
    // Refused at MAIL FROM: the header is the one -m would insert.
    config.mark_only = 1;
    out.header = run_check(args.in).header;
    config.mark_only = 0;
  }
  print_outcome(out, args, lookups);
  std::fflush(stdout);

  lib_fini();
  free_fallbacks();
  release_receiver();
  return out.header.empty() ? kExitTrouble : exit_status(verdict_of(out.header));
}
