#include "milter_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

void put_u32(std::string *out, std::uint32_t v) {
  out->push_back(static_cast<char>((v >> 24) & 0xFF));
  out->push_back(static_cast<char>((v >> 16) & 0xFF));
  out->push_back(static_cast<char>((v >> 8) & 0xFF));
  out->push_back(static_cast<char>(v & 0xFF));
}

std::uint32_t get_u32(const char *p) {
  auto b = [p](int i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])); };
  return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

void put_text(std::string *out, const std::string &text) {
  out->append(text);
  out->push_back('\0');
}

// Splits data at NUL characters into at most `count` texts; false when a
// text is not terminated.
bool split_texts(const std::string &data, std::size_t offset, std::size_t count,
                 std::vector<std::string> *texts) {
  texts->clear();
  while (texts->size() < count && offset < data.size()) {
    std::size_t end = data.find('\0', offset);
    if (end == std::string::npos) return false;
    texts->push_back(data.substr(offset, end - offset));
    offset = end + 1;
  }
  return true;
}

bool is_final_reply(char code) {
  switch (code) {
    case SMFIR_ACCEPT:
    case SMFIR_CONTINUE:
    case SMFIR_DISCARD:
    case SMFIR_REJECT:
    case SMFIR_TEMPFAIL:
    case SMFIR_REPLYCODE:
    case SMFIR_SKIP:
    case SMFIR_SHUTDOWN:
    case SMFIR_CONN_FAIL:
      return true;
    default:
      return false;
  }
}

// Parses a modification packet; false when it is malformed or unknown.
bool parse_modification(char code, const std::string &data, milter_modification *mod) {
  std::vector<std::string> texts;
  mod->action = code;
  switch (code) {
    case SMFIR_INSHEADER:
    case SMFIR_CHGHEADER:
      if (data.size() < 4) return false;
      mod->index = get_u32(data.data());
      if (!split_texts(data, 4, 2, &texts) || texts.size() != 2) return false;
      mod->name = texts[0];
      mod->value = texts[1];
      return true;
    case SMFIR_ADDHEADER:
      if (!split_texts(data, 0, 2, &texts) || texts.size() != 2) return false;
      mod->name = texts[0];
      mod->value = texts[1];
      return true;
    case SMFIR_ADDRCPT:
    case SMFIR_DELRCPT:
    case SMFIR_QUARANTINE:
      if (!split_texts(data, 0, 1, &texts) || texts.size() != 1) return false;
      mod->name = texts[0];
      return true;
    case SMFIR_ADDRCPT_PAR:
    case SMFIR_CHGFROM:
      if (!split_texts(data, 0, 2, &texts) || texts.empty()) return false;
      mod->name = texts[0];
      if (texts.size() > 1) mod->value = texts[1];
      return true;
    case SMFIR_REPLBODY:
      mod->value = data;
      return true;
    default:
      return false;
  }
}

}  // namespace

const char *milter_code_name(char code) {
  switch (code) {
    case SMFIR_ACCEPT: return "accept";
    case SMFIR_CONTINUE: return "continue";
    case SMFIR_DISCARD: return "discard";
    case SMFIR_REJECT: return "reject";
    case SMFIR_TEMPFAIL: return "tempfail";
    case SMFIR_REPLYCODE: return "replycode";
    case SMFIR_SKIP: return "skip";
    case SMFIR_SHUTDOWN: return "shutdown";
    case SMFIR_CONN_FAIL: return "conn_fail";
    case SMFIR_PROGRESS: return "progress";
    case SMFIR_ADDHEADER: return "addheader";
    case SMFIR_INSHEADER: return "insheader";
    case SMFIR_CHGHEADER: return "chgheader";
    case SMFIR_ADDRCPT: return "addrcpt";
    case SMFIR_ADDRCPT_PAR: return "addrcpt_par";
    case SMFIR_DELRCPT: return "delrcpt";
    case SMFIR_CHGFROM: return "chgfrom";
    case SMFIR_REPLBODY: return "replbody";
    case SMFIR_QUARANTINE: return "quarantine";
    case SMFIC_OPTNEG: return "negotiate";
    default: return "unknown";
  }
}

milter_session::~milter_session() { close(); }

