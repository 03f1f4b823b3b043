// Allowlist file and client check.
//
// The allowlist names client networks whose mail is always accepted without
// an SPF check. load_allowlist reads the -w/-a file into the process-wide
// address set at start-up; check_allowlist looks each connecting client up.

#ifndef HERONSEND_ADDR_ALLOWLIST_H_
#define HERONSEND_ADDR_ALLOWLIST_H_

#include <sys/socket.h>

struct addrset;

// The process-wide allowlist, or none without -w/-a. Filled at start-up,
// read-only while mail is handled.
extern addrset *allowlist;

// Creates the set and loads the file at path. A set that cannot be created
// or a file that cannot be opened ends the process with exit status 71;
// unparsable lines are skipped with a warning. Returns the number of lines
// that gave an entry (the start-up log names it).
int load_allowlist(const char *path);

// True when the client address (IPv4 or IPv6) lies in the allowlist; the
// hit is logged. False without an allowlist.
bool check_allowlist(const char *host_name, const struct sockaddr *client);

// Releases the allowlist if there is one (shutdown).
void free_allowlist();

#endif  // HERONSEND_ADDR_ALLOWLIST_H_
