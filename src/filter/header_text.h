// Bounded text building for the header fields the filter adds.
//
// Header values are built in the connection record's fixed buffers: every
// piece is appended only as far as room remains, so a value never outgrows
// its buffer whatever the client sent. Client text (HELO name, sender) is
// written so that it cannot end the field or the comment it stands in early
// and add text of its own choosing.

#ifndef HERONSEND_FILTER_HEADER_TEXT_H_
#define HERONSEND_FILTER_HEADER_TEXT_H_

#include <cstddef>

// The longest line a message may carry (RFC 5322 section 2.1.1), not
// counting its CRLF.
constexpr std::size_t MAX_LINE = 998;

// Room for one piece of a folded value (see add_piece): a line, and a few
// bytes more so that a piece the appends had to cut short always measures
// longer than a line and is told from one that fits.
constexpr std::size_t PIECE_SIZE = MAX_LINE + 8;

// Appends printf-style text to buf (holding a terminated text of room
// size) as far as room remains.
void append(char *buf, std::size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Appends text as far as room remains, with a backslash before each
// character in `escaped` (an escaped pair is appended whole or not at all).
void append_escaped(char *buf, std::size_t size, const char *text,
                    const char *escaped);

// Appends text as a quoted string: in double quotes, with a backslash
// before each quote and backslash inside.
void append_quoted(char *buf, std::size_t size, const char *text);

// Appends " key=value;" to a Received-SPF value, the value as a quoted
// string when it would not read back as one value: empty, or holding a
// blank, a control character, ";", a quote, a parenthesis or a backslash.
// Ordinary host names and addresses are written as they are.
void append_field(char *buf, std::size_t size, const char *key,
                  const char *value);

// Appends " property=value" to an Authentication-Results value: a value of
// letters, digits, ".", "-" and "_" (a domain name) as it is, anything
// else as a quoted string.
void append_property(char *buf, std::size_t size, const char *property,
                     const char *value);

// The length text takes once appended with append_escaped.
std::size_t escaped_length(const char *text, const char *escaped);

// A header value built of pieces and folded where a line would otherwise
// pass MAX_LINE. A value that fits on one line is the plain concatenation
// of its pieces, byte for byte. Folding puts a line feed before the blank
// a piece begins with (libmilter's form of a folded value: the MTA writes
// CRLF), so the blank indents the continuation line and the unfolded value
// reads exactly as the one-line value would.
struct folded_value {
  char *buf;
  std::size_t size;
  std::size_t line;  // length of the line being filled
};

// Starts an empty value in buf (room size) for a header named name: its
// first line holds "NAME: " too.
folded_value start_value(char *buf, std::size_t size, const char *name);

// Appends a piece: a key with its value, or a result with its comment. A
// piece after the first begins with a blank; it goes on a line of its own
// when the current line cannot take it. A piece that is longer than a line
// (overlong client text) or for which the buffer has no room is left out
// whole: false. Control characters in the piece are written as "?".
bool add_piece(folded_value &value, char *piece);

#endif  // HERONSEND_FILTER_HEADER_TEXT_H_
