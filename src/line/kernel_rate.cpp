// The kernel's terminal record, struct termios2, is laid out per architecture (c_cc has 19
// characters on most, 23 on MIPS) and named in <asm/termbits.h>, whose names clash with the
// C library's <termios.h>: this file alone includes it, and nothing from it leaves the file.
#include "line/kernel_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "system/retry.h"

namespace looptest {

static_assert(input_code_shift == IBSHIFT);
static_assert((speed_code_mask << input_code_shift) == CIBAUD);

namespace {

constexpr std::uint32_t speed_bits = CBAUD | CIBAUD;

}  // namespace

std::optional<KernelRate> read_kernel_rate(int fd) {
  termios2 attributes{};
  if (ioctl(fd, TCGETS2, &attributes) != 0) return std::nullopt;
  return KernelRate{.speed_bits = attributes.c_cflag & speed_bits,
                    .input = attributes.c_ispeed,
                    .output = attributes.c_ospeed};
}

bool write_kernel_rate(int fd, const KernelRate& rate) {
  termios2 attributes{};
  if (ioctl(fd, TCGETS2, &attributes) != 0) return false;
  attributes.c_cflag = (attributes.c_cflag & ~speed_bits) | (rate.speed_bits & speed_bits);
  attributes.c_ispeed = rate.input;
  attributes.c_ospeed = rate.output;
  return retry_interrupted([&] { return ioctl(fd, TCSETS2, &attributes); }) == 0;
}

}  // namespace looptest
