// A milter-protocol client: the MTA's side of the mail filter protocol
// (version 6, as libmilter speaks it), for driving a filter without an MTA.
//
// One milter_session is one connection to a filter. After open() (or
// adopt()) and negotiate(), each SMTP step is one call that sends the step's
// macros, then the step's command, and returns the filter's answer: the final
// reply (continue, accept, reject, replycode with its text, ...) and, at end
// of message, the modifications the filter asked for (headers inserted,
// changed or added, recipients, ...). Steps the filter asked not to receive
// (SMFIP_NO* flags) are not sent; steps it answers without a reply
// (SMFIP_NR_* flags) do not wait for one.
//
// Each step's macros and command go out in one write, as an MTA flushes
// them (two small writes would make the second wait for the filter's
// delayed ACK under Nagle's algorithm). With hold_unanswered, steps the
// filter does not answer are held and go out in the same write as the next
// step that waits for a reply (or with macros_only, abort's successor, quit),
// as Postfix's buffered stream sends them.
//
// Wire format: every packet is a 32-bit big-endian length (command byte
// plus data), the command byte, then the data; texts are NUL-terminated.
// The constants are libmilter's own (libmilter/mfdef.h).
//
// The session does not enforce SMTP ordering (it will send a RCPT before a
// MAIL if told to), so tests can also produce out-of-order input. Reads and
// writes are bounded by a timeout; packets from the filter are bounded in
// size. No exceptions are thrown for protocol or I/O failures: a failed step
// returns status failed with a text saying why, and the session is closed.

#ifndef HERONSEND_TESTS_MILTER_CLIENT_MILTER_CLIENT_H_
#define HERONSEND_TESTS_MILTER_CLIENT_MILTER_CLIENT_H_

#include <libmilter/mfdef.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct milter_macro {
  std::string name;   // as an MTA sends it: "j", "{auth_type}", ...
  std::string value;
};
using milter_macros = std::vector<milter_macro>;

// One change the filter asked for during end of message.
struct milter_modification {
  char action = 0;           // SMFIR_INSHEADER, SMFIR_CHGHEADER, SMFIR_ADDHEADER, ...
  std::uint32_t index = 0;   // SMFIR_INSHEADER / SMFIR_CHGHEADER: header index
  std::string name;          // header name; recipient or sender address; quarantine reason
  std::string value;         // header value (empty with SMFIR_CHGHEADER: delete); ESMTP args;
                             // SMFIR_REPLBODY: the body chunk
};

enum class milter_status {
  answered,   // the filter sent a final reply (reply, text, modifications)
  not_sent,   // the filter asked not to receive this step (SMFIP_NO* flag)
  no_reply,   // sent; the filter does not reply to it (SMFIP_NR_* flag, abort)
  failed,     // I/O or protocol failure (error says what); session closed
};

struct milter_answer {
  milter_status status = milter_status::failed;
  char reply = 0;     // SMFIR_CONTINUE, SMFIR_ACCEPT, SMFIR_REJECT, SMFIR_TEMPFAIL,
                      // SMFIR_DISCARD, SMFIR_REPLYCODE, SMFIR_SKIP, ... (answered)
  std::string text;   // SMFIR_REPLYCODE: the reply line, e.g. "550 5.7.1 fail"
  std::vector<milter_modification> modifications;
  std::string error;  // failed: what went wrong

  bool ok() const { return status != milter_status::failed; }
};

// A short lower-case name for a reply or modification code ("continue",
// "replycode", "insheader", ...); "unknown" for others.
const char *milter_code_name(char code);

// What an MTA offers at option negotiation.
constexpr std::uint32_t MILTER_OFFERED_ACTIONS = SMFI_CURR_ACTS;
constexpr std::uint32_t MILTER_OFFERED_PROTOCOL = SMFI_CURR_PROT;

class milter_session {
 public:
  milter_session() = default;
  ~milter_session();
  milter_session(const milter_session &) = delete;
  milter_session &operator=(const milter_session &) = delete;

