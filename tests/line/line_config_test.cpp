#include "line/line_config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <limits>
#include <optional>
#include <utility>

#include "line/speed_table.h"
#include "process.h"
#include "pty_pair.h"

namespace looptest {
namespace {

constexpr tcflag_t always = CLOCAL | HUPCL | CREAD;
// The kernel's speed codes, written out: the C library's B constants may be the rates instead.
constexpr tcflag_t code_50 = 0x1;
constexpr tcflag_t code_9600 = 0xd;
constexpr tcflag_t code_115200 = 0x1002;
constexpr tcflag_t code_460800 = 0x1004;
constexpr tcflag_t code_921600 = 0x1007;
constexpr tcflag_t code_4000000 = 0x100f;
constexpr tcflag_t code_other = 0x1000;  // BOTHER: the rate is in the kernel's record
constexpr tcflag_t speed_bits = 0x100F;

LineSettings settings_with(std::int32_t databits, Parity parity, std::int32_t stopbits,
                           FlowControl flow) {
  LineSettings settings;
  settings.databits = databits;
  settings.parity = parity;
  settings.stopbits = stopbits;
  settings.flowcontrol = flow;
  return settings;
}

TEST(LineAttributes, DefaultsAreRawEightNoneOneWithRtsCts) {
  const termios t = line_attributes(LineSettings{}, 115200);
  EXPECT_EQ(t.c_iflag, tcflag_t{IGNBRK | IGNPAR});
  EXPECT_EQ(t.c_cflag, CRTSCTS | always | CS8 | code_115200);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);  // non-canonical, no echo, no signal characters
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);  // so a read returns at once with what has arrived
}

TEST(LineAttributes, SevenEvenTwoWithXonXoff) {
  const termios t = line_attributes(settings_with(7, Parity::even, 2, FlowControl::software), 9600);
  EXPECT_EQ(t.c_iflag, tcflag_t{IGNBRK | IGNPAR | IXON | IXOFF});
  EXPECT_EQ(t.c_cflag, always | CS7 | PARENB | CSTOPB | code_9600);
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
}

TEST(LineAttributes, EveryRateAbove0IsAskedAndNoRateRunsAt9600) {
  const std::pair<std::int32_t, tcflag_t> rates[] = {
      {50, code_50},           {460800, code_460800}, {921600, code_921600},
      {4000000, code_4000000}, {100, code_other},     {250000, code_other},
      {1, code_other},         {0, code_9600},        {-5, code_9600},
  };
  for (const auto& [rate, code] : rates) {
    EXPECT_EQ(line_attributes(LineSettings{}, rate).c_cflag & speed_bits, code) << rate;
  }
}

// A rate only the kernel's record holds is given in two steps: the C library's call must keep
// the speed as it is, or the port runs meanwhile at B0, which hangs the line up.
TEST(LineAttributes, TheFirstStepOfAnOtherRateKeepsThePortsSpeed) {
  const termios asked = line_attributes(LineSettings{}, 250000);
  termios now = line_attributes(settings_with(7, Parity::odd, 2, FlowControl::none), 1200);
  now.c_cflag |= 0x000b0000;  // an input speed of its own, 2400
  const termios first = with_speed_of(asked, now);
  EXPECT_EQ(first.c_cflag, (asked.c_cflag & ~speed_bits) | 0x9 | 0x000b0000);
  EXPECT_EQ(first.c_iflag, asked.c_iflag);
  EXPECT_EQ(cfgetospeed(&first), cfgetospeed(&now));
}

TEST(LineAttributes, CharacterSizeAndStopBitsOutsideTheirRangeFallBack) {
  const std::pair<std::int32_t, tcflag_t> sizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8},
                                                     {9, CS8}, {4, CS8}, {-1, CS8}};
  for (const auto& [bits, size] : sizes) {
    const termios t =
        line_attributes(settings_with(bits, Parity::none, 1, FlowControl::none), 9600);
    EXPECT_EQ(t.c_cflag & CSIZE, size) << bits;
  }
  for (const std::int32_t stopbits : {0, 1, 3, -2}) {
    const termios t =
        line_attributes(settings_with(8, Parity::none, stopbits, FlowControl::none), 9600);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << stopbits;
  }
}

