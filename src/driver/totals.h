// totals.h: what a direction relayed and what failed on the way, read from the shared page
// and from the input port's driver.
#pragma once

#include <cstdint>
#include <optional>

#include "check/checker.h"
#include "driver/counts.h"
#include "driver/ports.h"
#include "line/uart_status.h"

namespace looptest {

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

// totals.cpp
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
