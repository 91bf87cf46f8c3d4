// result_end_json.h: the result file's objects that carry counts: progress and the end.
// Pure, as result_json.h.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "driver/totals.h"
#include "driver/verdict.h"
#include "system/json_line.h"

namespace looptest {

/// One direction as the result tells it.
struct DirectionResult {
  std::string_view from;
  std::string_view to;
  DirectionTotals totals;
  int last_error = 0;  ///< The errno of its last failed read or write; 0 for none.
};

/// The end of a run as the result tells it.
struct EndResult {
  const EndFacts* facts = nullptr;
  Verdict verdict;
  DirectionResult forward;
  DirectionResult backward;
  /// The ERROR lines the result kept, as printed, and how many were printed in all.
  std::span<const std::string_view> error_lines;
  std::uint64_t error_count = 0;
  std::uint64_t dropped_lines = 0;  ///< Lines standard output did not take.
};

// result_end_json.cpp
/// "progress": the counts so far, relayed_ms into the run; cause is "interval" or "signal".
JsonLine progress_object(std::string_view cause, std::int64_t relayed_ms,
                         const DirectionResult& forward, const DirectionResult& backward);
/// "end": the verdict, the exit status, the reasons of a fail and each direction's counts.
JsonLine end_object(const EndResult& end);
/// The exit status the tool ends with: 128 + N for a run ended by signal N.
int exit_status_of(const Verdict& verdict);

}  // namespace looptest
