// summary.h: the line each direction reports at the end of a run and on request.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "line/line_config.h"
#include "settings/port_names.h"

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
};

/// At the end of a run, a direction whose output has taken none of the bytes waiting for it
/// for this long is held, by flow control or a far end that does not read: the run fails.
inline constexpr int held_milliseconds = 2000;

/// What the end found at a direction's output port.
struct OutputAtEnd {
  std::uint64_t discarded = 0;  ///< What the driver still held to send, thrown away.
  /// Whether the UART's transmitter stood empty when that was thrown away; empty for no UART.
  std::optional<bool> transmitter_empty{};
  /// The transmitter still held characters once they had had time to leave at the line's rate:
  /// flow control in the UART itself (CTS) holds them, where no queue count sees them.
  bool transmitter_stalled = false;
};

/// One summary line, NUL-terminated, without its newline.
using SummaryLine = std::array<char, 400>;

// summary.cpp
/// True when a read, a write or the line failed.
bool has_errors(const DirectionTotals& totals);
/// True when the direction's output was held at the end: its UART's transmitter stood still
/// with bytes queued for it, or with bytes in it; where the port is no UART, bytes waited for
/// its output and it took none of them for the last waited_ms (the relay waited that long).
bool held_at_end(const DirectionTotals& totals, const OutputAtEnd& output, std::int64_t waited_ms);
/// "FROM -> TO: B bytes, R read errors, W write errors"; then, where the driver counts them,
/// ", F frame errors, O overruns, P parity errors, K breaks, U buffer overruns"; then, where
/// bytes were not delivered, ", N bytes not delivered".
SummaryLine summary_line(const PortPath& from, const PortPath& to, const DirectionTotals& totals);
/// "progress S s: " and the summary line, then ", R bytes/s": S seconds into the run, R the
/// bytes delivered per second over the last interval.
SummaryLine progress_line(std::int64_t seconds, const PortPath& from, const PortPath& to,
                          const DirectionTotals& totals, std::uint64_t rate);

}  // namespace looptest
