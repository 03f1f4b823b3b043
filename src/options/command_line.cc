#include "options/command_line.h"

#include <getopt.h>

#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace {

// One row per option, in the order of the usage text. short_pad brings the
// description of the short form to column 27; long_pad is fixed per option.
struct option_help {
  char letter;
  const char *long_name;
  int has_arg;  // no_argument, required_argument or optional_argument
  const char *placeholder;
  int short_pad;
  int long_pad;
  const char *description;
};

const option_help kOptionHelp[] = {
    {'l', "localpolicy", required_argument, "<spf-mechanism>", 5, 4,
     "Add local SPF policy mechanisms."},
    {'t', "trustedforwarders", no_argument, "", 20, 14,
     "Use the trusted-forwarder.org allowlist of known mail forwarders."},
    {'g', "guess", required_argument, "<spf-mechanisms>", 4, 4,
     "Add guess SPF policy mechanisms."},
    {'f', "fallback", required_argument, "<filename>", 10, 14,
     "A file of fallback SPF mechanisms."},
    {'w', "whitelist", required_argument, "<filename>", 10, 14,
     "A file of IP addresses to always accept mail from."},
    {'a', "allowlist", required_argument, "<filename>", 10, 14,
     "A file of IP addresses to always accept mail from."},
    {'r', "recipientmx", no_argument, "", 20, 14,
     "Check the MX records of the message's reqipients."},
    {'e', "explanation", required_argument, "<exp>", 15, 14,
     "Change the message returned in mail bounces."},
    {'m', "markonly", no_argument, "", 20, 22,
     "Mark email instead of rejecting it."},
    {'u', "user", required_argument, "<user|uid>", 10, 16,
     "Run as specified user or UID."},
    {'p', "pidfile", required_argument, "<filename>", 10, 16,
     "Write the process i.d. to the specified file."},
    {'X', "nodaemon", no_argument, "", 20, 26,
     "Do not fork into the background."},
    {'h', "help", no_argument, "", 20, 26, "Show this help."},
    {'d', "debug", optional_argument, "[<int>]", 13, 18,
     "Enable debugging to syslog."},
    {'A', "insertauthresults", no_argument, "", 20, 14,
     "Add an Authentication-Results header too."},
    {'o', "onresult", required_argument, "<result>=<action>", 3, 4,
     "Refuse, defer or mark mail by SPF result."},
    {'c', "checkhelo", no_argument, "", 20, 14,
     "Check the HELO name with SPF too."},
    {'V', "verdictlog", no_argument, "", 20, 14,
     "Log one verdict line per message."},
    {'S', "statistics", required_argument, "<minutes>", 11, 14,
     "Log statistics every so many minutes and at a stop."},
    {'k', "keeprecipients", required_argument, "<recipients>", 8, 4,
     "Recipients that always receive mail."},
    {'b', "bounceexplanation", no_argument, "", 20, 14,
     "Give the sender domain's explanation in a refusal."},
};

const struct option kLongOptions[] = {
    {"localpolicy", required_argument, nullptr, 'l'},
    {"trustedforwarders", no_argument, nullptr, 't'},
    {"guess", required_argument, nullptr, 'g'},
    {"fallback", required_argument, nullptr, 'f'},
    {"whitelist", required_argument, nullptr, 'w'},
    {"allowlist", required_argument, nullptr, 'a'},
    {"recipientmx", no_argument, nullptr, 'r'},
    {"explanation", required_argument, nullptr, 'e'},
    {"markonly", no_argument, nullptr, 'm'},
    {"user", required_argument, nullptr, 'u'},
    {"pidfile", required_argument, nullptr, 'p'},
    {"nodaemon", no_argument, nullptr, 'X'},
    {"help", no_argument, nullptr, 'h'},
    {"debug", optional_argument, nullptr, 'd'},
    {"insertauthresults", no_argument, nullptr, 'A'},
    {"onresult", required_argument, nullptr, 'o'},
    {"checkhelo", no_argument, nullptr, 'c'},
    {"verdictlog", no_argument, nullptr, 'V'},
    {"statistics", required_argument, nullptr, 'S'},
    {"keeprecipients", required_argument, nullptr, 'k'},
    {"bounceexplanation", no_argument, nullptr, 'b'},
    {nullptr, 0, nullptr, 0},
};

