#include "driver/summary.h"

#include <gtest/gtest.h>

#include <limits>

#include "capture.h"

namespace looptest {
namespace {

std::string summary_of(const DirectionTotals& totals) {
  const PortPath from = make_port_path("/dev/tep/a4");
  const PortPath to = make_port_path("/dev/tep/a5");
  return captured([&](std::FILE* out) { write_summary(out, from, to, totals); });
}

TEST(Summary, OneLineWithTheLineCountersOnlyWhereTheDriverKeepsThem) {
  DirectionTotals totals{1048576, 0, 0, std::nullopt};
  EXPECT_EQ(summary_of(totals),
            "/dev/tep/a4 -> /dev/tep/a5: 1048576 bytes, 0 read errors, 0 write errors\n");
  EXPECT_FALSE(has_errors(totals));

  totals.line_errors = LineErrors{};
  EXPECT_EQ(summary_of(totals),
            "/dev/tep/a4 -> /dev/tep/a5: 1048576 bytes, 0 read errors, 0 write errors, "
            "0 frame errors, 0 overruns, 0 parity errors, 0 breaks, 0 buffer overruns\n");
  EXPECT_FALSE(has_errors(totals));
}

TEST(Summary, TheLongestNumbersFitWhole) {
  constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint32_t most_line = std::numeric_limits<std::uint32_t>::max();
  const PortPath longest = make_port_path("/dev/tep/a-2147483648");
  const DirectionTotals totals{most, most, most,
                               LineErrors{most_line, most_line, most_line, most_line, most_line}};
  const std::string line =
      captured([&](std::FILE* out) { write_summary(out, longest, longest, totals); });
  EXPECT_TRUE(line.ends_with(", 4294967295 buffer overruns\n")) << line;
}

TEST(Summary, AnyErrorOfAnyKindCounts) {
  EXPECT_TRUE(has_errors({0, 1, 0, std::nullopt}));
  EXPECT_TRUE(has_errors({0, 0, 1, std::nullopt}));
  for (std::uint32_t LineErrors::*counter :
       {&LineErrors::frame, &LineErrors::overrun, &LineErrors::parity, &LineErrors::breaks,
        &LineErrors::buffer_overrun}) {
    LineErrors errors;
    errors.*counter = 1;
    EXPECT_TRUE(has_errors({5, 0, 0, errors}));
  }
}

TEST(LineErrors, CountWhatWasGainedAcrossAWrap) {
  const LineErrors start{4294967295u, 7, 0, 1, 2};
  const LineErrors now{1, 7, 3, 1, 2};
  EXPECT_EQ(line_errors_since(start, now), (LineErrors{2, 0, 3, 0, 0}));
  EXPECT_EQ(total_line_errors(LineErrors{4294967295u, 4294967295u, 0, 0, 1}), 8589934591u);
}

}  // namespace
}  // namespace looptest
