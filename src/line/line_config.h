// line_config.h: the terminal attributes one serial port is given.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "settings/settings.h"

namespace looptest {

// line_config.cpp
/// The rate a line given rate runs at: rate itself where the speed table has it, else 9600.
std::int32_t line_rate(std::int32_t rate);
/// Raw 5- to 8-bit characters, receiver on, modem status lines ignored, the parity, stop bits
/// and flow control of settings, at rate; a rate the speed table lacks (or 0) runs at 9600.
termios line_attributes(const LineSettings& settings, std::int32_t rate);
/// Applies line_attributes(settings, rate) to fd at once; false when the port refuses them or
/// then runs at another rate.
bool configure_line(int fd, const LineSettings& settings, std::int32_t rate);

/// The port's attributes as they are, to be put back at the end; empty for no terminal.
std::optional<termios> save_line(int fd);
/// Puts saved back at once.
void restore_line(int fd, const termios& saved);

}  // namespace looptest
