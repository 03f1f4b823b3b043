// heronsend_load: a load and fault generator built on the project's milter
// client. It plays many MTA connections at once against a running filter,
// each sending messages of the classes below, and checks every answer
// against what the class calls for.
//
//   heronsend_load [options] SOCKET
//     -c N      connections at once (default 256)
//     -n N      messages in all (default 20000)
//     -C LIST   only these classes (comma-separated names)
//     -d ZONE   the test zone's domain (default load.test)
//     -r NAME   the receiver (the MTA's {j} macro; default mx.load.test)
//     -u        run until SIGUSR1 (or -n): then every connection finishes
//               its message and quits; connections refused after that are
//               counted, not failed
//     -s        the filter stops during the run, and SIGUSR1 says it has
//               begun: each connection goes on opening new connections, as
//               an MTA does, until the filter serves it no more (counted as
//               refused-after-stop; one begun half a second after the
//               signal that it still serves is counted as served-after-stop
//               and failed); a message whose connection the filter closes,
//               or that it answers with a temporary failure, is counted as
//               left-to-mta, not failed
//     -t SECS   answer timeout per step (default 30)
//
// The zone (served by the test DNS server) must hold the records named in
// the class table. Output: one line per class, "CLASS sent=N ok=N bad=N",
// then "total ..." (accepted-unchecked: messages the filter let through
// without its verdict, by an accept answer or no Received-SPF header at the
// end, and connections it accepted at connect or HELO), and the first few
// mismatches; exit status 0 when every message got the answer its class
// calls for, 1 otherwise, 64 for usage.

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "milter_client.h"

