// The options in force, as one line of text.
//
// options_in_force() words a configuration record the way its options are
// typed, so a reader can compare it with the option line they meant:
// heronsend-check prints it with every answer, which then says for which
// configuration it holds.

#ifndef HERONSEND_OPTIONS_IN_FORCE_H_
#define HERONSEND_OPTIONS_IN_FORCE_H_

#include <string>

#include "common/config.h"

// The options of cfg that change what a check decides or answers, in a
// fixed order: -m -r -t -A -c -b, -o with its RESULT=ACTION pairs, -l -g
// -e -f -a -k with their texts (in single quotes when they hold a blank or a
// quote, control characters shown as log_text shows them), -d with its
// level. "none" when every one has the daemon's default. The options about
// running a service (the socket, -u, -p, -X) are not named.
std::string options_in_force(const daemon_config &cfg);

#endif  // HERONSEND_OPTIONS_IN_FORCE_H_