TEST(LineAttributes, EveryParityIsPutOnTheLine) {
  const std::pair<Parity, tcflag_t> parities[] = {
      {Parity::none, 0},
      {Parity::even, PARENB},
      {Parity::odd, PARENB | PARODD},
      {Parity::mark, PARENB | CMSPAR | PARODD},
      {Parity::space, PARENB | CMSPAR},
      {static_cast<Parity>(9), 0},
  };
  for (const auto& [parity, flags] : parities) {
    const termios t = line_attributes(settings_with(8, parity, 1, FlowControl::none), 9600);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), flags) << static_cast<int>(parity);
  }
}

TEST(LineAttributes, NoFlowControlLeavesEveryControlCharacterZero) {
  for (const FlowControl flow : {FlowControl::none, static_cast<FlowControl>(0)}) {
    const termios t = line_attributes(settings_with(8, Parity::none, 1, flow), 9600);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    for (const cc_t c : t.c_cc) EXPECT_EQ(c, 0);
  }
}

// A pty keeps any rate it is given, so each rate reads back as asked: the table's through
// their codes, any other through the kernel's record, and the saved one put back.
TEST(ConfigureLine, TakesEveryRateOnAPtyAndPutsBackOneOnlyTheKernelsRecordHolds) {
  const PtyPair pty;
  ASSERT_NE(pty.slave, -1);
  const int port = pty.slave;
  for (const SpeedEntry& entry : speed_table) {
    if (entry.rate == 0 || entry.rate > 460800) continue;
    EXPECT_TRUE(configure_line(port, LineSettings{}, entry.rate)) << entry.rate;
  }
  if (testbench::emulated()) {
    GTEST_SKIP() << "qemu-user 7.2 translates no speed code above 460800 and passes no termios2 "
                    "call on, so the rates beyond cannot be set under it";
  }
  for (const SpeedEntry& entry : speed_table) {
    if (entry.rate <= 460800) continue;
    EXPECT_TRUE(configure_line(port, LineSettings{}, entry.rate)) << entry.rate;
  }
  ASSERT_TRUE(write_kernel_rate(port, other_rate(74880)));
  const std::optional<SavedLine> saved = save_line(port);
  ASSERT_TRUE(saved.has_value());
  for (const std::int32_t rate : {1, 31250, 250000, 2147483647}) {
    EXPECT_TRUE(configure_line(port, LineSettings{}, rate)) << rate;
    termios in_force{};
    ASSERT_EQ(tcgetattr(port, &in_force), 0);
    EXPECT_EQ(rate_in_force(port, in_force), rate);
  }
  EXPECT_TRUE(configure_line(port, LineSettings{}, 0)) << "0 runs at 9600";
  restore_line(port, *saved);
  EXPECT_EQ(read_kernel_rate(port), other_rate(74880));
}

