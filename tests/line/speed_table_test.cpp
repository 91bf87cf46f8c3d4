#include "line/speed_table.h"

#include <gtest/gtest.h>

namespace looptest {
namespace {

TEST(SpeedTable, RatesAndCodesLookEachOtherUp) {
  EXPECT_EQ(speed_code_of_rate(9600), 13);
  EXPECT_EQ(speed_code_of_rate(57600), 0x1001);
  EXPECT_EQ(speed_code_of_rate(460800), 0x1004);
  EXPECT_EQ(speed_code_of_rate(921600), 0x1007);
  EXPECT_EQ(speed_code_of_rate(4000000), 0x100f);
  EXPECT_EQ(speed_code_of_rate(0), 0);
  EXPECT_EQ(rate_of_speed_code(0x1002), 115200);
  for (const SpeedEntry& entry : speed_table) {
    EXPECT_EQ(speed_code_of_rate(entry.rate), entry.code);
    EXPECT_EQ(rate_of_speed_code(entry.code), entry.rate);
  }
}

TEST(SpeedTable, RatesItLacksHaveNoCode) {
  for (const std::int32_t rate : {100, -1, 31250, 250000, 4000001, 2147483647}) {
    EXPECT_EQ(speed_code_of_rate(rate), -1) << rate;
  }
  EXPECT_EQ(rate_of_speed_code(16), 0);
  EXPECT_EQ(rate_of_speed_code(other_rate_code), 0);
  EXPECT_EQ(rate_of_speed_code(-1), 0);
}

}  // namespace
}  // namespace looptest
