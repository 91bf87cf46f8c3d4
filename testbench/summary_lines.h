// summary_lines.h: the summary and progress lines a run prints, read back into numbers. The
// one reader of that format for the tests and the benchmark: a line that starts as one but
// does not read as one is no summary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testbench {

/// "[progress S s: ]FROM -> TO: B bytes, R read errors, W write errors[, ...]".
struct Summary {
  std::optional<std::int64_t> progress_seconds;  ///< Set for a progress line.
  std::string from;
  std::string to;
  std::uint64_t bytes = 0;
  std::uint64_t read_errors = 0;
  std::uint64_t write_errors = 0;
  /// Frame errors, overruns, parity errors, breaks, buffer overruns, where the port counts them.
  std::optional<std::vector<std::uint64_t>> line_errors;
  std::uint64_t not_delivered = 0;
  /// Bytes checked, wrong, lost and extra, with the test stream.
  std::optional<std::vector<std::uint64_t>> check;
  std::optional<std::uint64_t> rate;  ///< Bytes per second, on a progress line.
};

/// The line (without its newline) read as a summary or progress line; empty when it is none.
std::optional<Summary> read_summary(std::string_view line);
/// Every summary and progress line of output, in order.
std::vector<Summary> summaries_in(const std::string& output);
/// The last summary line (not progress) of output for from -> to; empty when there is none.
std::optional<Summary> summary_of(const std::string& output, std::string_view from,
                                  std::string_view to);

}  // namespace testbench
