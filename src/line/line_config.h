// line_config.h: the terminal attributes one serial port is given.
#pragma once

#include <termios.h>

#include <cstddef>
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

/// The bytes the port's driver holds to send; 0 where it keeps no count, as a pty does not.
std::size_t output_queued(int fd);
/// Throws away what the driver holds to send, so that a line held by flow control cannot hold
/// up the close.
void discard_output(int fd);
/// Whether a UART's transmitter stands empty (nothing in its shift register or FIFO, and,
/// unless flow control stops it, nothing queued for it); empty for a port that is no UART.
std::optional<bool> transmitter_empty(int fd);
/// The characters a UART's transmit FIFO holds, as its driver says; empty where it says none.
std::optional<int> transmit_fifo_size(int fd);
/// The longest a transmitter takes at rate to send what its FIFO of fifo characters and its
/// shift register hold: 12 bits a character (start, 8 data, parity and 2 stop bits).
int transmitter_milliseconds(std::int32_t rate, int fifo);

/// The errors a UART driver counts on what it receives.
struct LineErrors {
  std::uint32_t frame = 0;
  std::uint32_t overrun = 0;
  std::uint32_t parity = 0;
  std::uint32_t breaks = 0;
  std::uint32_t buffer_overrun = 0;
  friend bool operator==(const LineErrors&, const LineErrors&) = default;
};

/// The driver's error counters; empty where the driver keeps none, as for a pty.
std::optional<LineErrors> read_line_errors(int fd);
/// What each counter gained from start to now; the counters wrap as the kernel's do.
LineErrors line_errors_since(const LineErrors& start, const LineErrors& now);
/// The sum of all the counters.
std::uint64_t total_line_errors(const LineErrors& errors);

}  // namespace looptest
