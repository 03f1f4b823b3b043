// Fuzzes the filter's text handling of client-supplied data: envelope
// address normalisation, the forged Received-SPF tests, and the rejection
// reply builder. Checks their bounds and invariants.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "filter/connection.h"
#include "filter/envelope.h"
#include "filter/headers.h"
#include "filter/result.h"

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

  // The forged-header test must not read past the value.
  (void)received_spf_is_suspect(text.c_str());

  // The rejection text stays within its buffer.
  char reply[REPLY_TEXT_SIZE];
  build_rejection_text(text.c_str(), reply);
  if (std::strlen(reply) >= REPLY_TEXT_SIZE) std::abort();

  release_receiver();
  return 0;
}
