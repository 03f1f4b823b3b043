// The daemon's name and version, and the SPF library's version text, as the
// start and stop log lines and the Received-SPF header show them.

#ifndef HERONSEND_COMMON_VERSION_H_
#define HERONSEND_COMMON_VERSION_H_

// The daemon's own name and version, as logged and as shown in headers.
constexpr const char *DAEMON_NAME = "heronsend";
constexpr const char *DAEMON_VERSION = "2.2";

// "libspf2-MAJOR.MINOR.PATCH" of the SPF library the daemon was built with.
// Built once at start-up, before the filter threads exist; read-only after.
constexpr int VERSION_TEXT_SIZE = 100;
extern char version_text[VERSION_TEXT_SIZE];
void build_version_text();

#endif  // HERONSEND_COMMON_VERSION_H_
