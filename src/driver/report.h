// report.h: the lines a run prints of what the directions did: the summary at the end and on
// request, the progress lines, and the end's verdict lines. Formatting is apart from printing,
// so that the text is tested without a run.
#pragma once

#include <time.h>

#include <array>
#include <cstdint>

#include "driver/drain.h"
#include "driver/ports.h"
#include "driver/totals.h"
#include "driver/verdict.h"
#include "settings/port_names.h"
#include "system/text_line.h"

namespace looptest {

/// One summary line, NUL-terminated, without its newline.
using SummaryLine = TextLine;

/// Where progress was last reported.
struct ProgressMark {
  timespec at{};
  std::uint64_t forward = 0;  ///< Bytes port 1 to port 2 had delivered then.
  std::uint64_t backward = 0;
};

// report.cpp
/// "FROM -> TO: B bytes, R read errors, W write errors"; then, where the driver counts them,
/// ", F frame errors, O overruns, P parity errors, K breaks, U buffer overruns"; then, where
/// bytes were not delivered, ", N bytes not delivered"; then, with the test stream,
/// ", C bytes checked, W wrong, L lost, E extra".
SummaryLine summary_line(const PortPath& from, const PortPath& to, const DirectionTotals& totals);
/// "progress S s: " and the summary line, then ", R bytes/s": S seconds into the run, R the
/// bytes delivered per second over the last interval.
SummaryLine progress_line(std::int64_t seconds, const PortPath& from, const PortPath& to,
                          const DirectionTotals& totals, std::uint64_t rate);

/// "FROM -> TO: R bytes/s checked, P % of the line's C characters/s": the bytes the direction
/// checked a second over relayed_ms, and their share of what the line carries at most.
SummaryLine checked_rate_line(const PortPath& from, const PortPath& to, std::uint64_t checked,
                              std::int64_t relayed_ms, std::int32_t characters_per_second);
/// Prints the summary line of each direction, port 1's first.
void print_summaries(const Ports& ports, const DirectionTotals& forward,
                     const DirectionTotals& backward);
/// Prints the progress line of each direction since mark, which then moves to now; started is
/// when the relays started.
void print_progress(ProgressMark& mark, timespec started, const Ports& ports,
                    const DirectionTotals& forward, const DirectionTotals& backward);
/// How long the end's lines wait in all for an output that takes nothing, unless a further
/// stop cuts the wait short.
inline constexpr int end_lines_milliseconds = 5000;

/// Prints the end of a run: what failed, the lines of output that were dropped, with the test
/// stream each direction's checked rate, then the summaries. Unlike the lines printed while
/// relaying, these wait for the output, up to end_lines_milliseconds in all, or until a stop
/// hurries the end. second_reason says why a second relay never started (": fork: ...").
/// False when they could not all be written: no one can read the verdict.
bool print_end(const Ports& ports, const EndFacts& facts, const Verdict& verdict,
               std::uint64_t dropped_lines, const char* second_reason, EndWaits& end);

}  // namespace looptest
