#include "driver/report.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace looptest {
namespace {

std::string summary_of(const DirectionTotals& totals) {
  return summary_line(make_port_path("/dev/tep/a4"), make_port_path("/dev/tep/a5"), totals).data();
}

TEST(Summary, LineCountersWhereTheDriverKeepsThemAndWhatWasNotDelivered) {
  DirectionTotals totals{.bytes = 1048576, .line_errors = std::nullopt};
  EXPECT_EQ(summary_of(totals),
            "/dev/tep/a4 -> /dev/tep/a5: 1048576 bytes, 0 read errors, 0 write errors");

  totals.line_errors = LineErrors{};
  EXPECT_EQ(summary_of(totals),
            "/dev/tep/a4 -> /dev/tep/a5: 1048576 bytes, 0 read errors, 0 write errors, "
            "0 frame errors, 0 overruns, 0 parity errors, 0 breaks, 0 buffer overruns");

  totals.undelivered = 4095;
  EXPECT_TRUE(summary_of(totals).ends_with(" 0 buffer overruns, 4095 bytes not delivered"));
}

TEST(Summary, TheLongestNumbersFitWhole) {
  constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint32_t most_line = std::numeric_limits<std::uint32_t>::max();
  const PortPath longest = make_port_path("/dev/tep/a-2147483648");
  const DirectionTotals totals{
      most, most, most, LineErrors{most_line, most_line, most_line, most_line, most_line}, most};
  const std::string line = summary_line(longest, longest, totals).data();
  EXPECT_TRUE(
      line.ends_with(", 4294967295 buffer overruns, 18446744073709551615 bytes not "
                     "delivered"))
      << line;
  const std::string progress = progress_line(std::numeric_limits<std::int64_t>::max(), longest,
                                             longest, {most, most, most, totals.line_errors}, most)
                                   .data();
  EXPECT_TRUE(progress.starts_with("progress 9223372036854775807 s: /dev/tep/a-2147483648 -> "))
      << progress;
  EXPECT_TRUE(progress.ends_with(" 4294967295 buffer overruns, 18446744073709551615 bytes/s"))
      << progress;
}

TEST(Summary, ProgressIsTheSummaryWithTheTimeAndTheRate) {
  const std::string progress =
      progress_line(30, make_port_path("/dev/tep/a4"), make_port_path("/dev/tep/a5"),
                    {.bytes = 345600, .read_errors = 1, .line_errors = std::nullopt}, 11520)
          .data();
  EXPECT_EQ(progress,
            "progress 30 s: /dev/tep/a4 -> /dev/tep/a5: 345600 bytes, 1 read errors, 0 write "
            "errors, 11520 bytes/s");
}

}  // namespace
}  // namespace looptest
