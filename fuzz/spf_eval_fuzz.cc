// Fuzz target: SPF evaluation of DNS data and sender texts that an outsider
// controls, through the daemon's SPF adapter and libspf2's in-memory zone.
//
// The input is split at newlines into up to six texts:
//   1. the SPF record (TXT) of evil.test, the sender's domain
//   2. the TXT record of e.evil.test (for exp=e.evil.test)
//   3. the sender's local part (the sender is LOCAL@evil.test)
//   4. the TXT record of i.evil.test (for include: and redirect=)
//   5. the HELO name
//   6. a recipient: when given, the recipient-MX query runs for it after
//      the MAIL FROM query (it compiles "v=spf1 mx:" and the recipient's
//      domain)
// Missing texts are left out of the zone (or empty). evil.test also has an
// A, an AAAA and an MX record, so the a, mx and ptr mechanisms have
// something to look at. An odd input length makes the client an IPv6 one.
// Each run builds a fresh SPF server, so no state is carried between runs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/config.h"
#include "read_response.h"
#include "spf/lib.h"

extern "C" {
#include <spf2/spf_dns_zone.h>
}

namespace {

void zone_add(const char *name, ns_type type, const std::string &data) {
  SPF_dns_zone_add_str(spf_server->resolver, name, type, NETDB_SUCCESS,
                       data.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> texts;
  std::string current;
  for (size_t i = 0; i < size && texts.size() < 6; i++) {
    if (data[i] == '\n') {
      texts.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (texts.size() < 6) texts.push_back(current);
  texts.resize(6);

  config = daemon_config{};
  if (!lib_init(SPF_DNS_ZONE)) return 0;
  // The library's warnings would only go to the system log: drop them.
  SPF_warning_handler = nullptr;
  SPF_info_handler = nullptr;
  SPF_debug_handler = nullptr;

  zone_add("evil.test", ns_t_txt, texts[0]);
  if (!texts[1].empty()) zone_add("e.evil.test", ns_t_txt, texts[1]);
  if (!texts[3].empty()) zone_add("i.evil.test", ns_t_txt, texts[3]);
  zone_add("evil.test", ns_t_a, "192.0.2.1");
  zone_add("evil.test", ns_t_aaaa, "2001:db8::1");
  zone_add("evil.test", ns_t_mx, "mx.evil.test");
  zone_add("mx.evil.test", ns_t_a, "192.0.2.2");

  lib_data *lib = lib_init_connection_data();
  if (lib != nullptr) {
    std::string sender = texts[2] + "@evil.test";
    bool ready = (size % 2 ? lib_set_ipv6(lib, "2001:db8::99")
                           : lib_set_ipv4(lib, "192.0.2.99")) &&
                 (texts[4].empty() ||
                  lib_set_helo_hostname(lib, texts[4].c_str())) &&
                 lib_set_from(lib, sender.c_str());
    if (ready && lib_do_check(lib) && lib->response)
      read_response_texts(lib->response);
    if (ready && !texts[5].empty()) lib_do_rcpt_check(lib, texts[5].c_str());
    lib_free_connection_data(lib);
  }
  lib_fini();
  return 0;
}
