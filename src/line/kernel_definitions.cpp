// The constants the line module writes down itself, checked against the kernel's own terminal
// definitions, which no C library renames or leaves out: the speed table, and the loopback
// line. This file holds no code; it must not include <termios.h> or <sys/ioctl.h>, whose
// names would clash.
#include <asm/termios.h>

#include <utility>

#include "line/modem_lines.h"
#include "line/speed_table.h"

namespace looptest {

namespace {

// clang-format off
constexpr std::array<std::pair<std::int32_t, unsigned>, speed_table_rows> kernel_codes{{
    {0, B0},             {50, B50},           {75, B75},           {110, B110},
    {134, B134},         {150, B150},         {200, B200},         {300, B300},
    {600, B600},         {1200, B1200},       {1800, B1800},       {2400, B2400},
    {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
}};
// clang-format on

constexpr bool table_holds_the_kernels_codes() {
  for (const auto& [rate, code] : kernel_codes) {
    if (speed_code_of_rate(rate) != static_cast<std::int32_t>(code)) return false;
  }
  return true;
}

static_assert(table_holds_the_kernels_codes());
static_assert(speed_code_mask == (CBAUD | CBAUDEX));
static_assert(other_rate_code == BOTHER);
static_assert(loopback_line == TIOCM_LOOP);

}  // namespace

}  // namespace looptest