namespace {

// What a message of a class must get.
enum class expect {
  reject,  // 550 5.7.1 at MAIL FROM
  mark,    // continue at MAIL FROM, a Received-SPF header at end of message
  none,    // the message never reaches its end (abort, disconnect)
};

struct message_class {
  const char *name;
  int weight;
  const char *sender;    // "%s" is the zone; "<>" the null sender
  const char *client;    // client address
  bool authenticated;    // sends {auth_type}
  bool forged;           // carries a Received-SPF naming the receiver
  enum { end, abort_it, disconnect } how;
  expect outcome;
  // Header values must start with one of these words (space after it).
  std::vector<const char *> words;
  const char *explanation;  // the header's comment must contain this, or null
  // A client address of its own for every connection (198.18.0.0/15, the
  // client field only groups such classes), so that DNS names made from it
  // are never in the daemon's cache.
  bool own_client = false;
  // A sender domain of its own for every message ("<token>-<n>." before the
  // class's domain, the token new in every run), never in the daemon's
  // cache: each message asks the name server.
  bool own_domain = false;
};

// Senders of the DNS fault classes get one of this many domains
// ("v0." ... before the class's domain), so that the daemon's cache, which
// keeps a failed lookup for a few seconds, does not hide the name server's
// trouble from most messages. The zone lists them all.
constexpr unsigned kFaultDomains = 64;
bool is_fault_class(const char *name) { return std::strncmp(name, "dns-", 4) == 0; }

// The lookup of the sender's own record timing out, failing or refused:
// a temporary error, never a refusal.
const std::vector<const char *> kOwnRecordTrouble = {"temperror"};

const std::vector<message_class> kClasses = {
    {"pass", 20, "<user@pass.%s>", "192.0.2.10", false, false, message_class::end,
     expect::mark, {"pass"}, "designates 192.0.2.10 as permitted sender"},
    {"fail", 12, "<forger@fail.%s>", "192.0.2.10", false, false, message_class::end,
     expect::reject, {}, nullptr},
    {"softfail", 6, "<user@softfail.%s>", "192.0.2.10", false, false,
     message_class::end, expect::mark, {"softfail"}, nullptr},
    {"none", 6, "<user@none.%s>", "192.0.2.10", false, false, message_class::end,
     expect::mark, {"none"}, nullptr},
    {"null-sender", 6, "<>", "192.0.2.10", false, false, message_class::end,
     expect::mark, {"pass"}, "mailer_daemon@helo."},
    {"allowlisted", 5, "<forger@fail.%s>", "198.51.100.7", false, false,
     message_class::end, expect::mark, {"pass"}, "198.51.100.7 is allowlisted"},
    {"authenticated", 5, "<forger@fail.%s>", "192.0.2.10", true, false,
     message_class::end, expect::mark, {"pass"}, "authenticated connection"},
    {"forged-header", 6, "<user@pass.%s>", "192.0.2.10", false, true,
     message_class::end, expect::mark, {"pass"}, nullptr},
    {"abort", 4, "<user@pass.%s>", "192.0.2.10", false, false, message_class::abort_it,
     expect::none, {}, nullptr},
    {"disconnect", 3, "<user@pass.%s>", "192.0.2.10", false, false,
     message_class::disconnect, expect::none, {}, nullptr},
    {"dns-timeout", 3, "<user@timeout.%s>", "192.0.2.10", false, false,
     message_class::end, expect::mark, kOwnRecordTrouble, nullptr},
    {"dns-servfail", 3, "<user@servfail.%s>", "192.0.2.10", false, false,
     message_class::end, expect::mark, kOwnRecordTrouble, nullptr},
    {"dns-refused", 3, "<user@refused.%s>", "192.0.2.10", false, false,
     message_class::end, expect::mark, kOwnRecordTrouble, nullptr},
    {"include-servfail", 4, "<user@incl-servfail.%s>", "192.0.2.10", false, false,
     message_class::end, expect::mark, {"temperror"}, nullptr},
    {"dns-tcp", 6, "<user@tcp.%s>", "192.0.2.10", false, false, message_class::end,
     expect::mark, {"pass"}, nullptr},
    {"dns-delay", 4, "<user@delay.%s>", "192.0.2.10", false, false,
     message_class::end, expect::mark, {"pass"}, nullptr},
    // Chosen only by name (-C): the sender's domain during and after an
    // outage of its name server.
    {"outage-probe", 0, "<user@outage.%s>", "192.0.2.10", false, false,
     message_class::end, expect::mark, {"pass"}, nullptr},
    {"outage-during", 0, "<user@outage.%s>", "192.0.2.10", false, false,
     message_class::end, expect::mark, kOwnRecordTrouble, nullptr},
    // Chosen only by name: a sender whose record looks up a name made from
    // the client address, answered late (slow), or several such names, each
    // late, longer in all than a stop's drain (slower).
    {"slow", 0, "<user@slow.%s>", "198.18.0.0", false, false, message_class::end,
     expect::mark, {"pass"}, nullptr, true},
    {"slower", 0, "<user@slower.%s>", "198.18.0.0", false, false,
     message_class::end, expect::mark, {"pass", "temporary-error"}, nullptr, true},
    // Chosen only by name: a new sender domain for every message, which
    // the test DNS answers with a passing record (its $fresh suffix).
    {"fresh", 0, "<user@fresh.%s>", "192.0.2.10", false, false, message_class::end,
     expect::mark, {"pass"}, nullptr, false, true},
};

struct options {
  std::string socket;
  int connections = 256;
  long messages = 20000;
  std::string zone = "load.test";
  std::string receiver = "mx.load.test";
  bool until_signal = false;
  bool across_stop = false;
  std::chrono::milliseconds timeout{30000};
  std::vector<const message_class *> classes;
};

struct class_counts {
  std::atomic<long> sent{0}, ok{0}, bad{0};
};

std::atomic<bool> signalled{false};         // SIGUSR1 came
std::atomic<std::int64_t> signalled_at{0};  // when (now_ms)
std::atomic<bool> budget_spent{false};      // -n messages sent
std::atomic<long> next_message{0};
std::atomic<long> next_client{0};
std::atomic<long> next_domain{0};
std::string domain_token;  // set before the connections start
std::atomic<long> refused_connections{0};
std::atomic<long> accepted_unchecked{0};
std::atomic<long> left_to_mta{0};
std::atomic<long> served_after_stop{0};

// Milliseconds on the monotonic clock (async-signal-safe).
std::int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

std::mutex report_lock;
std::vector<std::string> mismatches;

void note_mismatch(const std::string &what) {
  std::lock_guard<std::mutex> hold(report_lock);
  if (mismatches.size() < 20) mismatches.push_back(what);
}

std::string format_sender(const message_class &c, const std::string &zone,
                          std::mt19937 &rng) {
  char buf[300];
  std::snprintf(buf, sizeof buf, c.sender, zone.c_str());
  std::string sender = buf;
  std::size_t at = sender.find('@');
  if (is_fault_class(c.name) && at != std::string::npos)
    sender.insert(at + 1, "v" + std::to_string(rng() % kFaultDomains) + ".");
  if (c.own_domain && at != std::string::npos)
    sender.insert(at + 1, domain_token + "-" + std::to_string(next_domain++) + ".");
  return sender;
}

constexpr const char *kNoHeader = "no Received-SPF header";

// Checks the end-of-message answer of a class that expects a header.
std::string check_header(const message_class &c, const milter_answer &a) {
  if (a.reply != SMFIR_CONTINUE && a.reply != SMFIR_ACCEPT)
    return std::string("eom answered ") + milter_code_name(a.reply);
  const milter_modification *inserted = nullptr;
  bool deleted = false;
  for (const milter_modification &m : a.modifications) {
    if (m.action == SMFIR_INSHEADER && m.name == "Received-SPF") inserted = &m;
    if (m.action == SMFIR_CHGHEADER && m.name == "Received-SPF" && m.value.empty())
      deleted = true;
  }
  if (inserted == nullptr) return kNoHeader;
  bool word_ok = false;
  for (const char *w : c.words)
    if (inserted->value.rfind(std::string(w) + " ", 0) == 0) word_ok = true;
  if (!word_ok) return "header " + inserted->value;
  if (c.explanation && inserted->value.find(c.explanation) == std::string::npos)
    return "header " + inserted->value;
  if (c.forged && !deleted) return "forged header kept";
  if (inserted->value.find_first_of("\r\n") != std::string::npos)
    return "header with a line break";
  return "";
}

// What the filter did to a message, right or wrong.
struct message_fate {
  bool left = false;       // closed the connection or answered a temporary
                           // failure: the message is left to the MTA
  bool unchecked = false;  // let it through without its verdict: answered
                           // accept, or ended it without a Received-SPF header
  void saw(const milter_answer &a) {
    left = !a.ok() || a.reply == SMFIR_TEMPFAIL;
    if (a.ok() && a.reply == SMFIR_ACCEPT) unchecked = true;
  }
};

// A step the filter let through: answered "continue", or not answered at
// all (a step it asked not to be waited for).
bool went_on(const milter_answer &a) {
  return a.ok() && (a.status == milter_status::no_reply || a.reply == SMFIR_CONTINUE);
}

// One message on an open session. False when the session is gone (closed on
// purpose or failed); *result is "" when the answers were right.
bool run_message(milter_session &s, const message_class &c, const options &o,
                 std::mt19937 &rng, std::string *result, message_fate *fate) {
  *result = "";
  *fate = message_fate{};
  // An MTA sends the MAIL macros with every message: libmilter keeps them
  // until the next ones come. Empty means not authenticated.
  milter_macros mail_macros = {{"{auth_type}", c.authenticated ? "PLAIN" : ""}};
  milter_answer a = s.mail({format_sender(c, o.zone, rng)}, mail_macros);
  fate->saw(a);
  if (!a.ok()) return *result = "mail: " + a.error, false;
  if (c.outcome == expect::reject) {
    if (a.reply != SMFIR_REPLYCODE || a.text.rfind("550 5.7.1 ", 0) != 0)
      *result = std::string("mail answered ") + milter_code_name(a.reply) + " " + a.text;
    return true;
  }
  if (a.reply != SMFIR_CONTINUE)
    return *result = std::string("mail answered ") + milter_code_name(a.reply) +
                     " " + a.text, true;
  if (c.how == message_class::disconnect && rng() % 2 == 0) {
    s.close();
    return false;
  }
  a = s.rcpt({"<postmaster@example.net>"});
  fate->saw(a);
  if (!went_on(a))
    return *result = "rcpt: " + a.error + milter_code_name(a.reply), a.ok();
  if (c.how == message_class::abort_it) {
    s.abort();
    return true;
  }
  a = s.header("From", "someone <user@example.org>");
  if (a.ok() && c.forged)
    a = s.header("Received-SPF", "pass (" + o.receiver + ": forged) receiver=" +
                                     o.receiver + "; client-ip=192.0.2.99;");
  if (a.ok()) a = s.header("Subject", "load message");
  fate->saw(a);
  if (!a.ok()) return *result = "header: " + a.error, false;
  if (c.how == message_class::disconnect) {
    s.close();
    return false;
  }
  a = s.eoh();
  if (a.ok()) a = s.body("a line of text\r\n");
  if (a.ok()) a = s.eom();
  fate->saw(a);
  if (!a.ok()) return *result = "eom: " + a.error, false;
  *result = check_header(c, a);
  if (*result == kNoHeader) fate->unchecked = true;
  return true;
}

void connection_worker(const options &o, std::vector<class_counts> &counts,
                       unsigned seed) {
  std::mt19937 rng(seed);
  int total_weight = 0;
  // A class named on purpose (-C) that has no weight of its own counts once.
  auto weight = [](const message_class *c) { return c->weight > 0 ? c->weight : 1; };
  for (const message_class *c : o.classes) total_weight += weight(c);
  auto pick = [&]() -> const message_class & {
    int r = static_cast<int>(rng() % static_cast<unsigned>(total_weight));
    for (const message_class *c : o.classes) {
      if (r < weight(c)) return *c;
      r -= weight(c);
    }
    return *o.classes.back();
  };
  // Across a stop, connections begin at random moments, as an MTA's do, so
  // that messages of one length do not all end at once.
  if (o.across_stop) std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 1000));
  while (!budget_spent.load() && !(o.until_signal && signalled.load())) {
    milter_session s;
    s.set_timeout(o.timeout);
    std::string error;
    // Begun well after the filter was told to stop: it must not serve it.
    bool late = signalled.load() && now_ms() > signalled_at.load() + 500;
    if (!s.open(o.socket, &error) || !s.negotiate().ok()) {
      // The signal comes before the stop: a refusal after it may be the
      // stop's.
      if ((o.until_signal || o.across_stop) && signalled.load()) {
        refused_connections++;
        return;
      }
      note_mismatch("connection failed: " + error);
      counts.back().bad++;
      // Counts against the messages: a filter that is gone ends the run.
      if (next_message.fetch_add(1) >= o.messages) budget_spent.store(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    const message_class &first = pick();
    std::string client = first.client;
    if (first.own_client) {
      long k = next_client.fetch_add(1) + 1;
      client = "198.18." + std::to_string((k >> 8) & 255) + "." + std::to_string(k & 255);
    }
    // Connect and HELO: a connection the filter no longer serves after the
    // signal (a stop closes one it had accepted but not begun to serve) is
    // counted as refused, and across a stop ends this worker; one accepted
    // unchecked is counted.
    auto served = [&](const milter_answer &a, const char *step) {
      if (went_on(a)) return true;
      message_fate fate;
      fate.saw(a);
      if (fate.unchecked) accepted_unchecked++;
      if ((o.until_signal || o.across_stop) && signalled.load() && fate.left) {
        refused_connections++;
        return false;
      }
      note_mismatch(std::string(step) + " answered " + milter_code_name(a.reply) + " " +
                    a.error);
      counts.back().bad++;
      return false;
    };
    if (!served(s.connect("client.example", client, 25, {{"j", o.receiver}}), "connect") ||
        !served(s.helo("helo." + o.zone), "helo")) {
      if (o.across_stop && signalled.load()) return;
      continue;
    }
    if (late && o.across_stop) {
      served_after_stop++;
      note_mismatch("a connection begun after the stop was served");
    }
    // Up to four messages per connection, all of the first class's client;
    // one where that address is the connection's own (its names are new
    // only once).
    int per_connection = first.own_client ? 1 : 1 + static_cast<int>(rng() % 4);
    bool open = true;
    for (int i = 0; i < per_connection && open; i++) {
      if (next_message.fetch_add(1) >= o.messages) {
        budget_spent.store(true);
        break;
      }
      const message_class *c = &first;
      if (i > 0) {
        // Later messages keep the client address (the allowlist is per
        // connection) but may change class among those with that address.
        for (int tries = 0; tries < 8; tries++) {
          const message_class &other = pick();
          if (std::strcmp(other.client, first.client) == 0) {
            c = &other;
            break;
          }
        }
      }
      std::size_t index = static_cast<std::size_t>(c - kClasses.data());
      counts[index].sent++;
      std::string result;
      message_fate fate;
      open = run_message(s, *c, o, rng, &result, &fate);
      if (fate.unchecked) accepted_unchecked++;
      if (result.empty()) {
        counts[index].ok++;
      } else if (fate.left && o.across_stop && signalled.load()) {
        left_to_mta++;
      } else {
        counts[index].bad++;
        note_mismatch(std::string(c->name) + ": " + result);
      }
      if (o.until_signal && signalled.load()) break;
    }
    if (open) s.quit();
  }
}

void on_usr1(int) {
  signalled_at.store(now_ms());
  signalled.store(true);
}

}  // namespace

