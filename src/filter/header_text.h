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

#endif  // HERONSEND_FILTER_HEADER_TEXT_H_
