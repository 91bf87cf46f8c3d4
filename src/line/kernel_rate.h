// kernel_rate.h: a port's rate in the kernel's own terminal record (termios2), which holds
// any rate in bits a second, where the C library's termios (before glibc 2.42) holds only the
// speed codes. Only kernel_rate.cpp sees that record: its header clashes with <termios.h>.
#pragma once

#include <cstdint>
#include <optional>

#include "line/speed_table.h"

namespace looptest {

/// The part of a port's attributes that says its rate: the speed bits of c_cflag (the
/// output's code, and the input's in CIBAUD, 0 when it follows the output) and the two rates
/// in bit/s the kernel keeps with them (c_ispeed, c_ospeed).
struct KernelRate {
  std::uint32_t speed_bits = 0;
  std::uint32_t input = 0;
  std::uint32_t output = 0;
  friend bool operator==(const KernelRate&, const KernelRate&) = default;
};

/// The kernel's CIBAUD: the input's speed code, 16 bits above the output's.
inline constexpr std::uint32_t input_code_shift = 16;

/// Rate bits a second, out and in, as a number (BOTHER) rather than a speed code; the input
/// follows the output.
constexpr KernelRate other_rate(std::uint32_t rate) {
  return {.speed_bits = static_cast<std::uint32_t>(other_rate_code), .input = rate, .output = rate};
}

/// Whether the output's or the input's rate is a number rather than a speed code: what the C
/// library's termios cannot put back.
constexpr bool is_other_rate(const KernelRate& rate) {
  const std::uint32_t code = static_cast<std::uint32_t>(other_rate_code);
  return (rate.speed_bits & speed_code_mask) == code ||
         ((rate.speed_bits >> input_code_shift) & speed_code_mask) == code;
}

// kernel_rate.cpp
/// The port's rate as its driver keeps it; empty where TCGETS2 fails: no terminal, or a
/// user-mode emulator that does not pass termios2 on (qemu-user 7.2 answers ENOSYS).
std::optional<KernelRate> read_kernel_rate(int fd);
/// Gives the port this rate, the rest of its attributes as they are (TCGETS2, then
/// TCSETS2); false where either fails.
bool write_kernel_rate(int fd, const KernelRate& rate);

}  // namespace looptest
