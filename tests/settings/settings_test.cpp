#include "settings/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "capture.h"

namespace looptest {
namespace {

std::string report_of(const LineSettings& settings) {
  return captured([&](std::FILE* out) { print_settings_report(out, settings); });
}

TEST(SettingsReport, DefaultsAreRtsCts115200EightNoneOne) {
  EXPECT_EQ(report_of(LineSettings{}),
            "Installed values\n"
            "Baudrate = 115200\n"
            "Databits = 8\n"
            "Stopbits = 1\n"
            "Parity = none\n"
            "Flowcontrol = hardware\n");
}

TEST(SettingsReport, ShowsNumbersAsStoredEvenWhereTheLineCannotHonourThem) {
  const LineSettings settings{100, Parity::mark, 9, FlowControl::software, 3, {}};
  EXPECT_EQ(report_of(settings),
            "Installed values\n"
            "Baudrate = 100\n"
            "Databits = 9\n"
            "Stopbits = 3\n"
            "Parity = mark\n"
            "Flowcontrol = software\n");
}

TEST(SettingsReport, ShowsTheDurationAndTheIntervalOnlyWhenGiven) {
  LineSettings settings;
  settings.duration = 60;
  EXPECT_TRUE(report_of(settings).ends_with("Flowcontrol = hardware\nDuration = 60\n"));
  settings.duration = -1;
  EXPECT_TRUE(report_of(settings).ends_with("Duration = -1\n"));
  settings.interval = 10;
  EXPECT_TRUE(report_of(settings).ends_with("Duration = -1\nInterval = 10\n"));
  settings.duration.reset();
  EXPECT_TRUE(report_of(settings).ends_with("Flowcontrol = hardware\nInterval = 10\n"));
}

TEST(SettingsReport, ShowsTheCheckOnlyWhenItIsOn) {
  LineSettings settings;
  const std::string off = report_of(settings);
  EXPECT_EQ(off.find("Check"), std::string::npos) << off;
  settings.check = Check::on;
  EXPECT_TRUE(report_of(settings).ends_with("Flowcontrol = hardware\nCheck = on\n"));
  settings.check = Check::internal;
  settings.duration = 5;
  EXPECT_TRUE(report_of(settings).ends_with("Duration = 5\nCheck = internal\n"));
}

TEST(SettingsReport, ShowsRs485OnlyWhenGivenAndTheDuplexOnlyWhenHalf) {
  LineSettings settings;
  settings.duplex = Duplex::full;
  settings.rtsonsend = RtsLevel::low;
  EXPECT_EQ(report_of(settings), report_of(LineSettings{})) << "nothing for a run without them";
  settings.rs485 = false;
  settings.delaybefore = 3;
  settings.delayafter = -1;
  EXPECT_TRUE(report_of(settings).ends_with(
      "Flowcontrol = hardware\nRs485 = off\nRtsonsend = low\nDelaybefore = 3\nDelayafter = -1\n"
      "Rxduringtx = off\n"));
  settings.rs485 = true;
  settings.rxduringtx = true;
  settings.duplex = Duplex::half;
  EXPECT_TRUE(
      report_of(settings).ends_with("Rs485 = on\nRtsonsend = low\nDelaybefore = 3\n"
                                    "Delayafter = -1\nRxduringtx = on\nDuplex = half\n"));
  EXPECT_TRUE(half_duplex(settings));
  settings.duplex = Duplex::full;
  EXPECT_TRUE(half_duplex(settings)) << "rs485=on implies it";
  EXPECT_EQ(report_of(settings).find("Duplex"), std::string::npos);
}

TEST(SettingsReport, ValuesOutOfRangeReadAsNone) {
  const LineSettings settings{9600, static_cast<Parity>(0), 8, static_cast<FlowControl>(7), 1, {},
                              {}};
  const std::string report = report_of(settings);
  EXPECT_NE(report.find("Parity = none\n"), std::string::npos);
  EXPECT_NE(report.find("Flowcontrol = none\n"), std::string::npos);
}

// Said once, after the report: a rate of 0 or less runs at 9600, and no report of it may
// stand alone.
TEST(RateNote, OnlyANumberThatIsNoRateIsNamed) {
  const std::pair<std::int32_t, std::string> cases[] = {
      {0, "Baudrate 0 is no rate: the ports run at 9600\n"},
      {-5, "Baudrate -5 is no rate: the ports run at 9600\n"},
      {1, ""},
      {250000, ""},
  };
  for (const auto& [baudrate, note] : cases) {
    const LineSettings settings{.baudrate = baudrate};
    EXPECT_EQ(captured([&](std::FILE* out) { print_rate_note(out, settings); }), note);
  }
}

}  // namespace
}  // namespace looptest
