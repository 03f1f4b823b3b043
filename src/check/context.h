// heronsend-check's in-process stand-in for libmilter.
//
// heronsend-check does not link libmilter: it plays one SMTP connection
// through the filter's own callbacks itself, with a context of this type
// as the connection's SMFICTX. The stand-in defines the libmilter calls the
// callbacks make (smfi_getpriv, smfi_setpriv, smfi_getsymval,
// smfi_setreply, smfi_insheader, smfi_chgheader) and keeps what the filter
// asked of the MTA, for the tool to show.
//
// The only macro offered is "{j}", the receiver, when the tool was given
// one: without it the filter finds the receiver as it does without the
// MTA's "{j}". No "{auth_type}" or "{verify}": the sender did not
// authenticate.

#ifndef HERONSEND_CHECK_CONTEXT_H_
#define HERONSEND_CHECK_CONTEXT_H_

#include <libmilter/mfapi.h>

#include <string>
#include <vector>

struct check_header {
  std::string name, value;
};

struct smfi_str {
  void *priv = nullptr;
  const char *receiver = nullptr;  // the "{j}" macro, or none
  // The reply set with smfi_setreply as "RCODE XCODE TEXT", or "".
  std::string reply;
  // The reason of smfi_quarantine, or "".
  std::string quarantine;
  // The headers inserted, in the order of the calls.
  std::vector<check_header> inserted;
};

#endif  // HERONSEND_CHECK_CONTEXT_H_
