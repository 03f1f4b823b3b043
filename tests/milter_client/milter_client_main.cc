// milter_client: drives a mail filter through one milter_session from a
// script on standard input and prints the filter's answer to every step as
// one JSON object per line on standard output (for test scripts).
//
//   milter_client [-t SECONDS] SOCKET < SCRIPT
//
// Exit status: 0 when every step was delivered and answered as the protocol
// requires (whatever the filter answered), 1 when a step failed (the rest of
// the script is skipped), 64 for a bad command line or script line.

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "milter_client.h"

namespace {

const char USAGE[] =
    "usage: milter_client [-t SECONDS] SOCKET < SCRIPT\n"
    "SOCKET: unix:/path, /path, inet:PORT@HOST or inet6:PORT@HOST.\n"
    "SCRIPT, one step per line ('#' starts a comment line; in arguments \\s is a\n"
    "space, \\t a tab, \\n a line feed, \\r a carriage return, \\\\ a backslash):\n"
    "  negotiate [ACTIONS [PROTOCOL]]   option negotiation (implied before the first step)\n"
    "  macros NAME=VALUE...             macros sent with the next step\n"
    "  connect HOST ADDRESS [PORT]      ADDRESS '-' for an unknown address family\n"
    "  helo NAME | mail ARG... | rcpt ARG... | data | eoh | eom | abort\n"
    "  header NAME VALUE                VALUE is the rest of the line\n"
    "  body TEXT | unknown TEXT         TEXT is the rest of the line\n"
    "  quit_nc | quit\n";

std::string decode_escapes(const std::string &in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\' || i + 1 == in.size()) {
      out.push_back(in[i]);
      continue;
    }
    switch (in[++i]) {
      case 's': out.push_back(' '); break;
      case 't': out.push_back('\t'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      default: out.push_back(in[i]); break;
    }
  }
  return out;
}

// Bytes above 0x7F are written as \u00XX, so any byte survives the trip.
std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c > 0x7E) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

const char *status_name(milter_status s) {
  switch (s) {
    case milter_status::answered: return "answered";
    case milter_status::not_sent: return "not_sent";
    case milter_status::no_reply: return "no_reply";
    case milter_status::failed: return "failed";
  }
  return "failed";
}

void print_answer(const std::string &step, const milter_answer &a,
                  const milter_session &session) {
  std::string line = "{\"step\":" + json_string(step) +
                     ",\"status\":" + json_string(status_name(a.status));
  if (a.status == milter_status::answered)
    line += ",\"reply\":" + json_string(milter_code_name(a.reply));
  if (a.reply == SMFIR_REPLYCODE) line += ",\"text\":" + json_string(a.text);
  if (a.reply == SMFIC_OPTNEG) {
    line += ",\"version\":" + std::to_string(session.filter_version()) +
            ",\"actions\":" + std::to_string(session.filter_actions()) +
            ",\"protocol\":" + std::to_string(session.filter_protocol());
  }
  if (!a.modifications.empty() || step == "eom") {
    line += ",\"modifications\":[";
    for (std::size_t i = 0; i < a.modifications.size(); ++i) {
      const milter_modification &m = a.modifications[i];
      if (i > 0) line += ",";
      line += "{\"action\":" + json_string(milter_code_name(m.action)) +
              ",\"index\":" + std::to_string(m.index) +
              ",\"name\":" + json_string(m.name) + ",\"value\":" + json_string(m.value) + "}";
    }
    line += "]";
  }
  if (a.status == milter_status::failed) line += ",\"error\":" + json_string(a.error);
  std::cout << line << "}\n" << std::flush;
}

std::vector<std::string> words_of(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(decode_escapes(w));
  return words;
}

// The text after the first `skip` words of line and the blank after them.
std::string rest_of(const std::string &line, int skip) {
  std::size_t pos = 0;
  for (int i = 0; i < skip; ++i) {
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) return "";
    pos = line.find_first_of(" \t", pos);
    if (pos == std::string::npos) return "";
  }
  return decode_escapes(line.substr(pos + 1));
}

