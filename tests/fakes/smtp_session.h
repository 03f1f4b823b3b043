// Plays one SMTP connection through the filter callbacks the way libmilter
// would call them, against the recording libmilter fake, and exposes what
// the filter asked of the MTA. filter_test is the fixture the filter tests
// share: a fresh configuration, no receiver yet, an empty log, and real
// SPF evaluation over the standard in-memory zone (tests/fakes/spf_zone.h).

#ifndef HERONSEND_TESTS_FAKES_SMTP_SESSION_H_
#define HERONSEND_TESTS_FAKES_SMTP_SESSION_H_

#include <gtest/gtest.h>
#include <libmilter/mfapi.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_milter.h"
#include "filter/connection.h"

class smtp_session {
 public:
  // client_ip: IPv4 or IPv6 text. The MTA's "{j}" is mx.example.org unless
  // the test changes ctx.macros before connect().
  explicit smtp_session(const std::string &client_ip,
                        const std::string &host_name = "client.example.net");
  ~smtp_session();  // closes the connection if the test did not
  smtp_session(const smtp_session &) = delete;
  smtp_session &operator=(const smtp_session &) = delete;

  sfsistat connect();
  sfsistat helo(const std::string &name);
  sfsistat mail(const std::string &sender);
  sfsistat rcpt(const std::string &recipient);
  sfsistat header(const std::string &name, const std::string &value);
  sfsistat eoh();
  sfsistat eom();
  sfsistat abort();
  sfsistat close();

  connection_data *cd() { return get_connection_data(&ctx); }
  // The values of the headers of that name inserted (at index 0).
  std::vector<std::string> inserted_headers(
      const std::string &name = "Received-SPF") const;
  // The indices of that name deleted, in the order of the calls.
  std::vector<int> deleted_indices(
      const std::string &name = "Received-SPF") const;

  SMFICTX ctx;
  struct sockaddr_storage address {};
  std::string host_name;
  bool closed = false;
};

// The verdict lines (-V) logged since the last clear_log(), each check's
// time (which varies) written as "time_ms=N".
std::vector<std::string> verdict_lines();

class filter_test : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

#endif  // HERONSEND_TESTS_FAKES_SMTP_SESSION_H_
