// Fallback table.
//
// The -f file and the -g text fill a process-wide table of (pattern,
// mechanisms) entries at start-up; it is kept unchanged until shutdown. The
// first field of an entry is a wildcard pattern list for match_pattern_list.
// Nothing in the mail check reads the table or calls the matcher: the
// entries are held, not applied.
//
// The table is built and released on the main thread only, before the
// filter threads start and after they end. Every failure while it is built
// is fatal: one LOG_ERR line and exit status 71.

#ifndef HERONSEND_FALLBACK_FALLBACK_H_
#define HERONSEND_FALLBACK_FALLBACK_H_

#include <cstdint>
#include <cstdio>

// Size of the block that stands for an entry's compiled mechanisms. It is
// allocated and released with the entry; nothing reads or writes it.
constexpr int FALLBACK_COMPILED_SIZE = 4;

struct fallback_entry {
  char *pattern;            // owned copy; may be empty
  char *mechanisms;         // owned copy; may be empty
  unsigned char *compiled;  // owned block of FALLBACK_COMPILED_SIZE bytes
};

// The entries in the order they were added; none while the table is empty.
extern fallback_entry *fallbacks;
extern int32_t fallback_count;     // entries in use
extern int32_t fallback_capacity;  // entries the array has room for

// Room made by the first entry; each time the array is full it doubles
// (50, 100, 200, ...), keeping the entries.
constexpr int32_t FALLBACK_FIRST_CAPACITY = 50;

// Appends one entry holding copies of pattern and mechanisms. Ends the
// process (exit 71) if memory runs out.
void save_fallback(const char *pattern, const char *mechanisms);

// Size of the buffer one line is read into: a piece of a line ends after a
// newline or after FALLBACK_LINE_SIZE - 1 characters, whichever comes first,
// and each piece is handled as a line of its own.
constexpr int FALLBACK_LINE_SIZE = 1000;

// Appends one entry per non-empty line of the file at path. A file that
// cannot be opened ends the process with "fopen '%s' - %m" and exit 71; a
// read error ends the reading like the end of the file.
void load_fallbacks(const char *path);

// The reading loop of load_fallbacks over an open stream (not closed here).
void read_fallbacks(std::FILE *in);

// One piece of a fallback line, split in place into its two fields.
struct fallback_fields {
  const char *pattern;
  const char *mechanisms;
};

// Cuts piece at its first '#', removes trailing blanks, tabs, CRs and LFs,
// and splits what is left: the pattern is the text before the first blank
// or tab, the mechanisms the text after it with leading blanks and tabs
// skipped (inner blanks kept). Writes into piece; the fields point into it.
// Returns false when nothing is left (the piece adds no entry).
bool split_fallback_line(char *piece, fallback_fields *out);

// Releases every entry and the array; the table is empty again.
void free_fallbacks();

// Start-up: the table starts empty, loads config.fallback_file if set, then
// adds the entry ("*", config.guess) if -g was given.
void load_fallback_table();

// True if one of the '|'-separated alternatives of list matches the whole
// subject, tried left to right. An empty alternative (a doubled '|' or one at
// either end) matches only the empty subject. The matcher allocates nothing
// and keeps no state; it may run on any thread.
bool match_pattern_list(const char *list, const char *subject);

// True if the first length characters of pattern match the whole subject:
// '?' is any one character, '*' any run (longest first, backtracking by
// recursion: several '*' multiply the tries), anything else itself, byte for
// byte. A length of 0 or less matches only the empty subject. There is no
// escape character; in the subject '*', '?' and '|' are ordinary.
bool match_pattern(const char *pattern, int32_t length, const char *subject);

#endif  // HERONSEND_FALLBACK_FALLBACK_H_
