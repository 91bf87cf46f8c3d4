// speed_table.h: the line rates a port can be given, and their terminal speed codes.
#pragma once

#include <termios.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace looptest {

struct SpeedEntry {
  std::int32_t code;  ///< A terminal speed code as it stands in c_cflag (B0 ... B460800).
  std::int32_t rate;  ///< Bits per second.
};

inline constexpr std::size_t speed_table_rows = 20;
using SpeedTable = std::array<SpeedEntry, speed_table_rows>;

inline constexpr SpeedTable speed_table{{
    {B0, 0},         {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},     {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
    {B1800, 1800},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
}};

// The table's codes are the kernel's; a rate travels in c_cflag under the CBAUD mask.
static_assert(B0 == 0 && B50 == 1 && B1200 == 9 && B9600 == 13 && B38400 == 15);
static_assert(B57600 == 0x1001 && B115200 == 0x1002 && B230400 == 0x1003 && B460800 == 0x1004);
static_assert(CBAUD == 0x100F);

/// The rate of a speed code; 0 when the table lacks the code.
constexpr std::int32_t rate_of_speed_code(std::int32_t code) {
  for (const SpeedEntry& entry : speed_table) {
    if (entry.code == code) return entry.rate;
  }
  return 0;
}

/// The speed code of a rate; -1 when the table lacks the rate. A rate of 0 gives B0.
constexpr std::int32_t speed_code_of_rate(std::int32_t rate) {
  for (const SpeedEntry& entry : speed_table) {
    if (entry.rate == rate) return entry.code;
  }
  return -1;
}

static_assert(speed_code_of_rate(9600) == B9600 && rate_of_speed_code(B115200) == 115200);

}  // namespace looptest
