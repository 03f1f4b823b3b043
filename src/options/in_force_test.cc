#include "options/in_force.h"

#include <gtest/gtest.h>

namespace {

TEST(InForceTest, NamesTheOptionsThatChangeAnAnswer) {
  daemon_config all;
  all.mark_only = all.trusted_forwarders = all.auth_results = all.check_helo = 1;
  all.recipient_mx = 1;
  all.refuse_softfail = all.defer_temperror = all.refuse_helo_fail = 1;
  all.local_policy = "a:relay.example.org";
  all.explanation = "see 'our' page";
  all.allowlist_file = "/etc/heronsend/allowlist";
  all.guess = "";
  all.debug = 3;
  all.run_as_user = "heronsend";
  all.no_daemon = 1;
  all.socket_spec = "inet:8890@127.0.0.1";
  const struct {
    daemon_config cfg;
    const char *line;
  } kCases[] = {
      {daemon_config{}, "none"},
      {all,
       "-m -r -t -A -c -o softfail=refuse,temperror=defer,helofail=refuse "
       "-l a:relay.example.org -g '' -e \"see 'our' page\" "
       "-a /etc/heronsend/allowlist -d3"},
  };
  for (const auto &c : kCases) EXPECT_EQ(options_in_force(c.cfg), c.line);
}

}  // namespace
