// Fuzzes the filter's text handling of client-supplied data: envelope
// address normalisation, the forged Received-SPF and Authentication-Results
// tests, the rejection reply builder, the Received-SPF and
// Authentication-Results values and log arguments. Checks their bounds and
// invariants: the headers and a log argument are one line, within bounds,
// and the identity= key is the Received-SPF value's last but x-software.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/safe_text.h"
#include "filter/auth_results.h"
#include "filter/connection.h"
#include "filter/envelope.h"
#include "filter/headers.h"
#include "filter/result.h"

// A header value as the filter hands it to libmilter: control characters
// only as the line feed of a fold, right before the blank that starts the
// continuation line, and every line (the first with "NAME: ") within 998
// characters.
static bool folded_within_lines(const char *value, std::size_t name_len) {
  std::size_t line = name_len + 2;
  for (const char *p = value; *p != '\0'; p++) {
    if (*p == '\n') {
      if (p[1] != ' ') return false;
      line = 0;
      continue;
    }
    if (is_control_char(static_cast<unsigned char>(*p))) return false;
    if (++line > 998) return false;
  }
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks a receiver length; the rest is the text.
  static const char kHost[] = "mx.example.org";
  std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  std::size_t host_len = data[0] % (sizeof kHost);
  receiver = copy_text(std::string(kHost, host_len).c_str());
  receiver_len = host_len;

  // normalize_address: the result lies inside the buffer, starts with no
  // "<", and never ends in ">" followed by nothing else unless it is all
  // that was left after a carriage return stopped the bracket removal.
  std::string buf = text;
  char *start = buf.data();
  char *out = normalize_address(start);
  if (out < start || out > start + buf.size()) std::abort();
  if (*out == '<') std::abort();
  std::size_t len = std::strlen(out);
  if (len > 0 && out[len - 1] == '\r') std::abort();
  // Normalising again only strips what a carriage return protected.
  std::string again(out);
  if (std::strlen(normalize_address(again.data())) > len) std::abort();

  // The forged-header tests must not read past the value.
  (void)received_spf_is_suspect(text.c_str());
  (void)auth_results_names_us(text.c_str());

  // The rejection text stays within its buffer.
  char reply[REPLY_TEXT_SIZE];
  build_rejection_text(text.c_str(), reply);
  if (std::strlen(reply) >= REPLY_TEXT_SIZE) std::abort();

  // The header value, built from client texts (HELO name, sender and the
  // sender given to SPF: the text cut in three at its first two 0x01 bytes,
  // as client texts hold no NUL): lines within 998 characters, folded only
  // before a blank, no other control character, within the value's room.
  {
    connection_data cd;
    std::string parts[3];
    std::size_t part = 0;
    for (char ch : text) {
      if (ch == '\x01' && part < 2) {
        part++;
        continue;
      }
      parts[part].push_back(ch);
    }
    cd.ip_str = copy_text("192.0.2.10");
    cd.helo = copy_text(parts[0].c_str());
    cd.mail_from = copy_text(parts[1].c_str());
    cd.use_mail_from = copy_text(parts[2].c_str());
    cd.result_index = static_cast<int>(data[0] % 12) - 1;
    cd.action = ACTION_MARK;
    cd.allowlisted = data[0] & 0x40;
    if (!build_received_spf(&cd)) std::abort();
    std::size_t n = std::strlen(cd.header_value);
    if (n >= HEADER_VALUE_SIZE) std::abort();
    if (!folded_within_lines(cd.header_value, std::strlen("Received-SPF")))
      std::abort();
    // Unless the value was cut at its bound, the daemon's own identity= is
    // the last one: client text cannot come after it.
    if (n < HEADER_VALUE_SIZE - 1) {
      std::string v(cd.header_value);
      std::size_t last = v.rfind(" identity=");
      if (last == std::string::npos || v.rfind("identity=") != last + 1 ||
          v.find(" x-software=", last) == std::string::npos)
        std::abort();
    }
    if (build_authentication_results(&cd)) {
      std::size_t m = std::strlen(cd.auth_results_value);
      if (m >= HEADER_VALUE_SIZE) std::abort();
      if (!folded_within_lines(cd.auth_results_value,
                               std::strlen("Authentication-Results")))
        std::abort();
    }
  }

  // A log argument: one line, bounded.
  log_text shown(text.c_str());
  const char *s = shown.c_str();
  if (std::strlen(s) > log_text::LOG_TEXT_MAX + 3) std::abort();
  if (std::strpbrk(s, "\r\n") != nullptr) std::abort();

  release_receiver();
  return 0;
}
