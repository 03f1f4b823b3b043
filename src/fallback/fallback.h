// Fallback table.
//
// The -f file and the -g text fill a process-wide table of (pattern,
// mechanisms) entries at start-up; it is kept until shutdown.

#ifndef HERONSEND_FALLBACK_FALLBACK_H_
#define HERONSEND_FALLBACK_FALLBACK_H_

// Start-up: loads config.fallback_file if set, then adds the config.guess
// entry if set. Any failure ends the process with exit status 71.
void load_fallback_table();

// Shutdown: releases the table.
void free_fallbacks();

#endif  // HERONSEND_FALLBACK_FALLBACK_H_
