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
/// The bits a character takes on the line: a start bit, the data bits (8 for a size the line
/// lacks), a parity bit unless there is none, and one or two stop bits.
int bits_per_character(const LineSettings& settings);
/// The characters a second the line carries at most, at the rate it runs at.
std::int32_t characters_per_second(const LineSettings& settings);
/// How long the line takes to carry that many characters, in whole milliseconds rounded up.
int milliseconds_for_characters(const LineSettings& settings, std::uint64_t characters);
/// Raw 5- to 8-bit characters, receiver on, modem status lines ignored, the parity, stop bits
/// and flow control of settings, at rate; a rate the speed table lacks (or 0) runs at 9600.
termios line_attributes(const LineSettings& settings, std::int32_t rate);
/// Whether a port whose attributes read back as in_force holds what was asked of it: the rate,
/// character size, parity, stop bits and flow control. A pty carries no character size or
/// parity bit (it always reads back 8 bits and no parity), so it is not asked to hold those.
bool holds_line(const termios& asked, const termios& in_force, bool pty);
/// Whether fd is the slave side of a pty.
bool is_pty(int fd);
/// Applies line_attributes(settings, rate) to fd at once; false when the port refuses them, or
/// does not hold them as holds_line() says: a driver that cannot make a setting (a rate its
/// clock cannot make, a character size the chip lacks) often takes it silently and keeps
/// another, which only reading the attributes back shows.
bool configure_line(int fd, const LineSettings& settings, std::int32_t rate);
/// Whether what the attributes say of the input changes or echoes what arrives, as a terminal
/// left in its default (cooked) mode does.
bool edits_input(const termios& attributes);
/// The attributes with nothing that changes or echoes what arrives; the line (rate, size,
/// parity) as it was.
termios quiet_line(const termios& attributes);

/// The port's attributes as they are, to be put back at the end; empty for no terminal.
std::optional<termios> save_line(int fd);
/// Puts saved back at once.
void restore_line(int fd, const termios& saved);

}  // namespace looptest
