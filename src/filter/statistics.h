// The figures of the statistics line (-S).
//
// Counted on the per-message path with relaxed atomic increments only (no
// lock): every finished message (by verdict and by action), every SPF query
// (its DNS lookups, cache hits and failed lookups, the slowest). The
// daemon's timer takes the figures, which starts the next interval: each
// line covers the time since the previous one, so lines can be summed.
// Figures counted while a line is being taken may land in either line; none
// is lost or counted twice.

#ifndef HERONSEND_FILTER_STATISTICS_H_
#define HERONSEND_FILTER_STATISTICS_H_

#include "common/safe_text.h"
#include "filter/verdict_log.h"
#include "spf/lib.h"

// A finished message: its result index (-1: no verdict) and its action.
void count_message(int result_index, message_action action) noexcept;

// One SPF query and its cost.
void count_query(const check_cost &cost) noexcept;

// Writes the statistics line of the figures since the last one into *out
// and starts counting afresh:
//
//   statistics: messages=N checks=N pass=N fail=N softfail=N neutral=N
//   none=N temperror=N permerror=N invalid=N no_verdict=N accepted=N
//   marked=N refused=N deferred=N aborted=N lookups=N cache_hits=N
//   lookups_failed=N slowest_ms=N
//
// (one line; the action keys are message_action_words, in their order).
void take_statistics(kv_line *out) noexcept;

#endif  // HERONSEND_FILTER_STATISTICS_H_