  // Connects to a filter socket: "unix:/path", "local:/path", "/path",
  // "inet:PORT@HOST" or "inet6:PORT@HOST" (HOST a numeric address).
  bool open(const std::string &socket_spec, std::string *error);
  // Takes over an already connected stream socket (tests, benchmarks).
  void adopt(int fd);
  bool is_open() const { return fd_ >= 0; }
  void close();

  // Bounds every wait for the filter (default 30 s).
  void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  // Holds unanswered steps until the next write (default: sent at once).
  void set_hold_unanswered(bool hold) { hold_ = hold; }

  // Option negotiation (SMFIC_OPTNEG, protocol version 6). Must come first.
  // On success the filter's version, actions and protocol flags are kept.
  milter_answer negotiate(std::uint32_t actions = MILTER_OFFERED_ACTIONS,
                          std::uint32_t protocol = MILTER_OFFERED_PROTOCOL);
  std::uint32_t filter_version() const { return filter_version_; }
  std::uint32_t filter_actions() const { return filter_actions_; }
  std::uint32_t filter_protocol() const { return filter_protocol_; }

  // address: "192.0.2.1" (IPv4), anything with ':' (IPv6), "/path" (unix),
  // "" (unknown family: only the host name is sent).
  milter_answer connect(const std::string &host, const std::string &address,
                        std::uint16_t port, const milter_macros &macros = {});
  milter_answer helo(const std::string &name, const milter_macros &macros = {});
  // args[0] is the address as the MTA has it (e.g. "<a@b.example>"), the
  // rest ESMTP parameters.
  milter_answer mail(const std::vector<std::string> &args, const milter_macros &macros = {});
  milter_answer rcpt(const std::vector<std::string> &args, const milter_macros &macros = {});
  milter_answer data(const milter_macros &macros = {});
  milter_answer header(const std::string &name, const std::string &value,
                       const milter_macros &macros = {});
  milter_answer eoh(const milter_macros &macros = {});
  // Sent in chunks of at most MILTER_CHUNK_SIZE bytes; the answer is that
  // of the last chunk (or the first that is not "continue").
  milter_answer body(const std::string &text);
  milter_answer eom(const milter_macros &macros = {});
  milter_answer unknown(const std::string &command, const milter_macros &macros = {});
  // Ends the current message; the connection may carry another one.
  milter_answer abort();
  // Ends the connection; a new connect() may follow on the same session.
  milter_answer quit_new_connection();
  // Ends the session: sends SMFIC_QUIT and closes the socket.
  void quit();
  // Sends only the macros of a step (command: SMFIC_DATA, ...), as Postfix
  // does for DATA even when the filter asked not to receive that step.
  milter_answer macros_only(char command, const milter_macros &macros);

  // Largest packet accepted from the filter.
  static constexpr std::uint32_t MAX_PACKET = 1024 * 1024;

 private:
  milter_answer step(char command, const std::string &payload, const milter_macros &macros,
                     std::uint32_t not_wanted, std::uint32_t no_reply);
  static void append_packet(std::string *out, char command, const std::string &payload);
  static void append_macros(std::string *out, char command, const milter_macros &macros);
  bool send_packet(char command, const std::string &payload, std::string *error);
  bool send_bytes(const std::string &bytes, std::string *error);
  bool read_packet(char *command, std::string *payload, std::string *error);
  // Waits until the socket is ready for events (POLLIN or POLLOUT) within
  // the session's timeout.
  bool wait_ready(short events, const char *timeout_text, std::string *error);
  bool read_exact(char *buffer, std::size_t length, std::string *error);
  milter_answer read_answer();
  milter_answer fail(const std::string &error);

  // Sends held bytes and bytes in one write; with nothing held and bytes
  // empty, nothing.
  bool flush(const std::string &bytes, std::string *error);

  int fd_ = -1;
  bool hold_ = false;
  std::string held_;  // unanswered steps not sent yet
  std::chrono::milliseconds timeout_{30000};
  std::uint32_t filter_version_ = 0;
  std::uint32_t filter_actions_ = 0;
  std::uint32_t filter_protocol_ = 0;
};

#endif  // HERONSEND_TESTS_MILTER_CLIENT_MILTER_CLIENT_H_
