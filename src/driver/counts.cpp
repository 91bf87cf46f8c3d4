#include "driver/counts.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

#include "system/clock.h"

namespace looptest {

SharedCounts* map_shared_counts() {
  void* memory = mmap(nullptr, sizeof(SharedCounts), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  return new (memory) SharedCounts{};
}

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
  return since == 0 ? 0 : (nanoseconds_of(monotonic_now()) - since) / 1'000'000;
}

}  // namespace looptest
