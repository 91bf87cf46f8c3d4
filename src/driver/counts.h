// counts.h: what the two directions counted: the page both relay processes share, and the
// totals read from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "check/checker.h"
#include "driver/ports.h"
#include "driver/relay.h"
#include "line/uart_status.h"

namespace looptest {

/// The page both relay processes share. The first process writes forward and the second
/// backward; both write dropped_lines; the first reads all of it to report.
struct SharedCounts {
  DirectionCounts forward;   ///< Port 1 to port 2, relayed by the first process.
  DirectionCounts backward;  ///< Port 2 to port 1, relayed by the second.
  std::atomic<std::uint64_t> dropped_lines{0};
};

/// What one direction relayed and what failed on the way.
struct DirectionTotals {
  std::uint64_t bytes = 0;  ///< Delivered: written out of the other port, and not thrown away.
  std::uint64_t read_errors = 0;
  std::uint64_t write_errors = 0;
  /// The input port's own counters since it was configured; empty where its driver keeps none.
  std::optional<LineErrors> line_errors;
  /// At the end of a run: bytes read and never delivered, held by the relay or thrown away
  /// from the output port's driver.
  std::uint64_t undelivered = 0;
  /// With the test stream: what the direction's checker counted.
  std::optional<CheckCounts> check{};
};

// counts.cpp
/// A zeroed page that a forked process shares; nullptr when there is no memory for it.
SharedCounts* map_shared_counts();
/// The direction's counts as they are, with the line errors of its input port, and the
/// checker's counts when it checks.
DirectionTotals totals_so_far(const DirectionCounts& counts, const Port& input, bool checking);
/// The totals at the end of a run: bytes that the output port's driver threw away (discarded)
/// were written, yet never delivered.
DirectionTotals totals_at_end(const DirectionCounts& counts, const Port& input, bool checking,
                              std::uint64_t discarded);
/// How long the direction's relay has waited for room at its output; 0 when it does not wait.
std::int64_t waited_milliseconds(const DirectionCounts& counts);

}  // namespace looptest
