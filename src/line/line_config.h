// line_config.h: the terminal attributes one serial port is given.
#pragma once

#include <termios.h>

#include <cstdint>

#include "settings/settings.h"

namespace looptest {

// line_config.cpp
/// Raw 5- to 8-bit characters, receiver on, modem status lines ignored, the parity, stop bits
/// and flow control of settings, at rate; a rate the speed table lacks (or 0) runs at 9600.
termios line_attributes(const LineSettings& settings, std::int32_t rate);
/// Applies line_attributes(settings, rate) to fd at once; false when the port refuses them.
bool configure_line(int fd, const LineSettings& settings, std::int32_t rate);

}  // namespace looptest
