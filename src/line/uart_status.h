// uart_status.h: what a serial port's driver says of its UART: what it holds to send, whether
// its transmitter is empty, the size of its transmit FIFO, and the errors it counted on input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace looptest {

// uart_status.cpp
/// The bytes the port's driver holds that no one has read yet; 0 where it cannot say.
std::size_t input_queued(int fd);
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
