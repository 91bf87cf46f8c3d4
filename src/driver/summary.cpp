#include "driver/summary.h"

#include <algorithm>
#include <cstdio>

namespace looptest {

bool held_at_end(const DirectionTotals& totals, const OutputAtEnd& output, std::int64_t waited_ms) {
  if (output.transmitter_stalled) return true;
  if (totals.undelivered == 0) return false;
  // At a low rate a UART's queue drains for many seconds between writes, which is no hold.
  if (output.transmitter_empty) return *output.transmitter_empty && output.discarded > 0;
  return waited_ms >= held_milliseconds;
}

namespace {

// snprintf stops at the end of the line and says what it wanted: the text never runs past it.
std::size_t extended(std::size_t length, int wanted, const SummaryLine& line) {
  return wanted > 0 ? std::min(line.size() - 1, length + static_cast<std::size_t>(wanted)) : length;
}

}  // namespace

bool has_errors(const DirectionTotals& totals) {
  return totals.read_errors != 0 || totals.write_errors != 0 ||
         (totals.line_errors && total_line_errors(*totals.line_errors) != 0);
}

namespace {

// Appends the summary to what line holds up to length; returns the new length.
std::size_t append_summary(SummaryLine& line, std::size_t length, const PortPath& from,
                           const PortPath& to, const DirectionTotals& totals) {
  length =
      extended(length,
               std::snprintf(line.data() + length, line.size() - length,
                             "%s -> %s: %llu bytes, %llu read errors, %llu write errors",
                             from.data(), to.data(), static_cast<unsigned long long>(totals.bytes),
                             static_cast<unsigned long long>(totals.read_errors),
                             static_cast<unsigned long long>(totals.write_errors)),
               line);
  if (const std::optional<LineErrors>& errors = totals.line_errors) {
    length = extended(length,
                      std::snprintf(line.data() + length, line.size() - length,
                                    ", %u frame errors, %u overruns, %u parity errors, %u breaks, "
                                    "%u buffer overruns",
                                    errors->frame, errors->overrun, errors->parity, errors->breaks,
                                    errors->buffer_overrun),
                      line);
  }
  if (totals.undelivered != 0) {
    length = extended(
        length,
        std::snprintf(line.data() + length, line.size() - length, ", %llu bytes not delivered",
                      static_cast<unsigned long long>(totals.undelivered)),
        line);
  }
  return length;
}

}  // namespace

SummaryLine summary_line(const PortPath& from, const PortPath& to, const DirectionTotals& totals) {
  SummaryLine line{};
  append_summary(line, 0, from, to, totals);
  return line;
}

SummaryLine progress_line(std::int64_t seconds, const PortPath& from, const PortPath& to,
                          const DirectionTotals& totals, std::uint64_t rate) {
  SummaryLine line{};
  std::size_t length = extended(
      0,
      std::snprintf(line.data(), line.size(), "progress %lld s: ", static_cast<long long>(seconds)),
      line);
  length = append_summary(line, length, from, to, totals);
  std::snprintf(line.data() + length, line.size() - length, ", %llu bytes/s",
                static_cast<unsigned long long>(rate));
  return line;
}

}  // namespace looptest
