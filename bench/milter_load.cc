// milter_load: a load generator for mail filters, built on the project's
// milter-protocol client. It plays an MTA the way Postfix does: one filter
// connection per SMTP session, each step's macros (as Postfix's default
// lists have them: the queue ID with DATA, every header field, end of
// headers and end of message) and command in one write, the steps the
// filter does not answer held until the next step that waits for a reply
// (Postfix's buffered stream), the DATA macros sent alone even
// when the filter asked not to receive DATA, and nothing that forces quick
// ACKs (no TCP_QUICKACK, no TCP_NODELAY), so the filter's socket behaviour
// shows as it would behind a real MTA.
//
//   milter_load SOCKET CONNECTIONS SECONDS [SENDER | fresh:SUFFIX] [MESSAGE]
//
// CONNECTIONS threads each run sessions of MESSAGES_PER_SESSION messages
// (connect, HELO, then per message MAIL, RCPT, DATA, the header fields, end
// of headers, the body, end of message) until SECONDS have passed. SENDER is
// the envelope sender of every message (default a@pass.bench.test; "-"
// keeps the default); "fresh:SUFFIX" gives every message a new sender
// domain under SUFFIX. MESSAGE is a file with a whole message (header
// fields, folded or not, a blank line, the body): its fields are sent as
// Postfix passes them (the blank after the colon dropped, folded lines
// joined with LF); without it, From, Subject and a one-line body.
// Prints one JSON line: messages, seconds, msgs_per_s, p50_ms, p99_ms (per
// message, MAIL to end of message), failed (steps that failed: protocol or
// I/O errors, timeouts), marked (messages that got a header inserted).
// Exit status 0, or 1 when any step failed, 64 for a bad command line.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "milter_client.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int MESSAGES_PER_SESSION = 20;

struct worker_result {
  std::vector<double> latencies_ms;
  long failed = 0;
  long marked = 0;
};

struct message {
  std::vector<std::pair<std::string, std::string>> fields;
  std::string body;
};

// The message in a file, or none (empty fields) when it cannot be read.
message read_message(const std::string &path) {
  message m;
  std::ifstream in(path, std::ios::binary);
  if (!in) return m;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !m.fields.empty()) {
      m.fields.back().second += "\n" + line;
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    m.fields.emplace_back(line.substr(0, colon), value);
  }
  std::ostringstream rest;
  rest << in.rdbuf();
  for (char c : rest.str()) {
    if (c == '\n' && (m.body.empty() || m.body.back() != '\r')) m.body += '\r';
    m.body += c;
  }
  return m;
}

struct load {
  std::string socket;
  message msg;
  std::string sender = "a@pass.bench.test";
  std::string fresh_suffix;  // non-empty: a new sender domain per message
  clock_type::time_point deadline;
  std::string run_tag;
};

bool step_ok(const milter_answer &a) {
  return a.ok() && (a.status != milter_status::answered || a.reply == SMFIR_CONTINUE);
}

// One message on an open session; false when a step failed.
bool one_message(milter_session &s, const std::string &sender, const message &msg,
                 worker_result *r) {
  auto start = clock_type::now();
  milter_answer a = s.mail({"<" + sender + ">"}, {{"{mail_addr}", sender}});
  if (!step_ok(a)) return false;
  if (!step_ok(s.rcpt({"<user@example.net>"}, {{"{rcpt_addr}", "user@example.net"}})))
    return false;
  // Postfix sends the queue ID ("i") with DATA, before every header field
  // and with end of headers and end of message (its default macro lists).
  const milter_macros data_macros = {{"i", "4BENCH"}};
  if ((s.filter_protocol() & SMFIP_NODATA) != 0)
    a = s.macros_only(SMFIC_DATA, data_macros);
  else
    a = s.data(data_macros);
  if (!step_ok(a)) return false;
  for (const auto &[name, value] : msg.fields)
    if (!step_ok(s.header(name, value, data_macros))) return false;
  if (!step_ok(s.eoh(data_macros)) || !step_ok(s.body(msg.body))) return false;
  a = s.eom(data_macros);
  if (!step_ok(a)) return false;
  auto ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
  r->latencies_ms.push_back(ms);
  if (!a.modifications.empty()) r->marked++;
  return true;
}

