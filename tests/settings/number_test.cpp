#include "settings/number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace looptest {
namespace {

constexpr std::int32_t max32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t min32 = std::numeric_limits<std::int32_t>::min();

TEST(LeadingNumber, ReadsLikeAtoiButSaturates) {
  struct Case {
    std::string_view text;
    std::int32_t value;
    std::size_t end;
    bool in_range;
  };
  const Case cases[] = {
      {"42", 42, 2, true},
      {" \t\n-12x", -12, 6, true},
      {"+7", 7, 2, true},
      {"007", 7, 3, true},
      {"", 0, 0, true},
      {"-", 0, 0, true},
      {"  ", 0, 0, true},
      {"x5", 0, 0, true},
      {"- 5", 0, 0, true},
      {"2147483647", max32, 10, true},
      {"2147483648", max32, 10, false},
      {"-2147483648", min32, 11, true},
      {"-2147483649", min32, 11, false},
      {"4294967296", max32, 10, false},
      {"123456789012345678901234567890 ", max32, 30, false},
  };
  for (const Case& c : cases) {
    const LeadingNumber number = parse_leading_number(c.text);
    EXPECT_EQ(number.value, c.value) << '"' << c.text << '"';
    EXPECT_EQ(number.end, c.end) << '"' << c.text << '"';
    EXPECT_EQ(number.in_range, c.in_range) << '"' << c.text << '"';
  }
}

TEST(WholeNumber, TakesOnlyAWholeNumberInRange) {
  std::int32_t value = 99;
  EXPECT_TRUE(parse_whole_number(" -5", value));
  EXPECT_EQ(value, -5);
  EXPECT_TRUE(parse_whole_number("-2147483648", value));
  EXPECT_EQ(value, min32);
  for (const std::string_view rejected : {"9600 ", "9600x", "", " ", "+", "2147483648", "0x10"}) {
    value = 99;
    EXPECT_FALSE(parse_whole_number(rejected, value)) << '"' << rejected << '"';
    EXPECT_EQ(value, 99);
  }
}

}  // namespace
}  // namespace looptest