const char kShortOptions[] = "l:tg:f:w:a:re:mu:p:Xhd::Ao:cVS:k:b";

// The results -o can change, with the actions each may get instead of its
// default (the mark; for fail the refusal): RFC 7208 lets a receiver refuse
// softfail (8.5) and permerror (8.7), defer temperror (8.6, 451 4.4.3), and
// refuse a client whose HELO name fails (2.3, 8.4). What a receiver may
// refuse it may also accept into the MTA's quarantine (fail, softfail,
// permerror; temperror is passing trouble, for which a deferral is the
// answer, not a hold). fail=dmarc refuses a fail only where no DMARC policy
// would judge it (filter/result.h). One action per result: the last given
// wins, and the default word ("mark"; "refuse" for fail) restores the
// default.
struct result_policy {
  const char *result;
  const char *action;
  char daemon_config::*field;
};

const result_policy kPolicies[] = {
    {"softfail", "refuse", &daemon_config::refuse_softfail},
    {"softfail", "quarantine", &daemon_config::quarantine_softfail},
    {"permerror", "refuse", &daemon_config::refuse_permerror},
    {"permerror", "quarantine", &daemon_config::quarantine_permerror},
    {"temperror", "defer", &daemon_config::defer_temperror},
    {"helofail", "refuse", &daemon_config::refuse_helo_fail},
    {"fail", "quarantine", &daemon_config::quarantine_fail},
    {"fail", "dmarc", &daemon_config::fail_dmarc},
};

// One RESULT=ACTION pair (letter case and blanks around the words do not
// matter).
bool apply_policy(std::string_view pair, daemon_config *out) {
  auto trim = [](std::string_view t) {
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    return t;
  };
  std::size_t eq = pair.find('=');
  if (eq == std::string_view::npos) return false;
  std::string_view result = trim(pair.substr(0, eq));
  std::string_view action = trim(pair.substr(eq + 1));
  auto same = [](std::string_view a, const char *b) {
    return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
  };
  const char *default_word = same(result, "fail") ? "refuse" : "mark";
  const result_policy *chosen = nullptr;
  bool known = false;
  for (const result_policy &p : kPolicies) {
    if (!same(result, p.result)) continue;
    known = true;
    if (same(action, p.action)) chosen = &p;
  }
  if (!known || (chosen == nullptr && !same(action, default_word))) return false;
  for (const result_policy &p : kPolicies)
    if (same(result, p.result)) out->*p.field = 0;
  if (chosen == nullptr) return true;
  out->*chosen->field = 1;
  if (chosen->field == &daemon_config::refuse_helo_fail) out->check_helo = 1;
  return true;
}

// An -k entry: a local part (any domain) or a whole address, 1 to 320
// printable characters without blanks, "<", ">" or a second "@".
bool valid_recipient_entry(std::string_view entry) {
  if (entry.empty() || entry.size() > 320) return false;
  int ats = 0;
  for (char c : entry) {
    if (c <= ' ' || c > '~' || c == '<' || c == '>' || c == ',') return false;
    if (c == '@') ats++;
  }
  return ats == 0 || (ats == 1 && entry.front() != '@' && entry.back() != '@');
}

// The -k list: entries separated by commas (blanks around them allowed),
// at least one, none empty.
bool valid_recipient_list(const char *text) {
  std::string_view rest(text);
  for (;;) {
    std::size_t comma = rest.find(',');
    std::string_view entry = rest.substr(0, comma);
    while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t'))
      entry.remove_prefix(1);
    while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t'))
      entry.remove_suffix(1);
    if (!valid_recipient_entry(entry)) return false;
    if (comma == std::string_view::npos) return true;
    rest.remove_prefix(comma + 1);
  }
}

