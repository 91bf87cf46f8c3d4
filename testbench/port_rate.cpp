// The kernel's <asm/termbits.h> clashes with the C library's <termios.h>: this file alone
// includes it.
#include "port_rate.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <utility>

namespace testbench {

namespace {

// clang-format off
constexpr std::array<std::pair<unsigned, long>, 31> rates{{
    {B0, 0},             {B50, 50},           {B75, 75},           {B110, 110},
    {B134, 134},         {B150, 150},         {B200, 200},         {B300, 300},
    {B600, 600},         {B1200, 1200},       {B1800, 1800},       {B2400, 2400},
    {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
    {B500000, 500000},   {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000},
    {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
    {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
}};
// clang-format on

}  // namespace

long port_rate(int fd) {
  termios2 attributes{};
  if (ioctl(fd, TCGETS2, &attributes) != 0) return -1;
  const unsigned code = attributes.c_cflag & CBAUD;
  if (code == BOTHER) return attributes.c_ospeed;
  for (const auto& [row_code, rate] : rates) {
    if (row_code == code) return rate;
  }
  return -2;
}

bool give_port_rate(int fd, unsigned rate) {
  termios2 attributes{};
  if (ioctl(fd, TCGETS2, &attributes) != 0) return false;
  constexpr unsigned speed_bits = CBAUD | CIBAUD;
  attributes.c_cflag = (attributes.c_cflag & ~speed_bits) | BOTHER;
  attributes.c_ispeed = rate;
  attributes.c_ospeed = rate;
  return ioctl(fd, TCSETS2, &attributes) == 0;
}

bool termios2_works() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const bool works = master != -1 && port_rate(master) >= 0;
  if (master != -1) close(master);
  return works;
}

}  // namespace testbench