void milter_session::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  held_.clear();
}

bool milter_session::flush(const std::string &bytes, std::string *error) {
  if (held_.empty()) return bytes.empty() || send_bytes(bytes, error);
  held_ += bytes;
  std::string out;
  out.swap(held_);
  return send_bytes(out, error);
}

void milter_session::adopt(int fd) {
  close();
  fd_ = fd;
}

bool milter_session::open(const std::string &spec, std::string *error) {
  close();
  std::string rest = spec;
  std::string kind = "unix";
  std::size_t colon = spec.find(':');
  if (colon != std::string::npos && spec[0] != '/') {
    kind = spec.substr(0, colon);
    rest = spec.substr(colon + 1);
  }
  int fd = -1;
  if (kind == "unix" || kind == "local") {
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (rest.empty() || rest.size() >= sizeof sun.sun_path) {
      *error = "bad unix socket path '" + rest + "'";
      return false;
    }
    std::memcpy(sun.sun_path, rest.c_str(), rest.size() + 1);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0) {
      *error = "connect " + rest + ": " + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return false;
    }
  } else if (kind == "inet" || kind == "inet6") {
    std::size_t at = rest.find('@');
    if (at == std::string::npos) {
      *error = "bad socket '" + spec + "' (want " + kind + ":PORT@HOST)";
      return false;
    }
    int port = std::atoi(rest.substr(0, at).c_str());
    std::string host = rest.substr(at + 1);
    if (port <= 0 || port > 65535) {
      *error = "bad port in '" + spec + "'";
      return false;
    }
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (kind == "inet") {
      auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
      sin->sin_family = AF_INET;
      sin->sin_port = htons(static_cast<std::uint16_t>(port));
      if (inet_pton(AF_INET, host.c_str(), &sin->sin_addr) != 1) {
        *error = "bad IPv4 address '" + host + "'";
        return false;
      }
      len = sizeof *sin;
    } else {
      auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&ss);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_port = htons(static_cast<std::uint16_t>(port));
      if (inet_pton(AF_INET6, host.c_str(), &sin6->sin6_addr) != 1) {
        *error = "bad IPv6 address '" + host + "'";
        return false;
      }
      len = sizeof *sin6;
    }
    fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
      *error = "connect " + spec + ": " + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return false;
    }
  } else {
    *error = "unknown socket kind '" + kind + "'";
    return false;
  }
  fd_ = fd;
  return true;
}

milter_answer milter_session::fail(const std::string &error) {
  close();
  milter_answer a;
  a.status = milter_status::failed;
  a.error = error;
  return a;
}

bool milter_session::send_packet(char command, const std::string &payload,
                                 std::string *error) {
  std::string bytes;
  append_packet(&bytes, command, payload);
  return send_bytes(bytes, error);
}

void milter_session::append_packet(std::string *out, char command,
                                   const std::string &payload) {
  put_u32(out, static_cast<std::uint32_t>(payload.size() + 1));
  out->push_back(command);
  out->append(payload);
}

