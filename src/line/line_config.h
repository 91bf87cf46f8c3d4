// line_config.h: the terminal attributes one serial port is given.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "line/kernel_rate.h"
#include "settings/settings.h"

namespace looptest {

// line_config.cpp
/// The rate a line given rate runs at: rate itself for every rate above 0, else 9600.
std::int32_t line_rate(std::int32_t rate);
/// The bits a character takes on the line: a start bit, the data bits (8 for a size the line
/// lacks), a parity bit unless there is none, and one or two stop bits.
int bits_per_character(const LineSettings& settings);
/// The whole characters a second the line carries at most, at the rate it runs at: 0 below
/// one character a second.
std::int32_t characters_per_second(const LineSettings& settings);
/// How long the line takes to carry that many characters, in whole milliseconds rounded up,
/// at any rate from 1 bit/s; the largest int where that is longer.
int milliseconds_for_characters(const LineSettings& settings, std::uint64_t characters);
/// Raw 5- to 8-bit characters, receiver on, modem status lines ignored, the parity, stop bits
/// and flow control of settings, at rate: its speed code where the speed table has one, else
/// the code that says the rate is a number (BOTHER), which the C library's termios cannot
/// carry; 0 or less runs at 9600.
termios line_attributes(const LineSettings& settings, std::int32_t rate);
/// Whether a port whose attributes read back as in_force holds what was asked of it besides
/// the rate: character size, parity, stop bits and flow control. A pty carries no character
/// size or parity bit (it always reads back 8 bits and no parity), so it is not asked to hold
/// those.
bool holds_line(const termios& asked, const termios& in_force, bool pty);
/// The attributes asked, with the speed of now: what the C library is given before a rate
/// the table lacks is given through termios2, so that meanwhile the port keeps the rate it
/// had. Given BOTHER, glibc from 2.42 on takes the rate from c_ospeed, 0 here (B0 hangs the
/// line up), and one before it leaves the kernel the rate it last held.
termios with_speed_of(const termios& asked, const termios& now);
/// Whether fd is the slave side of a pty.
bool is_pty(int fd);
/// The rate in bit/s a port whose attributes read back as in_force runs at: its speed code's,
/// or for BOTHER the one termios2 holds; empty where that cannot be read.
std::optional<std::int64_t> rate_in_force(int fd, const termios& in_force);
/// Applies line_attributes(settings, rate) to fd at once, a rate the speed table lacks through
/// termios2; false when the port refuses them, does not hold them as holds_line() says, or
/// reads back another rate than line_rate(rate): a driver that cannot make a setting (a rate
/// its clock cannot make, a character size the chip lacks) often takes it silently and keeps
/// another, or its old rate, which only reading the attributes back shows.
bool configure_line(int fd, const LineSettings& settings, std::int32_t rate);
/// Whether what the attributes say of the input changes or echoes what arrives, as a terminal
/// left in its default (cooked) mode does.
bool edits_input(const termios& attributes);
/// The attributes with nothing that changes or echoes what arrives; the line (rate, size,
/// parity) as it was.
termios quiet_line(const termios& attributes);

/// A port's attributes as found, and its rate as termios2 holds it where that is a number
/// rather than a speed code, as a program that sets any rate leaves it.
struct SavedLine {
  termios attributes{};
  std::optional<KernelRate> other_rate{};
};

/// The port's attributes as they are, to be put back at the end; empty for no terminal.
std::optional<SavedLine> save_line(int fd);
/// Puts saved back at once, its rate too where the C library cannot express it.
void restore_line(int fd, const SavedLine& saved);

}  // namespace looptest
