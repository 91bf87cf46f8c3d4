#include "line_report.h"

#include <array>
#include <utility>

namespace testbench {

namespace {

// A table of its own, not the tool's: what is read back must not be decoded by the code
// that wrote it. The codes are the kernel's, as c_cflag holds them whatever the C library
// calls its B constants.
constexpr std::array<std::pair<tcflag_t, int>, 31> rates{{
    {0x0, 0},          {0x1, 50},         {0x2, 75},         {0x3, 110},        {0x4, 134},
    {0x5, 150},        {0x6, 200},        {0x7, 300},        {0x8, 600},        {0x9, 1200},
    {0xa, 1800},       {0xb, 2400},       {0xc, 4800},       {0xd, 9600},       {0xe, 19200},
    {0xf, 38400},      {0x1001, 57600},   {0x1002, 115200},  {0x1003, 230400},  {0x1004, 460800},
    {0x1005, 500000},  {0x1006, 576000},  {0x1007, 921600},  {0x1008, 1000000}, {0x1009, 1152000},
    {0x100a, 1500000}, {0x100b, 2000000}, {0x100c, 2500000}, {0x100d, 3000000}, {0x100e, 3500000},
    {0x100f, 4000000},
}};

std::string rate(const termios& t) {
  const tcflag_t code = t.c_cflag & 0x100F;
  for (const auto& [row_code, bits_per_second] : rates) {
    if (row_code == code) return std::to_string(bits_per_second) + " bit/s";
  }
  if (code == 0x1000) return "a rate of its own (BOTHER)";
  return "speed code " + std::to_string(code);
}

std::string parity(const termios& t) {
  if ((t.c_cflag & PARENB) == 0) return "no parity";
  if ((t.c_cflag & CMSPAR) != 0) return (t.c_cflag & PARODD) != 0 ? "mark parity" : "space parity";
  return (t.c_cflag & PARODD) != 0 ? "odd parity" : "even parity";
}

std::string flow_control(const termios& t) {
  if ((t.c_cflag & CRTSCTS) != 0) return "RTS/CTS flow control";
  if ((t.c_iflag & (IXON | IXOFF)) != 0) return "XON/XOFF flow control";
  return "no flow control";
}

}  // namespace

std::string describe_line(const termios& attributes) {
  const tcflag_t size = attributes.c_cflag & CSIZE;
  const int data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  const bool two_stop_bits = (attributes.c_cflag & CSTOPB) != 0;
  return rate(attributes) + ", " + std::to_string(data_bits) + " data bits, " + parity(attributes) +
         ", " + (two_stop_bits ? "2 stop bits" : "1 stop bit") + ", " + flow_control(attributes);
}

}  // namespace testbench