TEST(ConfigureLine, SaysSoWhenThePortRefuses) {
  std::array<int, 2> pipe_ends{};
  ASSERT_EQ(pipe(pipe_ends.data()), 0);
  EXPECT_FALSE(configure_line(pipe_ends[0], LineSettings{}, 9600));  // a pipe is no terminal
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

// What a port reads back after it was set: a driver that cannot make a setting often takes it
// silently and keeps another. One change at a time from what was asked; the rate is read
// apart (rate_in_force), as only the kernel's record holds some.
TEST(HoldsLine, EverySettingAPortKeepsIsCompared) {
  const termios asked =
      line_attributes(settings_with(6, Parity::mark, 2, FlowControl::software), 9600);
  const auto with = [&](auto change) {
    termios t = asked;
    change(t);
    return t;
  };
  struct Case {
    const char* what;
    termios in_force;
    bool held_by_uart;
    bool held_by_pty;
  };
  const Case cases[] = {
      {"all as asked", asked, true, true},
      {"8 bits for 6, as a chip without 6 keeps",
       with([](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS8; }), false, true},
      {"no parity bit, as a pty keeps", with([](termios& t) { t.c_cflag &= ~PARENB; }), false,
       true},
      {"no stick parity", with([](termios& t) { t.c_cflag &= ~CMSPAR; }), false, false},
      {"odd turned even", with([](termios& t) { t.c_cflag &= ~PARODD; }), false, false},
      {"one stop bit", with([](termios& t) { t.c_cflag &= ~CSTOPB; }), false, false},
      {"no XON/XOFF", with([](termios& t) { t.c_iflag &= ~(IXON | IXOFF); }), false, false},
      {"RTS/CTS taken on", with([](termios& t) { t.c_cflag |= CRTSCTS; }), false, false},
      {"echo, which no one asked of it", with([](termios& t) { t.c_lflag |= ECHO; }), true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(holds_line(asked, c.in_force, false), c.held_by_uart) << c.what << ", a UART";
    EXPECT_EQ(holds_line(asked, c.in_force, true), c.held_by_pty) << c.what << ", a pty";
  }
}

TEST(EditsInput, ACookedTerminalDoesARawOrQuietOneDoesNot) {
  termios raw{};
  cfmakeraw(&raw);
  EXPECT_FALSE(edits_input(raw));
  EXPECT_FALSE(edits_input(line_attributes(LineSettings{}, 9600)));
  // As a USB adapter's driver opens it first.
  termios cooked{};
  cooked.c_iflag = ICRNL | IXON;
  cooked.c_oflag = OPOST | ONLCR;
  cooked.c_cflag = CS8 | CREAD;
  cooked.c_lflag = ICANON | ECHO | ECHOE | ISIG;
  EXPECT_TRUE(edits_input(cooked));
  // Made quiet, it takes in nothing changed, and its line stays as it was.
  const termios quiet = quiet_line(cooked);
  EXPECT_FALSE(edits_input(quiet));
  EXPECT_EQ(quiet.c_cflag, cooked.c_cflag);
  EXPECT_EQ(quiet.c_oflag, cooked.c_oflag);
  for (const tcflag_t one : {ECHO, ICANON, ISIG}) {
    termios only{};
    only.c_lflag = one;
    EXPECT_TRUE(edits_input(only)) << one;
  }
}

TEST(LineTiming, ACharacterIsItsStartDataParityAndStopBitsAtEveryRateFrom1) {
  struct Case {
    std::int32_t databits;
    Parity parity;
    std::int32_t stopbits;
    std::int32_t rate;
    int bits;
    std::int32_t characters;
    int ms_for_100;  // milliseconds for 100 characters, rounded up
  };
  const Case cases[] = {{8, Parity::none, 1, 115200, 10, 11520, 9},
                        {7, Parity::even, 2, 9600, 11, 872, 115},
                        {5, Parity::mark, 1, 300, 8, 37, 2667},
                        {9, Parity::none, 3, 100, 10, 10, 10000},  // as the line runs them
                        {8, Parity::none, 1, 0, 10, 960, 105},     // no rate: 9600
                        {8, Parity::even, 2, 4000000, 12, 333333, 1},
                        {8, Parity::none, 1, 11, 10, 1, 90910},
                        {8, Parity::none, 1, 1, 10, 0, 1000000}};
  for (const Case& c : cases) {
    const LineSettings settings{
        .baudrate = c.rate, .parity = c.parity, .databits = c.databits, .stopbits = c.stopbits};
    EXPECT_EQ(bits_per_character(settings), c.bits) << c.databits;
    EXPECT_EQ(characters_per_second(settings), c.characters) << c.rate;
    EXPECT_EQ(milliseconds_for_characters(settings, 100), c.ms_for_100) << c.rate;
  }
  const LineSettings slowest{.baudrate = 1};
  EXPECT_EQ(milliseconds_for_characters(slowest, 1u << 30), std::numeric_limits<int>::max());
  EXPECT_EQ(milliseconds_for_characters(slowest, ~std::uint64_t{0}),
            std::numeric_limits<int>::max());
}

TEST(IsPty, APtysSlaveIsOneAPipeIsNot) {
  const PtyPair pty;
  EXPECT_TRUE(is_pty(pty.slave));
  std::array<int, 2> pipe_ends{};
  ASSERT_EQ(pipe(pipe_ends.data()), 0);
  EXPECT_FALSE(is_pty(pipe_ends[0]));
  for (const int fd : pipe_ends) close(fd);
}

}  // namespace
}  // namespace looptest