bool milter_session::send_bytes(const std::string &bytes, std::string *error) {
  if (fd_ < 0) {
    *error = "session not open";
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (!wait_ready(POLLOUT, "timeout writing to the filter", error)) return false;
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      *error = std::string("write to the filter: ") + std::strerror(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool milter_session::wait_ready(short events, const char *timeout_text,
                                std::string *error) {
  for (;;) {
    pollfd p{fd_, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(timeout_.count()));
    if (r > 0) return true;
    if (r == 0) {
      *error = timeout_text;
      return false;
    }
    if (errno != EINTR) {
      *error = std::string("poll: ") + std::strerror(errno);
      return false;
    }
  }
}

bool milter_session::read_exact(char *buffer, std::size_t length, std::string *error) {
  std::size_t done = 0;
  while (done < length) {
    if (!wait_ready(POLLIN, "timeout waiting for the filter", error)) return false;
    ssize_t n = ::read(fd_, buffer + done, length - done);
    if (n == 0) {
      *error = "the filter closed the connection";
      return false;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      *error = std::string("read from the filter: ") + std::strerror(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool milter_session::read_packet(char *command, std::string *payload, std::string *error) {
  if (fd_ < 0) {
    *error = "session not open";
    return false;
  }
  char head[4];
  if (!read_exact(head, sizeof head, error)) return false;
  std::uint32_t length = get_u32(head);
  if (length == 0 || length > MAX_PACKET) {
    *error = "bad packet length " + std::to_string(length) + " from the filter";
    return false;
  }
  std::string data(length, '\0');
  if (!read_exact(data.data(), length, error)) return false;
  *command = data[0];
  payload->assign(data, 1, std::string::npos);
  return true;
}

void milter_session::append_macros(std::string *out, char command,
                                   const milter_macros &macros) {
  if (macros.empty()) return;
  std::string payload(1, command);
  for (const milter_macro &m : macros) {
    put_text(&payload, m.name);
    put_text(&payload, m.value);
  }
  append_packet(out, SMFIC_MACRO, payload);
}

milter_answer milter_session::read_answer() {
  milter_answer answer;
  for (;;) {
    char code = 0;
    std::string data;
    std::string error;
    if (!read_packet(&code, &data, &error)) return fail(error);
    if (code == SMFIR_PROGRESS) continue;
    if (is_final_reply(code)) {
      answer.status = milter_status::answered;
      answer.reply = code;
      if (code == SMFIR_REPLYCODE) {
        std::size_t end = data.find('\0');
        answer.text = data.substr(0, end);
      }
      return answer;
    }
    milter_modification mod;
    if (!parse_modification(code, data, &mod)) {
      return fail(std::string("unexpected or malformed reply '") + code + "' (" +
                  milter_code_name(code) + ") from the filter");
    }
    answer.modifications.push_back(std::move(mod));
  }
}

milter_answer milter_session::step(char command, const std::string &payload,
                                   const milter_macros &macros, std::uint32_t not_wanted,
                                   std::uint32_t no_reply) {
  milter_answer answer;
  if (not_wanted != 0 && (filter_protocol_ & not_wanted) != 0) {
    answer.status = milter_status::not_sent;
    return answer;
  }
  // The macros and the command in one write, as an MTA flushes them.
  std::string bytes;
  append_macros(&bytes, command, macros);
  append_packet(&bytes, command, payload);
  bool answered = no_reply == 0 || (filter_protocol_ & no_reply) == 0;
  if (!answered && hold_) {
    held_ += bytes;
    answer.status = milter_status::no_reply;
    return answer;
  }
  std::string error;
  if (!flush(bytes, &error)) return fail(error);
  if (!answered) {
    answer.status = milter_status::no_reply;
    return answer;
  }
  return read_answer();
}

milter_answer milter_session::negotiate(std::uint32_t actions, std::uint32_t protocol) {
  std::string payload;
  put_u32(&payload, SMFI_PROT_VERSION);
  put_u32(&payload, actions);
  put_u32(&payload, protocol);
  std::string error;
  if (!send_packet(SMFIC_OPTNEG, payload, &error)) return fail(error);
  char code = 0;
  std::string data;
  if (!read_packet(&code, &data, &error)) return fail(error);
  if (code != SMFIC_OPTNEG || data.size() < MILTER_OPTLEN)
    return fail(std::string("bad negotiation reply '") + code + "' from the filter");
  filter_version_ = get_u32(data.data());
  filter_actions_ = get_u32(data.data() + 4);
  filter_protocol_ = get_u32(data.data() + 8);
  // A filter may not ask for more than was offered.
  if ((filter_actions_ & ~actions) != 0 || (filter_protocol_ & ~protocol) != 0)
    return fail("the filter asked for actions or protocol steps that were not offered");
  milter_answer answer;
  answer.status = milter_status::answered;
  answer.reply = SMFIC_OPTNEG;
  return answer;
}

milter_answer milter_session::connect(const std::string &host, const std::string &address,
                                      std::uint16_t port, const milter_macros &macros) {
  std::string payload;
  put_text(&payload, host);
  if (address.empty()) {
    payload.push_back(SMFIA_UNKNOWN);
  } else {
    char family = SMFIA_INET;
    if (address[0] == '/')
      family = SMFIA_UNIX;
    else if (address.find(':') != std::string::npos)
      family = SMFIA_INET6;
    payload.push_back(family);
    payload.push_back(static_cast<char>((port >> 8) & 0xFF));
    payload.push_back(static_cast<char>(port & 0xFF));
    put_text(&payload, address);
  }
  return step(SMFIC_CONNECT, payload, macros, SMFIP_NOCONNECT, SMFIP_NR_CONN);
}

milter_answer milter_session::helo(const std::string &name, const milter_macros &macros) {
  std::string payload;
  put_text(&payload, name);
  return step(SMFIC_HELO, payload, macros, SMFIP_NOHELO, SMFIP_NR_HELO);
}

milter_answer milter_session::mail(const std::vector<std::string> &args,
                                   const milter_macros &macros) {
  std::string payload;
  for (const std::string &a : args) put_text(&payload, a);
  return step(SMFIC_MAIL, payload, macros, SMFIP_NOMAIL, SMFIP_NR_MAIL);
}

milter_answer milter_session::rcpt(const std::vector<std::string> &args,
                                   const milter_macros &macros) {
  std::string payload;
  for (const std::string &a : args) put_text(&payload, a);
  return step(SMFIC_RCPT, payload, macros, SMFIP_NORCPT, SMFIP_NR_RCPT);
}

milter_answer milter_session::data(const milter_macros &macros) {
  return step(SMFIC_DATA, "", macros, SMFIP_NODATA, SMFIP_NR_DATA);
}

milter_answer milter_session::header(const std::string &name, const std::string &value,
                                     const milter_macros &macros) {
  std::string payload;
  put_text(&payload, name);
  put_text(&payload, value);
  return step(SMFIC_HEADER, payload, macros, SMFIP_NOHDRS, SMFIP_NR_HDR);
}

milter_answer milter_session::eoh(const milter_macros &macros) {
  return step(SMFIC_EOH, "", macros, SMFIP_NOEOH, SMFIP_NR_EOH);
}

milter_answer milter_session::body(const std::string &text) {
  milter_answer answer;
  answer.status = milter_status::no_reply;
  std::size_t offset = 0;
  do {
    std::string chunk = text.substr(offset, MILTER_CHUNK_SIZE);
    offset += chunk.size();
    answer = step(SMFIC_BODY, chunk, {}, SMFIP_NOBODY, SMFIP_NR_BODY);
    if (answer.status != milter_status::no_reply &&
        !(answer.status == milter_status::answered && answer.reply == SMFIR_CONTINUE))
      return answer;
  } while (offset < text.size());
  return answer;
}

milter_answer milter_session::eom(const milter_macros &macros) {
  return step(SMFIC_BODYEOB, "", macros, 0, 0);
}

milter_answer milter_session::unknown(const std::string &command,
                                      const milter_macros &macros) {
  std::string payload;
  put_text(&payload, command);
  return step(SMFIC_UNKNOWN, payload, macros, SMFIP_NOUNKNOWN, SMFIP_NR_UNKN);
}

milter_answer milter_session::abort() {
  std::string bytes;
  append_packet(&bytes, SMFIC_ABORT, "");
  if (hold_) {
    held_ += bytes;
    milter_answer answer;
    answer.status = milter_status::no_reply;
    return answer;
  }
  std::string error;
  if (!send_bytes(bytes, &error)) return fail(error);
  milter_answer answer;
  answer.status = milter_status::no_reply;
  return answer;
}

milter_answer milter_session::quit_new_connection() {
  std::string bytes;
  append_packet(&bytes, SMFIC_QUIT_NC, "");
  std::string error;
  if (!flush(bytes, &error)) return fail(error);
  milter_answer answer;
  answer.status = milter_status::no_reply;
  return answer;
}

milter_answer milter_session::macros_only(char command, const milter_macros &macros) {
  std::string bytes;
  append_macros(&bytes, command, macros);
  std::string error;
  if (!flush(bytes, &error)) return fail(error);
  milter_answer answer;
  answer.status = milter_status::no_reply;
  return answer;
}

void milter_session::quit() {
  if (fd_ < 0) return;
  std::string bytes;
  append_packet(&bytes, SMFIC_QUIT, "");
  std::string error;
  flush(bytes, &error);
  close();
}
