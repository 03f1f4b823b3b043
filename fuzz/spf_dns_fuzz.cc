// Fuzz target: DNS answers in wire format through the daemon's own DNS
// stack (libspf2's caching layer over its resolver layer, as the daemon
// creates it) and the MAIL FROM query of user@evil.test.
//
// The resolver's res_nquery is replaced by the one below, which answers
// from the input instead of the network. The input is up to three DNS
// messages, each preceded by its length (two bytes, big-endian):
//   1. the answer to the TXT query of evil.test (the sender's SPF record)
//   2. the answer to every other TXT query (explanation, include, redirect)
//   3. the answer to every other query (A, AAAA, MX, PTR)
// A missing or empty message answers "host not found", and a name that
// does not fit in a DNS query fails as it does in the real resolver (see
// fits_a_query below). A message longer
// than the caller's buffer is reported by its length, as the real
// res_nquery does, so the library's retry with a larger buffer runs too.
// Each run builds a fresh SPF server, so no cached answer is carried over.

#include <netdb.h>
#include <resolv.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// libspf2's public headers define the DNS type names themselves unless told
// that <arpa/nameser.h> (included by <resolv.h> above) already has them.
#define HAVE_NS_TYPE 1
#define HAVE_DECL_NS_T_SPF 1
#define HAVE_DECL_NS_T_INVALID 1

#include "common/config.h"
#include "read_response.h"
#include "spf/lib.h"

namespace {

std::string answers[3];

// Whether the real resolver could put name into a query: at most 253
// characters (a final dot aside) in labels of 1 to 63 characters. The real
// res_nquery fails with NO_RECOVERY otherwise, which bounds how far macro
// expansion can grow a name from one redirect to the next.
bool fits_a_query(const char *name) {
  size_t length = std::strlen(name);
  if (length > 0 && name[length - 1] == '.') length--;
  if (length == 0 || length > 253) return false;
  size_t label = 0;
  for (size_t i = 0; i < length; i++) {
    if (name[i] != '.') {
      if (++label > 63) return false;
    } else {
      if (label == 0) return false;
      label = 0;
    }
  }
  return label > 0;
}

}  // namespace

// The resolver layer reads the outcome of a failed query from the
// resolver state, not from h_errno.
extern "C" int res_nquery(res_state state, const char *domain, int, int type,
                          unsigned char *answer, int anslen) {
  if (!fits_a_query(domain)) {
    state->res_h_errno = h_errno = NO_RECOVERY;
    return -1;
  }
  const std::string *message = &answers[2];
  if (type == ns_t_txt)
    message = std::strcmp(domain, "evil.test") == 0 ? &answers[0] : &answers[1];
  if (message->empty()) {
    state->res_h_errno = h_errno = HOST_NOT_FOUND;
    return -1;
  }
  state->res_h_errno = h_errno = NETDB_SUCCESS;
  int length = static_cast<int>(message->size());
  std::memcpy(answer, message->data(),
              static_cast<size_t>(length < anslen ? length : anslen));
  return length;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  size_t at = 0;
  for (auto &message : answers) {
    message.clear();
    if (size - at < 2) continue;
    size_t length = (size_t{data[at]} << 8) | data[at + 1];
    at += 2;
    if (length > size - at) length = size - at;
    message.assign(reinterpret_cast<const char *>(data + at), length);
    at += length;
  }

  config = daemon_config{};
  if (!lib_init(SPF_DNS_CACHE)) return 0;
  // The library's warnings would only go to the system log: drop them.
  SPF_warning_handler = nullptr;
  SPF_info_handler = nullptr;
  SPF_debug_handler = nullptr;

  lib_data *lib = lib_init_connection_data();
  if (lib != nullptr) {
    bool ready = (size % 2 ? lib_set_ipv6(lib, "2001:db8::99")
                           : lib_set_ipv4(lib, "192.0.2.99")) &&
                 lib_set_helo_hostname(lib, "helo.evil.test") &&
                 lib_set_from(lib, "user@evil.test");
    if (ready && lib_do_check(lib) && lib->response)
      read_response_texts(lib->response);
    lib_free_connection_data(lib);
  }
  lib_fini();
  return 0;
}
