#include "driver/totals.h"

#include <algorithm>

#include "system/clock.h"

namespace looptest {

DirectionTotals totals_so_far(const DirectionCounts& counts, const Port& input, bool checking) {
  DirectionTotals totals{.bytes = counts.bytes.load(std::memory_order_relaxed),
                         .read_errors = counts.read_errors.load(std::memory_order_relaxed),
                         .write_errors = counts.write_errors.load(std::memory_order_relaxed),
                         .line_errors = std::nullopt};
  const std::optional<LineErrors> now = read_line_errors(input.fd);
  if (input.errors_at_start && now) {
    totals.line_errors = line_errors_since(*input.errors_at_start, *now);
  }
  if (checking) {
    totals.check = CheckCounts{.checked = counts.checked.load(std::memory_order_relaxed),
                               .wrong = counts.wrong.load(std::memory_order_relaxed),
                               .lost = counts.lost.load(std::memory_order_relaxed),
                               .extra = counts.extra.load(std::memory_order_relaxed)};
  }
  return totals;
}

DirectionTotals totals_at_end(const DirectionCounts& counts, const Port& input, bool checking,
                              std::uint64_t discarded) {
  DirectionTotals totals = totals_so_far(counts, input, checking);
  const std::uint64_t thrown_away = std::min(discarded, totals.bytes);
  totals.bytes -= thrown_away;
  totals.undelivered = counts.pending.load(std::memory_order_relaxed) + thrown_away;
  return totals;
}

std::int64_t waited_milliseconds(const DirectionCounts& counts) {
  const std::int64_t since = counts.waiting_since.load(std::memory_order_relaxed);
  return since == 0 ? 0 : milliseconds_since(since);
}

}  // namespace looptest
