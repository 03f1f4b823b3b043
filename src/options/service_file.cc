#include "options/service_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view t) {
  while (!t.empty() && blank(t.front())) t.remove_prefix(1);
  while (!t.empty() && blank(t.back())) t.remove_suffix(1);
  return t;
}

// One assignment's value, from the text after "=".
std::string read_value(std::string_view rest) {
  enum { kPre, kValue, kSingle, kDouble } state = kPre;
  std::string value;
  std::size_t keep = 0;  // the value's length without blanks at the end
  for (std::size_t i = 0; i < rest.size(); i++) {
    char c = rest[i];
    if (state == kSingle) {
      if (c == '\'') {
        state = kPre;
      } else {
        value += c;
        keep = value.size();
      }
    } else if (state == kDouble) {
      if (c == '"') {
        state = kPre;
      } else if (c == '\\' && i + 1 < rest.size()) {
        char next = rest[++i];
        if (std::strchr("\"\\`$", next) == nullptr) value += '\\';
        value += next;
        keep = value.size();
      } else {
        value += c;
        keep = value.size();
      }
    } else if (state == kPre && blank(c)) {
      // blanks before the value or right after a closing quote
    } else if (state == kPre && (c == '\'' || c == '"')) {
      state = c == '\'' ? kSingle : kDouble;
    } else if (c == '\\' && i + 1 < rest.size()) {
      value += rest[++i];
      keep = value.size();
      state = kValue;
    } else {
      value += c;
      if (!blank(c)) keep = value.size();
      state = kValue;
    }
  }
  value.resize(keep);
  return value;
}

}  // namespace

std::map<std::string, std::string> parse_environment_text(std::string_view text) {
  std::map<std::string, std::string> env;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    while (!line.empty() && blank(line.front())) line.remove_prefix(1);
    std::size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || line[0] == ';' ||
        eq == std::string_view::npos)
      continue;
    std::string_view key = trim(line.substr(0, eq));
    if (key.substr(0, 7) == "export ") key = trim(key.substr(7));
    env[std::string(key)] = read_value(line.substr(eq + 1));
  }
  return env;
}

std::vector<std::string> split_option_words(std::string_view value) {
  std::vector<std::string> words;
  std::string word;
  char quote = 0;
  bool started = false;
  for (std::size_t i = 0; i < value.size(); i++) {
    char c = value[i];
    if (c == '\\' && i + 1 < value.size()) {
      word += value[++i];
      started = true;
    } else if (quote != 0) {
      if (c == quote)
        quote = 0;
      else
        word += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
      started = true;
    } else if (blank(c) || c == '\n') {
      if (started) words.push_back(word);
      word.clear();
      started = false;
    } else {
      word += c;
      started = true;
    }
  }
  if (started) words.push_back(word);
  return words;
}

bool read_service_file(const char *path,
                       std::map<std::string, std::string> *variables,
                       std::string *error) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return false;
  }
  // Read one byte past the limit to tell a file of exactly the limit from
  // a larger one.
  std::string text(kServiceFileMax + 1, '\0');
  std::size_t got = 0;
  int read_errno = 0;
  while (got < text.size()) {
    ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read_errno = errno;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  if (read_errno != 0) {
    *error = std::string("cannot read ") + path + ": " + std::strerror(read_errno);
    return false;
  }
  if (got > kServiceFileMax) {
    *error = std::string(path) + " is larger than " +
             std::to_string(kServiceFileMax) + " bytes";
    return false;
  }
  text.resize(got);
  std::size_t line = 1;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\n') {
      line++;
    } else if ((u < 0x20 && c != '\t') || u == 0x7f) {
      *error = std::string(path) + ":" + std::to_string(line) +
               ": a control character (only tabs and line ends may stand in "
               "the file)";
      return false;
    }
  }
  *variables = parse_environment_text(text);
  return true;
}