int main(int argc, char **argv) {
  options o;
  int opt;
  std::string only;
  while ((opt = getopt(argc, argv, "c:n:C:d:r:ust:")) != -1) {
    switch (opt) {
      case 'c': o.connections = std::atoi(optarg); break;
      case 'n': o.messages = std::atol(optarg); break;
      case 'C': only = optarg; break;
      case 'd': o.zone = optarg; break;
      case 'r': o.receiver = optarg; break;
      case 'u': o.until_signal = true; break;
      case 's': o.across_stop = true; break;
      case 't': o.timeout = std::chrono::milliseconds(std::atoi(optarg) * 1000); break;
      default: return 64;
    }
  }
  if (optind + 1 != argc || o.connections < 1 || o.connections > 4096 ||
      o.messages < 1) {
    std::fprintf(stderr, "usage: heronsend_load [-c N] [-n N] [-C LIST] [-d ZONE] "
                         "[-r NAME] [-u] [-s] [-t SECS] SOCKET\n");
    return 64;
  }
  o.socket = argv[optind];
  domain_token = "r" + std::to_string(std::random_device{}() % 1000000000u);
  for (const message_class &c : kClasses) {
    bool wanted = only.empty() ? c.weight > 0
                               : ("," + only + ",").find(std::string(",") + c.name + ",") !=
                                     std::string::npos;
    if (wanted) o.classes.push_back(&c);
  }
  if (o.classes.empty()) {
    std::fprintf(stderr, "heronsend_load: no class selected\n");
    return 64;
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGUSR1, on_usr1);

  // One extra slot for failures outside any message.
  std::vector<class_counts> counts(kClasses.size() + 1);
  auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < o.connections; i++)
    threads.emplace_back(connection_worker, std::cref(o), std::ref(counts),
                         static_cast<unsigned>(i * 7919 + 1));
  for (std::thread &t : threads) t.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                 started).count();

  long sent = 0, ok = 0, bad = 0;
  for (std::size_t i = 0; i < kClasses.size(); i++) {
    if (counts[i].sent == 0 && counts[i].bad == 0) continue;
    std::printf("%s sent=%ld ok=%ld bad=%ld\n", kClasses[i].name, counts[i].sent.load(),
                counts[i].ok.load(), counts[i].bad.load());
    sent += counts[i].sent;
    ok += counts[i].ok;
    bad += counts[i].bad;
  }
  bad += counts.back().bad + served_after_stop;
  std::printf("total sent=%ld ok=%ld bad=%ld connection-failures=%ld "
              "refused-after-stop=%ld served-after-stop=%ld accepted-unchecked=%ld "
              "left-to-mta=%ld seconds=%.1f\n",
              sent, ok, bad, counts.back().bad.load(), refused_connections.load(),
              served_after_stop.load(), accepted_unchecked.load(), left_to_mta.load(),
              seconds);
  for (const std::string &m : mismatches) std::printf("mismatch: %s\n", m.c_str());
  return bad == 0 ? 0 : 1;
}
