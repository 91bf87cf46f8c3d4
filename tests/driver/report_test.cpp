#include "driver/report.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "driver/messages.h"
#include "summary_lines.h"

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
      most, most,
      most, LineErrors{most_line, most_line, most_line, most_line, most_line},
      most, CheckCounts{most, most, most, most}};
  const std::string line = summary_line(longest, longest, totals).data();
  EXPECT_TRUE(
      line.ends_with(", 18446744073709551615 bytes not delivered, 18446744073709551615 "
                     "bytes checked, 18446744073709551615 wrong, 18446744073709551615 "
                     "lost, 18446744073709551615 extra"))
      << line;
  const std::string progress =
      progress_line(std::numeric_limits<std::int64_t>::max(), longest, longest, totals, most)
          .data();
  EXPECT_TRUE(progress.starts_with("progress 9223372036854775807 s: /dev/tep/a-2147483648 -> "))
      << progress;
  EXPECT_TRUE(progress.ends_with(" 18446744073709551615 extra, 18446744073709551615 bytes/s"))
      << progress;
  EXPECT_LT(progress.size(), text_line_size - 1) << "with its newline it must print whole";
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

TEST(Summary, TheCheckedRateIsItsShareOfWhatTheLineCarries) {
  const std::string line = checked_rate_line(make_port_path("/dev/tep/a4"),
                                             make_port_path("/dev/tep/a5"), 110000, 10000, 11520)
                               .data();
  EXPECT_EQ(line,
            "/dev/tep/a4 -> /dev/tep/a5: 11000 bytes/s checked, 95 % of the line's 11520 "
            "characters/s");
  const std::string idle =
      checked_rate_line(make_port_path("/dev/tep/a4"), make_port_path("/dev/tep/a5"), 0, 0, 0)
          .data();
  EXPECT_TRUE(idle.ends_with(": 0 bytes/s checked, 0 % of the line's 1 characters/s")) << idle;
}

// The tests read these lines back with the test bench's reader: it must read every line the
// tool writes, and agree on every number.
TEST(Summary, TheTestBenchReadsBackEveryLineAsWritten) {
  const PortPath a4 = make_port_path("/dev/tep/a4");
  const PortPath a5 = make_port_path("/dev/tep/a5");
  const DirectionTotals plain{
      .bytes = 7, .read_errors = 1, .write_errors = 2, .line_errors = std::nullopt};
  const DirectionTotals uart{
      .bytes = 8, .line_errors = LineErrors{1, 2, 3, 4, 5}, .undelivered = 9};
  const DirectionTotals checked{.bytes = 10,
                                .line_errors = std::nullopt,
                                .undelivered = 2,
                                .check = CheckCounts{100, 1, 2, 3}};
  for (const DirectionTotals& totals : {plain, uart, checked}) {
    const std::optional<testbench::Summary> read =
        testbench::read_summary(summary_line(a4, a5, totals).data());
    ASSERT_TRUE(read) << summary_line(a4, a5, totals).data();
    EXPECT_EQ(read->from, "/dev/tep/a4");
    EXPECT_EQ(read->to, "/dev/tep/a5");
    EXPECT_EQ(read->bytes, totals.bytes);
    EXPECT_EQ(read->read_errors, totals.read_errors);
    EXPECT_EQ(read->write_errors, totals.write_errors);
    EXPECT_EQ(read->not_delivered, totals.undelivered);
    EXPECT_EQ(read->line_errors.has_value(), totals.line_errors.has_value());
    EXPECT_EQ(read->check.has_value(), totals.check.has_value());
    if (totals.check) {
      EXPECT_EQ(*read->check, (std::vector<std::uint64_t>{100, 1, 2, 3}));
    }
    EXPECT_FALSE(read->progress_seconds);
    const std::optional<testbench::Summary> progress =
        testbench::read_summary(progress_line(12, a5, a4, totals, 345).data());
    ASSERT_TRUE(progress) << progress_line(12, a5, a4, totals, 345).data();
    EXPECT_EQ(progress->progress_seconds, 12);
    EXPECT_EQ(progress->rate, 345u);
    EXPECT_EQ(progress->bytes, totals.bytes);
  }
  EXPECT_EQ(testbench::read_summary(
                "ERROR /dev/tep/a4 -> /dev/tep/a5: 3 bytes, 0 read errors, 0 write errors"),
            std::nullopt)
      << "a name with a blank is no port";
  EXPECT_EQ(testbench::read_summary("/dev/tep/a4 -> /dev/tep/a5: 3 bytes, 1 oddity"), std::nullopt);
}

}  // namespace
}  // namespace looptest
