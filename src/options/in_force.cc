#include "options/in_force.h"

#include <string_view>

#include "common/safe_text.h"

namespace {

void add_word(std::string &line, std::string_view word) {
  if (!line.empty()) line += ' ';
  line += word;
}

// An option with its text, quoted as a shell or systemd would need it to
// read the text as one word: in single quotes, or in double quotes (with
// backslashes before " and \\) when it holds a single quote.
void add_text(std::string &line, const char *option, const char *text) {
  if (text == nullptr) return;
  std::string shown = log_text(text).c_str();
  add_word(line, option);
  if (shown.find('\'') != std::string::npos) {
    std::string quoted = "\"";
    for (char c : shown) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    add_word(line, quoted + "\"");
  } else if (shown.empty() ||
             shown.find_first_of(" \t\"\\$`") != std::string::npos) {
    add_word(line, "'" + shown + "'");
  } else {
    add_word(line, shown);
  }
}

}  // namespace

std::string options_in_force(const daemon_config &cfg) {
  std::string line;
  if (cfg.mark_only) add_word(line, "-m");
  if (cfg.recipient_mx) add_word(line, "-r");
  if (cfg.trusted_forwarders) add_word(line, "-t");
  if (cfg.auth_results) add_word(line, "-A");
  if (cfg.check_helo) add_word(line, "-c");
  if (cfg.bounce_explanation) add_word(line, "-b");
  std::string policies;
  auto add_policy = [&policies](bool on, const char *pair) {
    if (!on) return;
    if (!policies.empty()) policies += ',';
    policies += pair;
  };
  add_policy(cfg.refuse_softfail, "softfail=refuse");
  add_policy(cfg.refuse_permerror, "permerror=refuse");
  add_policy(cfg.defer_temperror, "temperror=defer");
  add_policy(cfg.refuse_helo_fail, "helofail=refuse");
  add_policy(cfg.quarantine_fail, "fail=quarantine");
  add_policy(cfg.fail_dmarc, "fail=dmarc");
  add_policy(cfg.quarantine_softfail, "softfail=quarantine");
  add_policy(cfg.quarantine_permerror, "permerror=quarantine");
  if (!policies.empty()) {
    add_word(line, "-o");
    add_word(line, policies);
  }
  add_text(line, "-l", cfg.local_policy);
  add_text(line, "-g", cfg.guess);
  add_text(line, "-e", cfg.explanation);
  add_text(line, "-f", cfg.fallback_file);
  add_text(line, "-a", cfg.allowlist_file);
  add_text(line, "-k", cfg.keep_recipients);
  if (cfg.debug != 0) add_word(line, "-d" + std::to_string(cfg.debug));
  return line.empty() ? "none" : line;
}
