#include "line/speed_table.h"

#include <gtest/gtest.h>

namespace looptest {
namespace {

TEST(SpeedTable, RatesAndCodesLookEachOtherUp) {
  EXPECT_EQ(speed_code_of_rate(9600), 13);
  EXPECT_EQ(speed_code_of_rate(57600), 0x1001);
  EXPECT_EQ(speed_code_of_rate(460800), 0x1004);
  EXPECT_EQ(speed_code_of_rate(0), 0);
  EXPECT_EQ(rate_of_speed_code(0x1002), 115200);
  for (const SpeedEntry& entry : speed_table) {
    EXPECT_EQ(speed_code_of_rate(entry.rate), entry.code);
    EXPECT_EQ(rate_of_speed_code(entry.code), entry.rate);
  }
}

TEST(SpeedTable, RatesItLacksHaveNoCode) {
  for (const std::int32_t rate : {100, -1, 921600, 500000, 2147483647}) {
    EXPECT_EQ(speed_code_of_rate(rate), -1) << rate;
  }
  EXPECT_EQ(rate_of_speed_code(16), 0);
  EXPECT_EQ(rate_of_speed_code(-1), 0);
}

}  // namespace
}  // namespace looptest
