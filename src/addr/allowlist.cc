#include "addr/allowlist.h"

// Placeholder until the address set exists: no allowlist is ever loaded.
addrset *allowlist = nullptr;

void load_allowlist(const char *) {}
void check_allowlist(connection_data *, const char *, const struct sockaddr *) {}
void free_allowlist() {}
