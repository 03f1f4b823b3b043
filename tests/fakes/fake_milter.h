// A recording stand-in for libmilter, linked into the unit tests in place of
// the real library. A test owns an SMFICTX (struct smfi_str below), sets the
// macros the MTA would offer, calls the filter callbacks with it, and then
// inspects the replies and header changes the callbacks asked for.

#ifndef HERONSEND_TESTS_FAKES_FAKE_MILTER_H_
#define HERONSEND_TESTS_FAKES_FAKE_MILTER_H_

#include <libmilter/mfapi.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct milter_reply {
  // smfi_setmlreply's lines joined with "\n".
  std::string rcode, xcode, message;
};

// One smfi_insheader or smfi_chgheader call. A deletion is a change whose
// value is absent.
struct header_change {
  bool insert;  // smfi_insheader; otherwise smfi_chgheader
  int index;
  std::string name;
  std::optional<std::string> value;
};

struct smfi_str {
  void *priv = nullptr;
  std::map<std::string, std::string> macros;  // "{j}" -> "mx.example.org"
  int setpriv_result = MI_SUCCESS;            // what smfi_setpriv answers
  int setpriv_calls = 0;
  std::vector<milter_reply> replies;
  std::vector<header_change> header_changes;
  std::vector<std::string> quarantines;  // smfi_quarantine's reasons
  int quarantine_result = MI_SUCCESS;     // what smfi_quarantine answers
  std::vector<std::string> macro_requests;  // names asked of smfi_getsymval
  // Called by smfi_getsymval before it answers (to block or throw there).
  std::function<void(const std::string &name)> on_getsymval;
};

// Process-wide calls (registration, socket, event loop).
struct fake_milter_process {
  std::optional<smfiDesc> registered;
  int register_result = MI_SUCCESS;
  std::string connection_spec;
  std::optional<bool> opensocket_arg;
  int opensocket_result = MI_SUCCESS;
  int main_calls = 0;
  int main_result = MI_SUCCESS;
};

extern fake_milter_process fake_milter;

// Resets fake_milter to its defaults.
void reset_fake_milter();

#endif  // HERONSEND_TESTS_FAKES_FAKE_MILTER_H_