void worker(const load &l, int id, worker_result *r) {
  long counter = 0;
  while (clock_type::now() < l.deadline) {
    milter_session s;
    s.set_timeout(std::chrono::seconds(30));
    s.set_hold_unanswered(true);
    std::string error;
    if (!s.open(l.socket, &error) || !s.negotiate().ok() ||
        !step_ok(s.connect("client.bench.test", "192.0.2.10", 25000,
                           {{"j", "mx.bench.test"}, {"{daemon_name}", "bench"}})) ||
        !step_ok(s.helo("client.bench.test"))) {
      r->failed++;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    for (int m = 0; m < MESSAGES_PER_SESSION && clock_type::now() < l.deadline; m++) {
      std::string sender = l.sender;
      if (!l.fresh_suffix.empty())
        sender = "a@m" + l.run_tag + "-" + std::to_string(id) + "-" +
                 std::to_string(counter++) + "." + l.fresh_suffix;
      if (!one_message(s, sender, l.msg, r)) {
        r->failed++;
        break;
      }
    }
    s.quit();
  }
}

double percentile(const std::vector<double> &sorted, double p) {
  if (sorted.empty()) return 0;
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(i, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4 || argc > 6) {
    std::fprintf(stderr,
                 "usage: milter_load SOCKET CONNECTIONS SECONDS [SENDER | fresh:SUFFIX] "
                 "[MESSAGE]\n");
    return 64;
  }
  load l;
  l.socket = argv[1];
  int connections = std::atoi(argv[2]);
  double seconds = std::atof(argv[3]);
  if (connections <= 0 || connections > 4096 || seconds <= 0) {
    std::fprintf(stderr, "milter_load: bad CONNECTIONS or SECONDS\n");
    return 64;
  }
  if (argc >= 5) {
    std::string arg = argv[4];
    if (arg.rfind("fresh:", 0) == 0)
      l.fresh_suffix = arg.substr(6);
    else if (arg != "-")
      l.sender = arg;
  }
  if (argc == 6) {
    l.msg = read_message(argv[5]);
    if (l.msg.fields.empty()) {
      std::fprintf(stderr, "milter_load: no header fields in %s\n", argv[5]);
      return 64;
    }
  } else {
    l.msg.fields = {{"From", "<" + l.sender + ">"}, {"Subject", "bench"}};
    l.msg.body = "Hello.\r\n";
  }
  l.run_tag = std::to_string(
      std::chrono::system_clock::now().time_since_epoch().count() % 1000000007);
  auto start = clock_type::now();
  l.deadline = start + std::chrono::duration_cast<clock_type::duration>(
                           std::chrono::duration<double>(seconds));
  std::vector<worker_result> results(static_cast<std::size_t>(connections));
  std::vector<std::thread> threads;
  for (int i = 0; i < connections; i++)
    threads.emplace_back(worker, std::cref(l), i, &results[static_cast<std::size_t>(i)]);
  for (auto &t : threads) t.join();
  double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();

  std::vector<double> all;
  long failed = 0, marked = 0;
  for (const auto &r : results) {
    all.insert(all.end(), r.latencies_ms.begin(), r.latencies_ms.end());
    failed += r.failed;
    marked += r.marked;
  }
  std::sort(all.begin(), all.end());
  std::printf(
      "{\"messages\": %zu, \"seconds\": %.2f, \"msgs_per_s\": %.1f, \"p50_ms\": %.3f, "
      "\"p99_ms\": %.3f, \"failed\": %ld, \"marked\": %ld}\n",
      all.size(), elapsed, static_cast<double>(all.size()) / elapsed, percentile(all, 0.5),
      percentile(all, 0.99), failed, marked);
  return failed == 0 ? 0 : 1;
}
