#include "options/service_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// An environment file as an administrator writes it, and what systemd 252
// reads from it (the rules the box test confirmed with the real systemd).
TEST(ServiceFileTest, ReadsAssignmentsAsSystemdDoes) {
  const char text[] =
      "# Options for heronsend\n"
      "; a comment too\n"
      "  # an indented comment\n"
      "HERONSEND_SOCKET=\"inet:8890@127.0.0.1\"\n"
      "export HERONSEND_USER = heronsend   \n"
      "HERONSEND_OPTIONS=\"-m -e 'see our policy page' -o softfail=refuse\"\n"
      "SINGLE='a \"b\" \\n'\n"
      "DOUBLE=\"a\\\"b\\\\c \\x $$\"\n"
      "JOINED=\"a\"  b # not a comment\n"
      "BARE=one\\ two\n"
      "no assignment here\n"
      "HERONSEND_USER=again\n";
  std::map<std::string, std::string> env = parse_environment_text(text);
  std::map<std::string, std::string> want = {
      {"HERONSEND_SOCKET", "inet:8890@127.0.0.1"},
      {"HERONSEND_USER", "again"},
      {"HERONSEND_OPTIONS", "-m -e 'see our policy page' -o softfail=refuse"},
      {"SINGLE", "a \"b\" \\n"},
      {"DOUBLE", "a\"b\\c \\x $$"},
      {"JOINED", "ab # not a comment"},
      {"BARE", "one two"},
  };
  EXPECT_EQ(env, want);
}

TEST(ServiceFileTest, SplitsOptionWordsAsSystemdDoes) {
  const struct {
    const char *value;
    std::vector<std::string> words;
  } kCases[] = {
      {"", {}},
      {"  -m\t -A  ", {"-m", "-A"}},
      {"-e 'see our policy page' -m", {"-e", "see our policy page", "-m"}},
      {"-e\"a b\"c", {"-ea bc"}},
      {"-l '' -m", {"-l", "", "-m"}},
      {"a\\ b 'c\\'d'", {"a b", "c'd"}},
      {"-e 'unclosed quote", {"-e", "unclosed quote"}},
  };
  for (const auto &c : kCases)
    EXPECT_EQ(split_option_words(c.value), c.words) << c.value;
}

// The file is input: missing, too large and control characters are errors.
TEST(ServiceFileTest, RefusesWhatItCannotReadFaithfully) {
  char path[] = "/tmp/heronsend-service-test.XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const struct {
    std::string text;
    const char *error;  // nullptr: read
  } kCases[] = {
      {"HERONSEND_OPTIONS=-m\r\n", "a control character"},
      {std::string("A=1\nB=\0\n", 8), ":2: a control character"},
      {std::string(kServiceFileMax, '#'), nullptr},
      {std::string(kServiceFileMax + 1, '#'), "larger than 65536 bytes"},
      {"\tHERONSEND_OPTIONS=-m\n", nullptr},
  };
  for (const auto &c : kCases) {
    ASSERT_EQ(ftruncate(fd, 0), 0);
    ASSERT_EQ(pwrite(fd, c.text.data(), c.text.size(), 0),
              static_cast<ssize_t>(c.text.size()));
    std::map<std::string, std::string> env;
    std::string error;
    bool ok = read_service_file(path, &env, &error);
    if (c.error == nullptr) {
      EXPECT_TRUE(ok) << error;
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
  close(fd);
  unlink(path);
  std::map<std::string, std::string> env;
  std::string error;
  EXPECT_FALSE(read_service_file(path, &env, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

}  // namespace
