#include "line/line_config.h"

#include <linux/major.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <limits>

#include "line/speed_table.h"
#include "system/retry.h"

namespace looptest {

// The flag values the line is built from are the kernel's own.
static_assert(IGNBRK == 0x1 && IGNPAR == 0x4 && IXON == 0x400 && IXOFF == 0x1000);
static_assert(CSIZE == 0x30 && CS5 == 0x0 && CS6 == 0x10 && CS7 == 0x20 && CS8 == 0x30);
static_assert(CSTOPB == 0x40 && CREAD == 0x80 && PARENB == 0x100 && PARODD == 0x200);
static_assert(HUPCL == 0x400 && CLOCAL == 0x800 && CRTSCTS == 0x80000000 && CMSPAR == 0x40000000);
static_assert(VSTART == 8 && VSTOP == 9 && TCSANOW == 0);

namespace {

tcflag_t character_size(int data_bits) {
  switch (data_bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

// Mark and space parity are a parity bit that CMSPAR holds at 1 (with PARODD) or at 0.
tcflag_t parity_flags(Parity parity) {
  switch (parity) {
    case Parity::even:
      return PARENB;
    case Parity::odd:
      return PARENB | PARODD;
    case Parity::mark:
      return PARENB | CMSPAR | PARODD;
    case Parity::space:
      return PARENB | CMSPAR;
    case Parity::none:
      break;
  }
  return 0;
}

}  // namespace

std::int32_t line_rate(std::int32_t rate) { return is_rate(rate) ? rate : no_rate_runs_at; }

int bits_per_character(const LineSettings& settings) {
  const int data = data_bits_in_force(settings);
  const int parity = settings.parity == Parity::none ? 0 : 1;
  const int stop = settings.stopbits == 2 ? 2 : 1;
  return 1 + data + parity + stop;
}

std::int32_t characters_per_second(const LineSettings& settings) {
  return line_rate(settings.baudrate) / bits_per_character(settings);
}

int milliseconds_for_characters(const LineSettings& settings, std::uint64_t characters) {
  // From the bits, not the characters a second, which are 0 below one a second.
  const auto rate = static_cast<std::uint64_t>(line_rate(settings.baudrate));
  const auto bit_milliseconds = static_cast<std::uint64_t>(bits_per_character(settings)) * 1000;
  constexpr auto longest = static_cast<std::uint64_t>(std::numeric_limits<int>::max());
  if (characters > (std::numeric_limits<std::uint64_t>::max() - rate) / bit_milliseconds) {
    return std::numeric_limits<int>::max();
  }
  const std::uint64_t milliseconds = (characters * bit_milliseconds + rate - 1) / rate;
  return static_cast<int>(std::min(milliseconds, longest));
}

termios line_attributes(const LineSettings& settings, std::int32_t rate) {
  termios t{};  // all zero: no output processing, non-canonical, VMIN = VTIME = 0

  std::int32_t code = speed_code_of_rate(line_rate(rate));
  if (code < 0) code = other_rate_code;

  t.c_iflag = IGNBRK | IGNPAR;
  t.c_cflag = CLOCAL | HUPCL | CREAD;
  t.c_cflag |= character_size(data_bits_in_force(settings));
  t.c_cflag |= parity_flags(settings.parity);
  if (settings.stopbits == 2) t.c_cflag |= CSTOPB;
  switch (settings.flowcontrol) {
    case FlowControl::hardware:
      t.c_cflag |= CRTSCTS;
      break;
    case FlowControl::software:
      t.c_iflag |= IXON | IXOFF;
      t.c_cc[VSTOP] = 0x13;   // DC3
      t.c_cc[VSTART] = 0x11;  // DC1
      break;
    case FlowControl::none:
      break;
  }
  t.c_cflag |= static_cast<tcflag_t>(code) & speed_code_mask;  // the rate travels in c_cflag only
  return t;
}

bool holds_line(const termios& asked, const termios& in_force, bool pty) {
  tcflag_t control = CSTOPB | PARODD | CMSPAR | CRTSCTS;
  if (!pty) control |= CSIZE | PARENB;
  constexpr tcflag_t input = IXON | IXOFF;
  return (in_force.c_cflag & control) == (asked.c_cflag & control) &&
         (in_force.c_iflag & input) == (asked.c_iflag & input);
}

bool is_pty(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
  const unsigned int device_major = major(status.st_rdev);
  return (device_major >= UNIX98_PTY_SLAVE_MAJOR &&
          device_major < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT) ||
         device_major == PTY_SLAVE_MAJOR;
}

termios with_speed_of(const termios& asked, const termios& now) {
  constexpr tcflag_t speed = speed_code_mask | speed_code_mask << input_code_shift;
  termios line = now;  // the speed fields as they are, whatever this C library names them
  line.c_iflag = asked.c_iflag;
  line.c_oflag = asked.c_oflag;
  line.c_cflag = (asked.c_cflag & ~speed) | (now.c_cflag & speed);
  line.c_lflag = asked.c_lflag;
  line.c_line = asked.c_line;
  std::copy(std::begin(asked.c_cc), std::end(asked.c_cc), std::begin(line.c_cc));
  return line;
}

std::optional<std::int64_t> rate_in_force(int fd, const termios& in_force) {
  // The speed code in c_cflag is read, as the speed fields and cfgetospeed mean other things
  // to other C libraries; only BOTHER sends for the kernel's own record.
  const auto code = static_cast<std::int32_t>(in_force.c_cflag & speed_code_mask);
  if (code != other_rate_code) return rate_of_speed_code(code);
  const std::optional<KernelRate> kernel = read_kernel_rate(fd);
  if (!kernel) return std::nullopt;
  return kernel->output;
}

bool configure_line(int fd, const LineSettings& settings, std::int32_t rate) {
  const std::int32_t runs_at = line_rate(rate);
  const termios attributes = line_attributes(settings, rate);
  const bool other = speed_code_of_rate(runs_at) < 0;
  termios applied = attributes;
  if (other) {
    termios now{};
    if (tcgetattr(fd, &now) != 0) return false;
    applied = with_speed_of(attributes, now);
  }
  if (retry_interrupted([&] { return tcsetattr(fd, TCSANOW, &applied); }) != 0) return false;
  if (other && !write_kernel_rate(fd, other_rate(static_cast<std::uint32_t>(runs_at)))) {
    return false;
  }
  termios in_force{};
  return tcgetattr(fd, &in_force) == 0 && holds_line(attributes, in_force, is_pty(fd)) &&
         rate_in_force(fd, in_force) == runs_at;
}

bool edits_input(const termios& attributes) {
  return (attributes.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) != 0 ||
         (attributes.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON)) != 0;
}

termios quiet_line(const termios& attributes) {
  termios quiet = attributes;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
  quiet.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | ISTRIP | IXON);
  return quiet;
}

std::optional<SavedLine> save_line(int fd) {
  SavedLine saved;
  if (tcgetattr(fd, &saved.attributes) != 0) return std::nullopt;
  if (const std::optional<KernelRate> rate = read_kernel_rate(fd); rate && is_other_rate(*rate)) {
    saved.other_rate = rate;
  }
  return saved;
}

void restore_line(int fd, const SavedLine& saved) {
  retry_interrupted([&] { return tcsetattr(fd, TCSANOW, &saved.attributes); });
  // Before glibc 2.42 the C library puts back BOTHER without its rate, and the port keeps
  // the rate of the run.
  if (saved.other_rate) write_kernel_rate(fd, *saved.other_rate);
}

}  // namespace looptest
