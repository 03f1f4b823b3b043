#include "filter/statistics.h"

#include <atomic>
#include <cstdint>

#include "filter/result.h"

namespace {

using counter = std::atomic<std::uint64_t>;

struct figures {
  counter messages{0};
  counter checks{0};
  counter by_result[RESULT_COUNT] = {};
  counter no_verdict{0};
  counter by_action[MESSAGE_ACTION_COUNT] = {};
  counter lookups{0};
  counter cache_hits{0};
  counter lookups_failed{0};
  counter slowest_micros{0};
};

figures now;

void add(counter &c, std::uint64_t n) {
  if (n != 0) c.fetch_add(n, std::memory_order_relaxed);
}

std::uint64_t take(counter &c) {
  return c.exchange(0, std::memory_order_relaxed);
}

// The verdicts the line shows, in its order: the ones the library gives
// ("unknown" and "unknown-mechanisms" never come from it).
const int kShownResults[] = {0, 1, 2, 3, 9, 7, 8, 6};

}  // namespace

void count_message(int result_index, message_action action) noexcept {
  add(now.messages, 1);
  if (result_index >= 0 && result_index < RESULT_COUNT)
    add(now.by_result[result_index], 1);
  else
    add(now.no_verdict, 1);
  int a = static_cast<int>(action);
  if (a >= 0 && a < MESSAGE_ACTION_COUNT) add(now.by_action[a], 1);
}

void count_query(const check_cost &cost) noexcept {
  if (cost.queries == 0) return;
  add(now.checks, 1);
  add(now.lookups, cost.lookups);
  add(now.cache_hits, cost.hits);
  add(now.lookups_failed, cost.failed);
  std::uint64_t micros = cost.micros > 0 ? static_cast<std::uint64_t>(cost.micros) : 0;
  std::uint64_t slowest = now.slowest_micros.load(std::memory_order_relaxed);
  while (micros > slowest &&
         !now.slowest_micros.compare_exchange_weak(slowest, micros,
                                                   std::memory_order_relaxed)) {
  }
}

void take_statistics(kv_line *out) noexcept {
  auto field = [out](const char *key, std::uint64_t value) {
    out->add(" ");
    out->add(key);
    out->add("=");
    out->add_number(value);
  };
  out->add("statistics:");
  field("messages", take(now.messages));
  field("checks", take(now.checks));
  for (int i : kShownResults) field(result_names[i], take(now.by_result[i]));
  // Never given by the library; taken so that none would carry over.
  take(now.by_result[4]);
  take(now.by_result[5]);
  field("no_verdict", take(now.no_verdict));
  for (int a = 0; a < MESSAGE_ACTION_COUNT; a++)
    field(message_action_words[a], take(now.by_action[a]));
  field("lookups", take(now.lookups));
  field("cache_hits", take(now.cache_hits));
  field("lookups_failed", take(now.lookups_failed));
  field("slowest_ms", take(now.slowest_micros) / 1000);
}