// An -o argument: one or more RESULT=ACTION pairs separated by commas.
bool parse_policies(const char *text, daemon_config *out) {
  std::string_view rest(text);
  for (;;) {
    std::size_t comma = rest.find(',');
    if (!apply_policy(rest.substr(0, comma), out)) return false;
    if (comma == std::string_view::npos) return true;
    rest.remove_prefix(comma + 1);
  }
}

// The -d argument read like atoi (leading blanks and a sign allowed, text
// that is not a number gives 0, reading stops at the first non-digit), but
// without atoi's undefined behaviour on overflow: out-of-range values are
// clamped to the int range.
int read_debug_level(const char *text) {
  long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// An -S argument: whole minutes, 1 to MAX_STATISTICS_MINUTES, digits only.
bool read_statistics_minutes(const char *text, int *out) {
  if (*text == '\0') return false;
  long value = 0;
  for (const char *p = text; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > MAX_STATISTICS_MINUTES) return false;
  }
  if (value < 1) return false;
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

const char *base_program_name(const char *argv0) {
  const char *slash = std::strrchr(argv0, '/');
  return slash ? slash + 1 : argv0;
}

void print_usage_lines(char letter, const char *long_name, bool has_arg,
                       const char *placeholder, int short_pad, int long_pad,
                       const char *description) {
  std::fprintf(stderr, "    -%c%c%s%*s%s\n", letter, ' ', placeholder,
               short_pad, "", description);
  std::fprintf(stderr, "    --%s%c%s%*s%s\n", long_name, has_arg ? '=' : ' ',
               placeholder, long_pad, "", description);
}

void print_option_usage(char letter) {
  for (const option_help &o : kOptionHelp)
    if (o.letter == letter)
      print_usage_lines(o.letter, o.long_name, o.has_arg != no_argument,
                        o.placeholder, o.short_pad, o.long_pad, o.description);
}

void print_options_usage() {
  for (const option_help &o : kOptionHelp) print_option_usage(o.letter);
}

void print_usage(const char *program_name) {
  std::fprintf(stderr, "usage: %s [options] /path/to/socket\n", program_name);
  print_options_usage();
}

bool parse_options(int argc, char **argv, daemon_config *out,
                   const option_extras &extras, int *first_operand) {
  // The extras get getopt values above every character's, so a long name
  // without a letter cannot be taken for one of the daemon's letters.
  constexpr int kExtraBase = 256;
  std::vector<struct option> longs;
  for (const struct option *o = kLongOptions; o->name != nullptr; o++)
    longs.push_back(*o);
  std::string shorts = kShortOptions;
  for (std::size_t i = 0; i < extras.options.size(); i++) {
    const extra_option &e = extras.options[i];
    // A letter or name the daemon has (one added to it later, say) would
    // silently take the daemon's meaning: refuse every command line.
    bool taken = e.letter != 0 && std::strchr(kShortOptions, e.letter);
    for (const struct option *o = kLongOptions; o->name != nullptr; o++)
      taken = taken || std::strcmp(o->name, e.long_name) == 0;
    if (taken) {
      std::fprintf(stderr, "%s: -%c/--%s is an option of heronsend too\n",
                   out->program_name, e.letter != 0 ? e.letter : '-',
                   e.long_name);
      return false;
    }
    longs.push_back({e.long_name, e.has_arg, nullptr,
                     kExtraBase + static_cast<int>(i)});
    if (e.letter == 0) continue;
    shorts += e.letter;
    if (e.has_arg != no_argument) shorts += ':';
    if (e.has_arg == optional_argument) shorts += ':';
  }
  // An abbreviation keeps the meaning it has for the daemon: where a
  // prefix of one of the daemon's long names (and of no other of them) is
  // also a prefix of an extra's, getopt would call it ambiguous, so it is
  // added as an exact name of the daemon's option ("--t" stays
  // --trustedforwarders beside --to).
  std::deque<std::string> aliases;  // stable addresses for the table
  std::size_t daemon_count = longs.size() - extras.options.size();
  std::vector<struct option> added;
  for (std::size_t d = 0; d < daemon_count; d++) {
    std::string_view name = longs[d].name;
    for (const extra_option &e : extras.options) {
      std::string_view other = e.long_name;
      for (std::size_t k = 1; k <= name.size() && k <= other.size() &&
                              name[k - 1] == other[k - 1];
           k++) {
        std::string_view prefix = name.substr(0, k);
        int starts = 0;
        bool exact = false;
        for (std::size_t i = 0; i < longs.size(); i++) {
          std::string_view n = longs[i].name;
          if (i < daemon_count && n.substr(0, k) == prefix) starts++;
          if (n == prefix) exact = true;
        }
        for (const struct option &o : added)
          if (prefix == o.name) exact = true;
        if (starts != 1 || exact) continue;
        aliases.emplace_back(prefix);
        struct option alias = longs[d];
        alias.name = aliases.back().c_str();
        added.push_back(alias);
      }
    }
  }
  longs.insert(longs.end(), added.begin(), added.end());
  longs.push_back({nullptr, 0, nullptr, 0});
  auto usage = [&] {
    if (extras.usage)
      extras.usage();
    else
      print_usage(out->program_name);
  };

  optind = 0;  // full re-initialisation of glibc's getopt state
  for (;;) {
    int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
    if (c == -1) break;
    switch (c) {
      case 'l': out->local_policy = optarg; break;
      case 't': out->trusted_forwarders = 1; break;
      case 'g': out->guess = optarg; break;
      case 'f': out->fallback_file = optarg; break;
      case 'w':
      case 'a': out->allowlist_file = optarg; break;
      case 'r': out->recipient_mx = 1; break;
      case 'e': out->explanation = optarg; break;
      case 'm': out->mark_only = 1; break;
      case 'u': out->run_as_user = optarg; break;
      case 'p': out->pid_file = optarg; break;
      case 'X': out->no_daemon = 1; break;
      case 'd': out->debug = optarg ? read_debug_level(optarg) : 1; break;
      case 'A': out->auth_results = 1; break;
      case 'c': out->check_helo = 1; break;
      case 'V': out->verdict_log = 1; break;
      case 'S':
        if (!read_statistics_minutes(optarg, &out->statistics_minutes)) {
          std::fprintf(stderr, "%s: -S '%s': give whole minutes, 1 to %d\n",
                       out->program_name, optarg, MAX_STATISTICS_MINUTES);
          return false;
        }
        break;
      case 'b': out->bounce_explanation = 1; break;
      case 'k':
        if (!valid_recipient_list(optarg)) {
          std::fprintf(stderr,
                       "%s: -k '%s': use local parts or addresses separated "
                       "by commas\n",
                       out->program_name, optarg);
          return false;
        }
        out->keep_recipients = optarg;
        break;
      case 'o':
        if (!parse_policies(optarg, out)) {
          std::fprintf(stderr,
                       "%s: -o '%s': use softfail=refuse, permerror=refuse, "
                       "temperror=defer, helofail=refuse, fail=dmarc, "
                       "RESULT=quarantine (fail, softfail, permerror) or "
                       "RESULT=mark\n",
                       out->program_name, optarg);
          return false;
        }
        break;
      case 'h':
      case '?':  // unknown option or missing argument, reported by getopt
        usage();
        return false;
      default: {
        const extra_option *e = nullptr;
        if (c >= kExtraBase &&
            static_cast<std::size_t>(c - kExtraBase) < extras.options.size())
          e = &extras.options[c - kExtraBase];
        for (const extra_option &x : extras.options)
          if (x.letter != 0 && x.letter == c) e = &x;
        if (e == nullptr) {
          std::fprintf(stderr, "unrecognised option '%c'\n", c);
          return false;
        }
        if (!extras.take || !extras.take(*e, optarg)) return false;
      }
    }
  }
  *first_operand = optind;
  return true;
}

bool parse_command_line(int argc, char **argv, daemon_config *out) {
  int first = 0;
  if (!parse_options(argc, argv, out, option_extras{}, &first)) return false;
  if (argc - first != 1) {
    print_usage(out->program_name);
    return false;
  }
  out->socket_spec = argv[first];
  return true;
}
