// Fault injection for text copies in the unit tests: strdup is replaced at
// link level by a version that fails (returns none, errno ENOMEM) for the
// next copy of one chosen text, whoever makes it (the daemon or libspf2).

#ifndef HERONSEND_TESTS_FAKES_FAKE_ALLOC_H_
#define HERONSEND_TESTS_FAKES_FAKE_ALLOC_H_

#include <string>

// A strdup of exactly this text fails, after `skip` such copies have
// succeeded; later ones succeed again.
void fail_next_strdup_of(const std::string &text, int skip = 0);
// Cancels a pending failure; true if one was still pending.
bool cancel_strdup_failure();

#endif  // HERONSEND_TESTS_FAKES_FAKE_ALLOC_H_
