// speed_table.h: the line rates a port can be given, and their terminal speed codes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace looptest {

struct SpeedEntry {
  std::int32_t code;  ///< The kernel's speed code, as it stands in c_cflag.
  std::int32_t rate;  ///< Bits per second.
};

inline constexpr std::size_t speed_table_rows = 31;
using SpeedTable = std::array<SpeedEntry, speed_table_rows>;

// Every speed code the kernel has. The codes are the kernel's own (kernel_definitions.cpp checks
// them against its header), not the C library's B constants: glibc 2.42 made those equal to the
// rate itself.
inline constexpr SpeedTable speed_table{{
    {0x0, 0},          {0x1, 50},         {0x2, 75},         {0x3, 110},        {0x4, 134},
    {0x5, 150},        {0x6, 200},        {0x7, 300},        {0x8, 600},        {0x9, 1200},
    {0xa, 1800},       {0xb, 2400},       {0xc, 4800},       {0xd, 9600},       {0xe, 19200},
    {0xf, 38400},      {0x1001, 57600},   {0x1002, 115200},  {0x1003, 230400},  {0x1004, 460800},
    {0x1005, 500000},  {0x1006, 576000},  {0x1007, 921600},  {0x1008, 1000000}, {0x1009, 1152000},
    {0x100a, 1500000}, {0x100b, 2000000}, {0x100c, 2500000}, {0x100d, 3000000}, {0x100e, 3500000},
    {0x100f, 4000000},
}};

/// The bits of c_cflag that hold the speed code (the kernel's CBAUD, CBAUDEX included).
inline constexpr std::uint32_t speed_code_mask = 0x100F;
/// The speed code that says the rate is not a code but a number of bits a second, which only
/// the kernel's own terminal record (termios2) holds: the kernel's BOTHER.
inline constexpr std::int32_t other_rate_code = 0x1000;

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

}  // namespace looptest
