// summary.h: the line each direction reports at the end of a run and on request.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "line/line_config.h"
#include "settings/port_names.h"

namespace looptest {

/// What one direction relayed and what failed on the way.
struct DirectionTotals {
  std::uint64_t bytes = 0;
  std::uint64_t read_errors = 0;
  std::uint64_t write_errors = 0;
  /// The input port's own counters since it was configured; empty where its driver keeps none.
  std::optional<LineErrors> line_errors;
};

// summary.cpp
/// True when anything at all went wrong.
bool has_errors(const DirectionTotals& totals);
/// Writes, as one line in one write,
/// "FROM -> TO: B bytes, R read errors, W write errors" and, where the driver counts them,
/// ", F frame errors, O overruns, P parity errors, K breaks, U buffer overruns".
void write_summary(std::FILE* out, const PortPath& from, const PortPath& to,
                   const DirectionTotals& totals);

}  // namespace looptest
