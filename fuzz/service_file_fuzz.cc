// Fuzzes the service file reader, the option-word splitter, the shared
// option parser and the options-in-force line.
//
// The input is read as an environment file; every value is split into
// option words and parsed with the daemon's options (parse_options), as
// heronsend-check --service does with HERONSEND_OPTIONS. Each value must
// come out with no blank at either end outside what quotes kept, and a
// configuration that parses must word its options so that the line,
// split and parsed again, gives the same line: the line an administrator
// copies back means what it says. (Texts with a backslash or a control
// character are left out of that round trip: the line shows them escaped,
// for reading.)
//
// Bounds: the input is capped at 8192 bytes (the reader's own limit is
// 64 KiB; the rules are per line and per character).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "options/command_line.h"
#include "options/in_force.h"
#include "options/service_file.h"

namespace {

constexpr size_t MAX_INPUT = 8192;

// Parses words (argv[0] added) into *cfg; the words must outlive cfg.
bool parse_words(std::vector<std::string> &words, daemon_config *cfg) {
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int first = 0;
  option_extras none{{}, nullptr, [] {}};
  return parse_options(static_cast<int>(words.size()), argv.data(), cfg, none,
                       &first) &&
         first == static_cast<int>(words.size());
}

bool plain(const char *text) {
  if (text == nullptr) return true;
  for (const char *p = text; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f || c == '\\') return false;
  }
  return std::strlen(text) < 900;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > MAX_INPUT) return 0;
  opterr = 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  for (const auto &[name, value] : parse_environment_text(text)) {
    if (name.find('\n') != std::string::npos) std::abort();
    std::vector<std::string> words = split_option_words(value);
    words.insert(words.begin(), "heronsend");
    daemon_config cfg;
    if (!parse_words(words, &cfg)) continue;
    if (!plain(cfg.local_policy) || !plain(cfg.guess) ||
        !plain(cfg.explanation) || !plain(cfg.fallback_file) ||
        !plain(cfg.allowlist_file) || !plain(cfg.keep_recipients))
      continue;
    std::string line = options_in_force(cfg);
    if (line == "none") continue;
    std::vector<std::string> again = split_option_words(line);
    again.insert(again.begin(), "heronsend");
    daemon_config cfg2;
    if (!parse_words(again, &cfg2) || options_in_force(cfg2) != line) {
      std::fprintf(stderr, "the line '%s' reads back differently\n", line.c_str());
      std::abort();
    }
  }
  return 0;
}
