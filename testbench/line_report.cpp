#include "line_report.h"

#include <array>
#include <utility>

namespace testbench {

namespace {

// A table of its own, not the tool's: what is read back must not be decoded by the code
// that wrote it.
constexpr std::array<std::pair<speed_t, int>, 20> rates{{
    {B0, 0},         {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},     {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
    {B1800, 1800},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
}};

std::string rate(const termios& t) {
  const speed_t code = t.c_cflag & CBAUD;
  for (const auto& [row_code, bits_per_second] : rates) {
    if (row_code == code) return std::to_string(bits_per_second) + " bit/s";
  }
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
