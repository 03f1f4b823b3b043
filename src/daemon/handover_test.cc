#include "daemon/handover.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(HandoverTest, PassedDescriptorsAreReadOnlyWhenMeantForThisProcess) {
  struct {
    const char *pid, *fds, *names;
    bool valid;
    std::vector<std::string> expected;
  } cases[] = {
      {"4242", "1", "heronsend-0123", true, {"heronsend-0123"}},
      {"4242", "2", "a:b", true, {"a", "b"}},
      {"4242", "2", "a", true, {"a", ""}},               // fewer names than descriptors
      {"4242", "1", "a:b", true, {"a"}},                 // more names: the extra ignored
      {"4242", "1", nullptr, true, {""}},                // no names at all
      {"4242", "1", "", true, {""}},
      {"4242", "8", nullptr, true, std::vector<std::string>(8)},
      {"4243", "1", "a", false, {}},                     // another process's
      {nullptr, "1", "a", false, {}},
      {"4242", nullptr, "a", false, {}},
      {"4242", "0", "", false, {}},
      {"4242", "9", nullptr, false, {}},                 // more than the store could hold
      {"4242", "-1", "a", false, {}},
      {"4242", " 1", "a", false, {}},
      {"+4242", "1", "a", false, {}},
      {"4242x", "1", "a", false, {}},
      {"4242", "1x", "a", false, {}},
      {"", "1", "a", false, {}},
      {"99999999999999999999", "1", "a", false, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.pid ? c.pid : "(unset)") + " " + (c.fds ? c.fds : "(unset)") + " " +
                 (c.names ? c.names : "(unset)"));
    passed_descriptors passed = parse_passed_descriptors(c.pid, c.fds, c.names, 4242);
    EXPECT_EQ(passed.valid, c.valid);
    EXPECT_EQ(passed.names, c.expected);
  }
}

// The name must not change between releases (an upgrade would discard the
// kept socket instead of serving it), and systemd takes no ':' in it.
TEST(HandoverTest, StoredNameIsFixedPerSocketSetting) {
  EXPECT_EQ(stored_socket_name(""), "heronsend-cbf29ce484222325");
  EXPECT_EQ(stored_socket_name("a"), "heronsend-af63dc4c8601ec8c");
  std::string name = stored_socket_name("inet:8890@127.0.0.1");
  EXPECT_EQ(name, stored_socket_name("inet:8890@127.0.0.1"));
  EXPECT_NE(name, stored_socket_name("inet:8891@127.0.0.1"));
  EXPECT_EQ(name.find(':'), std::string::npos);
  EXPECT_EQ(name.size(), 26u);
}

}  // namespace
