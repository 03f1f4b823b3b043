#include "addr/allowlist.h"

#include <netinet/in.h>
#include <syslog.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "addr/addr.h"
#include "addr/addrset.h"
#include "common/config.h"
#include "common/safe_text.h"
#include "common/text.h"

addrset *allowlist = nullptr;

namespace {

// The file is read in pieces of at most ALLOWLIST_PIECE_SIZE - 1 characters;
// a longer line is handled as several lines.
constexpr int ALLOWLIST_PIECE_SIZE = 500;

// Room for the text of any entry of width up to 128 (at most 43 characters).
constexpr std::size_t FORMAT_SIZE = 100;

struct file_closer {
  void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};

bool is_trailing_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Cuts a piece at its first '#' and removes trailing blanks, tabs, carriage
// returns and line feeds. Leading white space stays: addr_parse skips it.
void strip_piece(char *piece) {
  char *comment = std::strchr(piece, '#');
  if (comment != nullptr) *comment = '\0';
  std::size_t len = std::strlen(piece);
  while (len > 0 && is_trailing_blank(piece[len - 1])) --len;
  piece[len] = '\0';
}

[[noreturn]] void fail_start_up() {
  free_allowlist();
  std::exit(EXIT_SOFTWARE_FAILURE);
}

}  // namespace

int load_allowlist(const char *path) {
  free_allowlist();  // a second load replaces the first
  allowlist = addrset_new();
  if (allowlist == nullptr) {
    syslog(LOG_ERR, "allowlist create failed");
    fail_start_up();
  }
  std::unique_ptr<std::FILE, file_closer> file(std::fopen(path, "re"));
  if (!file) {
    syslog(LOG_ERR, "fopen '%s' - %m", path);
    fail_start_up();
  }

  // A read error ends the reading like the end of the file.
  char piece[ALLOWLIST_PIECE_SIZE];
  int entries = 0;
  for (bool first = true; std::fgets(piece, sizeof piece, file.get()) != nullptr;
       first = false) {
    char *line = first ? skip_byte_order_mark(piece) : piece;
    strip_piece(line);
    if (line[0] == '\0') continue;
    addr_entry entry;
    if (!addr_parse(line, &entry)) {
      syslog(LOG_WARNING, "unparsable IP address - '%s'", line);
      continue;
    }
    // An entry that cannot be stored (out of memory) is dropped silently,
    // with whatever part of a split network was stored before the failure.
    if (addrset_add(allowlist, &entry)) entries++;
  }
  return entries;
}

bool check_allowlist(const char *host_name, const struct sockaddr *client) {
  if (allowlist == nullptr || client == nullptr) return false;

  addr_entry key{};
  key.width = 128;
  // The address fields are copied bytewise: the caller's socket address
  // need not be aligned for sockaddr_in or sockaddr_in6.
  const char *raw = reinterpret_cast<const char *>(client);
  if (client->sa_family == AF_INET6) {
    std::memcpy(key.addr, raw + offsetof(sockaddr_in6, sin6_addr), 16);
  } else if (client->sa_family == AF_INET) {
    key.addr[10] = 0xFF;
    key.addr[11] = 0xFF;
    std::memcpy(key.addr + 12, raw + offsetof(sockaddr_in, sin_addr), 4);
  } else {
    return false;
  }

  if (!addrset_contains(allowlist, &key)) return false;
  char text[FORMAT_SIZE];
  addr_format(&key, text, sizeof text);
  syslog(LOG_INFO, "allowlist \"%s\" [%s]", log_text(host_name).c_str(), text);
  return true;
}

void free_allowlist() {
  if (allowlist == nullptr) return;
  addrset_free(allowlist);
  allowlist = nullptr;
}