int bad_line(int number, const std::string &line, const char *why) {
  std::cerr << "milter_client: line " << number << ": " << why << ": " << line << "\n";
  return 64;
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = 30;
  int arg = 1;
  if (arg + 1 < argc && std::string(argv[arg]) == "-t") {
    seconds = std::atoi(argv[arg + 1]);
    arg += 2;
  }
  if (arg + 1 != argc || seconds <= 0) {
    std::cerr << USAGE;
    return 64;
  }
  milter_session session;
  session.set_timeout(std::chrono::seconds(seconds));
  std::string error;
  if (!session.open(argv[arg], &error)) {
    std::cerr << "milter_client: " << error << "\n";
    return 1;
  }

  bool negotiated = false;
  bool quit = false;
  milter_macros pending;
  std::string line;
  int number = 0;
  while (!quit && std::getline(std::cin, line)) {
    ++number;
    std::vector<std::string> w = words_of(line);
    if (w.empty() || w[0][0] == '#') continue;
    const std::string &cmd = w[0];
    if (cmd == "macros") {
      for (std::size_t i = 1; i < w.size(); ++i) {
        std::size_t eq = w[i].find('=');
        if (eq == std::string::npos) return bad_line(number, line, "want NAME=VALUE");
        pending.push_back({w[i].substr(0, eq), w[i].substr(eq + 1)});
      }
      continue;
    }
    milter_answer a;
    if (cmd == "negotiate") {
      std::uint32_t actions = MILTER_OFFERED_ACTIONS, protocol = MILTER_OFFERED_PROTOCOL;
      if (w.size() > 1) actions = static_cast<std::uint32_t>(std::strtoul(w[1].c_str(), nullptr, 0));
      if (w.size() > 2) protocol = static_cast<std::uint32_t>(std::strtoul(w[2].c_str(), nullptr, 0));
      a = session.negotiate(actions, protocol);
      negotiated = true;
      print_answer(cmd, a, session);
      if (!a.ok()) return 1;
      continue;
    }
    if (!negotiated) {
      milter_answer n = session.negotiate();
      negotiated = true;
      print_answer("negotiate", n, session);
      if (!n.ok()) return 1;
    }
    milter_macros macros;
    macros.swap(pending);
    if (cmd == "connect") {
      if (w.size() < 3) return bad_line(number, line, "want connect HOST ADDRESS [PORT]");
      int port = w.size() > 3 ? std::atoi(w[3].c_str()) : 0;
      a = session.connect(w[1], w[2] == "-" ? "" : w[2], static_cast<std::uint16_t>(port),
                          macros);
    } else if (cmd == "helo") {
      if (w.size() != 2) return bad_line(number, line, "want helo NAME");
      a = session.helo(w[1], macros);
    } else if (cmd == "mail" || cmd == "rcpt") {
      if (w.size() < 2) return bad_line(number, line, "want an address");
      std::vector<std::string> args(w.begin() + 1, w.end());
      a = cmd == "mail" ? session.mail(args, macros) : session.rcpt(args, macros);
    } else if (cmd == "data") {
      a = session.data(macros);
    } else if (cmd == "header") {
      if (w.size() < 2) return bad_line(number, line, "want header NAME VALUE");
      a = session.header(w[1], rest_of(line, 2), macros);
    } else if (cmd == "eoh") {
      a = session.eoh(macros);
    } else if (cmd == "body") {
      a = session.body(rest_of(line, 1));
    } else if (cmd == "eom") {
      a = session.eom(macros);
    } else if (cmd == "abort") {
      a = session.abort();
    } else if (cmd == "unknown") {
      a = session.unknown(rest_of(line, 1), macros);
    } else if (cmd == "quit_nc") {
      a = session.quit_new_connection();
    } else if (cmd == "quit") {
      session.quit();
      a.status = milter_status::no_reply;
      quit = true;
    } else {
      return bad_line(number, line, "unknown step");
    }
    print_answer(cmd, a, session);
    if (!a.ok()) return 1;
  }
  session.quit();
  return 0;
}
