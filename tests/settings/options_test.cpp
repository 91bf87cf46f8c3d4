#include "settings/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture.h"

namespace looptest {
namespace {

TEST(SplitOption, SplitsLikeStrtok) {
  struct Case {
    std::string_view argument;
    std::optional<std::pair<std::string_view, std::string_view>> parts;
  };
  const Case cases[] = {
      {"baudrate=9600", {{"baudrate", "9600"}}},
      {"baudrate= 9600", {{"baudrate", " 9600"}}},
      {"key==v", {{"key", "=v"}}},
      {"==parity=odd", {{"parity", "odd"}}},
      {"\nparity\n\neven\nodd", {{"parity", "even"}}},
      {"stopbits", std::nullopt},
      {"stopbits=", std::nullopt},
      {"stopbits=\n\n", std::nullopt},
      {"=9600", std::nullopt},
      {"=", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<Option> option = split_option(c.argument);
    ASSERT_EQ(option.has_value(), c.parts.has_value()) << '"' << c.argument << '"';
    if (!option) continue;
    EXPECT_EQ(option->key, c.parts->first);
    EXPECT_EQ(option->value, c.parts->second);
  }
}

struct Reading {
  LineSettings settings;
  std::string messages;
};

Reading read_all(std::initializer_list<std::string_view> texts) {
  std::vector<std::string> arguments(texts.begin(), texts.end());
  std::vector<char*> pointers;
  pointers.reserve(arguments.size());
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  Reading reading;
  reading.messages =
      captured([&](std::FILE* out) { read_options(reading.settings, pointers, out); });
  return reading;
}

TEST(ReadOptions, NumbersTakeEffectOnlyWhenWholeAndIn32Bits) {
  const std::pair<std::string, std::int32_t> cases[] = {
      {"baudrate=9600", 9600},
      {"baudrate= 9600", 9600},
      {"baudrate=-5", -5},
      {"baudrate=+300", 300},
      {"baudrate=9600 ", 115200},
      {"baudrate=9600x", 115200},
      {"baudrate=0x10", 115200},
      {"baudrate=4294967296", 115200},
      {"baudrate=2147483648", 115200},
      {"baudrate=-2147483649", 115200},
      {"baudrate=2147483647", 2147483647},
  };
  for (const auto& [argument, rate] : cases) {
    const Reading reading = read_all({argument});
    EXPECT_EQ(reading.settings.baudrate, rate) << argument;
    EXPECT_EQ(reading.messages, "") << argument;
  }
  const Reading reading = read_all({"databits=9", "stopbits=3", "databits=7x"});
  EXPECT_EQ(reading.settings.databits, 9);
  EXPECT_EQ(reading.settings.stopbits, 3);
  EXPECT_EQ(reading.settings.duration, std::nullopt) << "only given, a duration is set";
  EXPECT_EQ(read_all({"duration=10x"}).settings.duration, std::nullopt);
  EXPECT_EQ(read_all({"duration=10", "duration= 20", "duration=30 "}).settings.duration, 20);
  EXPECT_EQ(reading.settings.interval, std::nullopt) << "only given, an interval is set";
  EXPECT_EQ(read_all({"interval=5", "interval=6s"}).settings.interval, 5);
}

TEST(ReadOptions, WordsThatAreNotKeywordsMeanNone) {
  Reading reading = read_all({"parity=odd", "parity=EVEN", "flowcontrol=xon"});
  EXPECT_EQ(reading.settings.parity, Parity::none);
  EXPECT_EQ(reading.settings.flowcontrol, FlowControl::none);

  reading = read_all({"parity=space", "flowcontrol=none", "flowcontrol=hardware"});
  EXPECT_EQ(reading.settings.parity, Parity::space);
  EXPECT_EQ(reading.settings.flowcontrol, FlowControl::hardware);
  EXPECT_EQ(read_all({"parity=mark"}).settings.parity, Parity::mark);
  EXPECT_EQ(read_all({"flowcontrol=software"}).settings.flowcontrol, FlowControl::software);

  EXPECT_EQ(read_all({"check=on"}).settings.check, Check::on);
  EXPECT_EQ(read_all({"check=internal"}).settings.check, Check::internal);
  EXPECT_EQ(read_all({"check=on", "check=off"}).settings.check, Check::off);
  EXPECT_EQ(read_all({"check=on", "check=ON"}).settings.check, Check::off);
  EXPECT_EQ(read_all({}).settings.check, Check::off);
}

TEST(ReadOptions, Rs485AndDuplex) {
  EXPECT_EQ(read_all({}).settings.rs485, std::nullopt) << "absent, the mode is left alone";
  EXPECT_EQ(read_all({}).settings.duplex, Duplex::full);
  Reading reading = read_all({"rs485=on", "rtsonsend=low", "delaybefore=5", "delayafter=7",
                              "rxduringtx=on", "duplex=half"});
  EXPECT_EQ(reading.messages, "");
  EXPECT_EQ(reading.settings.rs485, true);
  EXPECT_EQ(reading.settings.rtsonsend, RtsLevel::low);
  EXPECT_EQ(reading.settings.delaybefore, 5);
  EXPECT_EQ(reading.settings.delayafter, 7);
  EXPECT_TRUE(reading.settings.rxduringtx);
  EXPECT_EQ(reading.settings.duplex, Duplex::half);
  // Words as for the others: any other word is the first (off, high, full).
  reading = read_all({"rs485=ON", "rtsonsend=LOW", "delaybefore=5ms", "rxduringtx=yes",
                      "duplex=half", "duplex=Half"});
  EXPECT_EQ(reading.settings.rs485, false);
  EXPECT_EQ(reading.settings.rtsonsend, RtsLevel::high);
  EXPECT_EQ(reading.settings.delaybefore, 0);
  EXPECT_FALSE(reading.settings.rxduringtx);
  EXPECT_EQ(reading.settings.duplex, Duplex::full);
}

TEST(ReadOptions, MalformedArgumentsSaySyntaxBadAndTheRestStillApply) {
  const Reading reading =
      read_all({"stopbits", "stopbits=", "=9600", "speed=9600", "Baudrate=300", "stopbits=2"});
  EXPECT_EQ(reading.messages, "syntax bad\nsyntax bad\nsyntax bad\n");
  LineSettings expected;
  expected.stopbits = 2;
  EXPECT_EQ(reading.settings.baudrate, expected.baudrate);
  EXPECT_EQ(reading.settings.stopbits, 2);
}

}  // namespace
}  // namespace looptest
