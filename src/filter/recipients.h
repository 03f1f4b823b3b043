// Recipients that always receive (-k).
//
// RFC 5321 4.5.1 asks every SMTP server to accept mail for postmaster from
// any system, and a sender whose own SPF record is broken into a fail could
// not reach us otherwise. With -k the refusal (or deferral) a message would
// get at MAIL FROM is given at each RCPT TO instead (filter/result.h), and
// the recipients of the list are accepted: the message reaches them, marked
// with its real verdict, and no one else.

#ifndef HERONSEND_FILTER_RECIPIENTS_H_
#define HERONSEND_FILTER_RECIPIENTS_H_

// Whether the normalised recipient (filter/envelope.h) is on the list:
// comma-separated entries, blanks around them allowed; an entry without
// "@" is a local part for every domain ("postmaster" also matches the bare
// recipient "postmaster", RFC 5321 4.1.1.3), one with "@" a whole address.
// Letter case does not matter, in the local part either: no mail system
// tells Postmaster from postmaster, and a kept recipient that matched too
// narrowly would cost the very mail the list is for.
bool recipient_is_kept(const char *list, const char *recipient);

#endif  // HERONSEND_FILTER_RECIPIENTS_H_
