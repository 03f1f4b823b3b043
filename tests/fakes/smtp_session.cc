#include "smtp_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <regex>

#include "common/config.h"
#include "daemon/daemon.h"
#include "fake_syslog.h"
#include "filter/envelope.h"
#include "filter/headers.h"
#include "spf_zone.h"

smtp_session::smtp_session(const std::string &client_ip,
                           const std::string &host)
    : host_name(host) {
  ctx.macros["{j}"] = "mx.example.org";
  auto *sin = reinterpret_cast<sockaddr_in *>(&address);
  auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&address);
  if (inet_pton(AF_INET, client_ip.c_str(), &sin->sin_addr) == 1) {
    sin->sin_family = AF_INET;
  } else if (inet_pton(AF_INET6, client_ip.c_str(), &sin6->sin6_addr) == 1) {
    sin6->sin6_family = AF_INET6;
  } else {
    address.ss_family = AF_UNIX;  // "not an IP client"
  }
}

smtp_session::~smtp_session() {
  if (!closed) close();
}

sfsistat smtp_session::connect() {
  return spf_connect(&ctx, host_name.data(),
                     reinterpret_cast<_SOCK_ADDR *>(&address));
}

sfsistat smtp_session::helo(const std::string &name) {
  std::string copy = name;
  return spf_helo(&ctx, copy.data());
}

sfsistat smtp_session::mail(const std::string &sender) {
  std::string copy = sender;
  char *argv[] = {copy.data(), nullptr};
  return spf_envfrom(&ctx, argv);
}

sfsistat smtp_session::rcpt(const std::string &recipient) {
  std::string copy = recipient;
  char *argv[] = {copy.data(), nullptr};
  return spf_envrcpt(&ctx, argv);
}

sfsistat smtp_session::header(const std::string &name,
                              const std::string &value) {
  std::string n = name, v = value;
  return spf_header(&ctx, n.data(), v.data());
}

sfsistat smtp_session::eoh() { return spf_eoh(&ctx); }
sfsistat smtp_session::eom() { return spf_eom(&ctx); }
sfsistat smtp_session::abort() { return spf_abort(&ctx); }

sfsistat smtp_session::close() {
  closed = true;
  return spf_close(&ctx);
}

std::vector<std::string> smtp_session::inserted_headers(
    const std::string &name) const {
  std::vector<std::string> values;
  for (const header_change &c : ctx.header_changes) {
    if (!c.insert || c.name != name) continue;
    EXPECT_EQ(c.index, 0);
    values.push_back(c.value.value_or("(none)"));
  }
  return values;
}

std::vector<int> smtp_session::deleted_indices(const std::string &name) const {
  std::vector<int> indices;
  for (const header_change &c : ctx.header_changes) {
    if (c.insert || c.name != name) continue;
    EXPECT_FALSE(c.value.has_value());
    indices.push_back(c.index);
  }
  return indices;
}

void filter_test::SetUp() {
  config = daemon_config{};
  release_receiver();
  clear_log();
  build_version_text();
  ASSERT_TRUE(start_spf_with_zone());
  load_standard_zone();
}

void filter_test::TearDown() {
  stop_spf();
  release_receiver();
  config = daemon_config{};
}

std::vector<std::string> verdict_lines() {
  static const std::regex time("time_ms=[0-9]+");
  std::vector<std::string> lines;
  for (const log_line &l : captured_log())
    if (l.priority == LOG_INFO && l.text.rfind("verdict: ", 0) == 0)
      lines.push_back(std::regex_replace(l.text, time, "time_ms=N"));
  return lines;
}
