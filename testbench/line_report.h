// line_report.h: line attributes in words, as read back from a port.
#pragma once

#include <termios.h>

#include <string>

namespace testbench {

/// "115200 bit/s, 8 data bits, no parity, 1 stop bit, RTS/CTS flow control".
std::string describe_line(const termios& attributes);

}  // namespace testbench
