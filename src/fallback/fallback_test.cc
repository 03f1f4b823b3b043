#include "fallback/fallback.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/config.h"
#include "fake_syslog.h"

namespace {

using entry_texts = std::pair<std::string, std::string>;

std::vector<entry_texts> table() {
  std::vector<entry_texts> out;
  for (int32_t i = 0; i < fallback_count; ++i)
    out.emplace_back(fallbacks[i].pattern, fallbacks[i].mechanisms);
  return out;
}

// A file with the given contents, removed when the object goes away.
class temp_file {
 public:
  explicit temp_file(const std::string &contents) {
    std::string pattern = testing::TempDir() + "fallback-XXXXXX";
    path_.assign(pattern.begin(), pattern.end());
    path_.push_back('\0');
    int fd = mkstemp(path_.data());
    if (fd < 0) std::abort();
    if (write(fd, contents.data(), contents.size()) !=
        static_cast<ssize_t>(contents.size()))
      std::abort();
    close(fd);
  }
  ~temp_file() { unlink(path()); }
  const char *path() const { return path_.data(); }

 private:
  std::vector<char> path_;
};

class FallbackTest : public testing::Test {
 protected:
  void SetUp() override {
    free_fallbacks();
    clear_log();
    config = daemon_config{};
  }
  void TearDown() override {
    free_fallbacks();
    config = daemon_config{};
  }
  std::vector<entry_texts> load(const std::string &contents) {
    temp_file file(contents);
    load_fallbacks(file.path());
    return table();
  }
};

TEST_F(FallbackTest, LinesSplitIntoPatternAndMechanisms) {
  const struct {
    const char *name;
    const char *contents;
    std::vector<entry_texts> want;
  } cases[] = {
      {"tab, three mechanisms, trailing blanks and a comment",
       "*.example.org\tmx a:relay.example.org ip4:192.0.2.0/24   # ours\n",
       {{"*.example.org", "mx a:relay.example.org ip4:192.0.2.0/24"}}},
      {"blank separator, further blanks and tabs skipped, inner ones kept",
       "example.com \t  a  mx\t-all\n",
       {{"example.com", "a  mx\t-all"}}},
      {"a single field has empty mechanisms", "example.net\n",
       {{"example.net", ""}}},
      {"a leading blank gives an empty pattern", " a mx\n", {{"", "a mx"}}},
      {"a leading tab gives an empty pattern", "\tmx\n", {{"", "mx"}}},
      {"comment-only, blank and white lines add nothing",
       "# a comment\n\n   \n\t\r\n#\n", {}},
      {"'#' cuts wherever it stands", "exa#mple.com mx\nb.example mx#a\n",
       {{"exa", ""}, {"b.example", "mx"}}},
      {"CRLF line ends are trimmed", "a.example mx \r\nb.example\r\n",
       {{"a.example", "mx"}, {"b.example", ""}}},
      {"the last line needs no newline", "a mx\nb a", {{"a", "mx"}, {"b", "a"}}},
      {"inner CR is ordinary text", "a\rb c\rd\n", {{"a\rb", "c\rd"}}},
      {"lines keep the file's order", "3 c\n1 a\n2 b\n",
       {{"3", "c"}, {"1", "a"}, {"2", "b"}}},
      {"a byte order mark before the first line is no text of it",
       "\xEF\xBB\xBF" "*.example mx\n\xEF\xBB\xBF" "b mx\n",
       {{"*.example", "mx"}, {"\xEF\xBB\xBF" "b", "mx"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    free_fallbacks();
    EXPECT_EQ(load(c.contents), c.want);
  }
  EXPECT_TRUE(captured_log().empty()) << "there are no per-line messages";
}

TEST_F(FallbackTest, LinesOver999CharactersAreReadInPieces) {
  std::string x999(999, 'x');
  // 1500 characters: a piece of 999 and one of 501.
  EXPECT_EQ(load(std::string(1500, 'y') + "\n"),
            (std::vector<entry_texts>{{std::string(999, 'y'), ""},
                                      {std::string(501, 'y'), ""}}));
  // Exactly 999 characters: one piece, then the newline alone adds nothing.
  free_fallbacks();
  EXPECT_EQ(load(x999 + "\nnext mx\n"),
            (std::vector<entry_texts>{{x999, ""}, {"next", "mx"}}));
  // The second piece of a cut line is a line of its own: here it begins
  // with the blank, so its pattern is empty.
  free_fallbacks();
  EXPECT_EQ(load(x999 + " a mx # c\n"),
            (std::vector<entry_texts>{{x999, ""}, {"", "a mx"}}));
  // A comment started in the first piece does not reach into the second.
  free_fallbacks();
  EXPECT_EQ(load("#" + std::string(998, 'c') + "tail mx\n"),
            (std::vector<entry_texts>{{"tail", "mx"}}));
}

TEST_F(FallbackTest, SplitterWorksInPlace) {
  char piece[] = "pat \t mech one  # note \r\n";
  fallback_fields fields{};
  ASSERT_TRUE(split_fallback_line(piece, &fields));
  EXPECT_STREQ(fields.pattern, "pat");
  EXPECT_STREQ(fields.mechanisms, "mech one");
  EXPECT_GE(fields.pattern, piece);
  EXPECT_LT(fields.mechanisms, piece + sizeof piece);
  char empty[] = " \t\r\n";
  EXPECT_FALSE(split_fallback_line(empty, &fields));
  EXPECT_STREQ(empty, "") << "trimming stops at the start of the piece";
}

TEST_F(FallbackTest, ArrayGrowsFrom50To100To200KeepingEntries) {
  EXPECT_EQ(fallbacks, nullptr);
  EXPECT_EQ(fallback_capacity, 0);
  std::string file;
  for (int i = 0; i < 201; ++i)
    file += "p" + std::to_string(i) + " m" + std::to_string(i) + "\n";

  temp_file f(file);
  std::FILE *in = std::fopen(f.path(), "r");
  ASSERT_NE(in, nullptr);
  char line[64];
  auto add_up_to = [&](int32_t count) {
    while (fallback_count < count && std::fgets(line, sizeof line, in)) {
      fallback_fields fields{};
      ASSERT_TRUE(split_fallback_line(line, &fields));
      save_fallback(fields.pattern, fields.mechanisms);
    }
  };
  add_up_to(1);
  EXPECT_EQ(fallback_capacity, 50);
  add_up_to(50);
  EXPECT_EQ(fallback_capacity, 50);
  add_up_to(51);
  EXPECT_EQ(fallback_capacity, 100) << "the 51st entry doubles the room";
  add_up_to(101);
  EXPECT_EQ(fallback_capacity, 200);
  add_up_to(201);
  EXPECT_EQ(fallback_capacity, 400);
  std::fclose(in);

  ASSERT_EQ(fallback_count, 201);
  for (int32_t i = 0; i < fallback_count; ++i) {
    EXPECT_EQ(fallbacks[i].pattern, "p" + std::to_string(i));
    EXPECT_EQ(fallbacks[i].mechanisms, "m" + std::to_string(i));
    EXPECT_NE(fallbacks[i].compiled, nullptr);
  }

  free_fallbacks();
  EXPECT_EQ(fallbacks, nullptr);
  EXPECT_EQ(fallback_count, 0);
  EXPECT_EQ(fallback_capacity, 0);
  save_fallback("again", "");
  EXPECT_EQ(fallback_capacity, 50) << "an emptied table starts over";
}

TEST_F(FallbackTest, EntriesKeepTheirOwnCopies) {
  char pattern[] = "a.example";
  char mechanisms[] = "mx";
  save_fallback(pattern, mechanisms);
  pattern[0] = 'X';
  mechanisms[0] = 'X';
  EXPECT_EQ(table(), (std::vector<entry_texts>{{"a.example", "mx"}}));
}

TEST_F(FallbackTest, GuessAloneGivesOneStarEntry) {
  config.guess = "a/24 mx/24 ptr";
  load_fallback_table();
  EXPECT_EQ(table(), (std::vector<entry_texts>{{"*", "a/24 mx/24 ptr"}}));
}

TEST_F(FallbackTest, GuessComesAfterTheFileEntries) {
  temp_file file("a.example mx\nb.example a\n");
  config.fallback_file = file.path();
  config.guess = "ptr";
  load_fallback_table();
  EXPECT_EQ(table(), (std::vector<entry_texts>{
                         {"a.example", "mx"}, {"b.example", "a"}, {"*", "ptr"}}));
}

TEST_F(FallbackTest, NoOptionsLeaveTheTableEmpty) {
  load_fallback_table();
  EXPECT_EQ(fallback_count, 0);
  EXPECT_EQ(fallbacks, nullptr);
}

using FallbackDeathTest = FallbackTest;

TEST_F(FallbackDeathTest, UnopenableFileExits71) {
  EXPECT_EXIT(
      {
        openlog("heronsend", LOG_PERROR, LOG_MAIL);
        load_fallbacks("/nonexistent/fallback.txt");
      },
      testing::ExitedWithCode(71),
      "heronsend: fopen '/nonexistent/fallback.txt' - No such file or "
      "directory\n");
  EXPECT_EXIT(
      {
        openlog("heronsend", LOG_PERROR, LOG_MAIL);
        config.fallback_file = "/nonexistent/fallback.txt";
        config.guess = "ptr";
        load_fallback_table();
      },
      testing::ExitedWithCode(71), "fopen '/nonexistent/fallback.txt'");
}

TEST_F(FallbackDeathTest, ArrayThatCannotDoubleExits71) {
  // A table so full that doubling its room would overflow the count.
  EXPECT_EXIT(
      {
        openlog("heronsend", LOG_PERROR, LOG_MAIL);
        fallback_entry one{};
        fallbacks = &one;
        fallback_capacity = fallback_count = INT32_MAX / 2 + 1;
        save_fallback("p", "m");
      },
      testing::ExitedWithCode(71),
      "heronsend: out of memory enlarging fallbacks array\n");
}

TEST(MatchPatternTest, Examples) {
  const struct {
    const char *list;
    const char *subject;
    bool want;
  } cases[] = {
      {"a*c", "abc", true},
      {"a*c", "ac", true},
      {"a*c", "abbbc", true},
      {"a*c", "abcd", false},
      {"a*c", "ab", false},
      {"?b", "ab", true},
      {"?b", "b", false},
      {"?", "", false},
      {"??", "a", false},
      {"*", "", true},
      {"*", "anything", true},
      {"*", "*?|", true},
      {"A", "a", false},
      {"a", "A", false},
      {"a", "a", true},
      {"a|b", "a", true},
      {"a|b", "b", true},
      {"a|b", "ab", false},
      {"a|b", "", false},
      {"a||b", "", true},
      {"a||b", "a", true},
      {"a||b", "b", true},
      {"a||b", "ab", false},
      {"|a", "", true},
      {"a|", "", true},
      {"", "", true},
      {"", "a", false},
      {"|", "", true},
      {"|", "|", false},
      {"a", "*", false},
      {"\\*", "\\x", true},
      {"\\*", "*", false},
      {"*.example.org", "mx.example.org", true},
      {"*.example.org", "example.org", false},
      {"**", "", true},
      {"*a*a", "aaaa", true},
      {"*ab", "aab", true},
      {"a*b*c", "aXbYc", true},
      {"a*b*c", "aXcYb", false},
      {"\xc3\xa9", "\xc3\xa9", true},
      {"\xc3\xa9", "\xc3\x89", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(match_pattern_list(c.list, c.subject), c.want)
        << "'" << c.list << "' against '" << c.subject << "'";
}

TEST(MatchPatternTest, StarBStarMatchesExactlyTheSubjectsContainingB) {
  for (const char *subject : {"", "a", "b", "ab", "ba", "abc", "xyz", "bbb",
                              "aaaaab", "B", "cccbccc"}) {
    bool has_b = std::string(subject).find('b') != std::string::npos;
    EXPECT_EQ(match_pattern_list("*b*", subject), has_b) << subject;
  }
}

TEST(MatchPatternTest, LengthBoundsThePattern) {
  EXPECT_TRUE(match_pattern("abc", 2, "ab"));
  EXPECT_FALSE(match_pattern("abc", 2, "abc"));
  EXPECT_TRUE(match_pattern("a*", 1, "a"));
  EXPECT_FALSE(match_pattern("a*", 1, "ab"));
  EXPECT_TRUE(match_pattern("abc", 0, ""));
  EXPECT_FALSE(match_pattern("abc", 0, "a"));
  EXPECT_TRUE(match_pattern("abc", -5, ""));
  EXPECT_FALSE(match_pattern("abc", -5, "abc"));
}

}  // namespace
