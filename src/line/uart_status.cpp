#include "line/uart_status.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "line/line_config.h"

namespace looptest {

std::size_t input_queued(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCINQ, &queued) == 0 && queued > 0 ? static_cast<std::size_t>(queued) : 0;
}

std::size_t output_queued(int fd) {
  int queued = 0;
  return ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<std::size_t>(queued) : 0;
}

void discard_output(int fd) { tcflush(fd, TCOFLUSH); }

std::optional<bool> transmitter_empty(int fd) {
  unsigned int status = 0;
  if (ioctl(fd, TIOCSERGETLSR, &status) != 0) return std::nullopt;
  return (status & TIOCSER_TEMT) != 0;
}

std::optional<int> transmit_fifo_size(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || serial.xmit_fifo_size <= 0) return std::nullopt;
  return serial.xmit_fifo_size;
}

int transmitter_milliseconds(std::int32_t rate, int fifo) {
  constexpr int longest_character = 12;  // start, 8 data, parity and 2 stop bits
  const std::int64_t bits = std::int64_t{fifo + 1} * longest_character;
  return static_cast<int>((bits * 1000 + line_rate(rate) - 1) / line_rate(rate));
}

std::optional<LineErrors> read_line_errors(int fd) {
  serial_icounter_struct counters{};
  if (ioctl(fd, TIOCGICOUNT, &counters) != 0) return std::nullopt;
  return LineErrors{
      static_cast<std::uint32_t>(counters.frame), static_cast<std::uint32_t>(counters.overrun),
      static_cast<std::uint32_t>(counters.parity), static_cast<std::uint32_t>(counters.brk),
      static_cast<std::uint32_t>(counters.buf_overrun)};
}

LineErrors line_errors_since(const LineErrors& start, const LineErrors& now) {
  // Unsigned subtraction gives the gain even across a wrap.
  return {now.frame - start.frame, now.overrun - start.overrun, now.parity - start.parity,
          now.breaks - start.breaks, now.buffer_overrun - start.buffer_overrun};
}

std::uint64_t total_line_errors(const LineErrors& errors) {
  return std::uint64_t{errors.frame} + errors.overrun + errors.parity + errors.breaks +
         errors.buffer_overrun;
}

}  // namespace looptest
