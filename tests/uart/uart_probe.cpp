// uart_probe: what the kernel and the UART say about a serial port, on one line:
//   uart_probe /dev/ttyS1
//   cflag=800008b2 iflag=5 lflag=0 oflag=0 ospeed=115200 modem=166 lsr=1 outq=0 rx=0 tx=0
//   frame=0 overrun=0 parity=0 brk=0 buf_overrun=0 baud_base=115200 lcr=3 divisor=1
// ospeed is the rate in bit/s the kernel holds for the port (termios2's c_ospeed), whether it
// was asked as a speed code or as a number; lsr is what the driver's TIOCSERGETLSR says (1:
// the transmitter is empty; -1: no answer), outq the bytes its output queue holds (TIOCOUTQ).
// The UART's own registers end the line, read from the UART itself, so they show what the
// driver really programmed: a 16550's line control register and divisor (through the I/O
// port the driver names, on a PC), or a PL011's line control, integer and fractional
// divisors, control and flag registers (through /dev/mem at the address the driver names):
//   ... baud_base=1500000 lcr_h=70 ibrd=13 fbrd=1 cr=c301 fr=90
// Before the registers: the RS-485 mode (TIOCGRS485) as its flags in hex and its delays in
// milliseconds, rs485=-1 where the driver has none to give. Given a second argument, hex
// flags, it first sets the RS-485 mode to them, as a board's boot might (no delays):
//   uart_probe /dev/ttyAMA1 5
#include <fcntl.h>
#include <linux/serial.h>
#include <linux/serial_core.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

// kernel_speed.cpp: the kernel's c_ospeed; -1 where it cannot be read.
long kernel_output_speed(int fd);

namespace {

std::string registers_16550([[maybe_unused]] const serial_struct& serial) {
#if defined(__x86_64__) || defined(__i386__)
  if (serial.port == 0 || ioperm(serial.port, 8, 1) != 0) return {};
  const auto base = static_cast<unsigned short>(serial.port);
  const int lcr = inb(base + 3);
  outb(static_cast<unsigned char>(lcr | 0x80), base + 3);  // the divisor latch
  const int divisor = inb(base) | inb(base + 1) << 8;
  outb(static_cast<unsigned char>(lcr), base + 3);
  char text[64];
  std::snprintf(text, sizeof text, " lcr=%x divisor=%d", lcr, divisor);
  return text;
#else
  return {};
#endif
}

std::string registers_pl011(const serial_struct& serial) {
  // The driver gives the registers' physical address as iomem_base.
  const auto base = reinterpret_cast<std::uintptr_t>(serial.iomem_base);
  const int memory = open("/dev/mem", O_RDONLY | O_SYNC | O_CLOEXEC);
  if (base == 0 || memory == -1) return {};
  void* mapped = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, memory, static_cast<off_t>(base));
  close(memory);
  if (mapped == MAP_FAILED) return {};
  const auto* registers = static_cast<const volatile std::uint32_t*>(mapped);
  const auto at = [registers](unsigned offset) { return registers[offset / 4]; };
  char text[96];
  std::snprintf(text, sizeof text, " lcr_h=%x ibrd=%u fbrd=%u cr=%x fr=%x", at(0x2c), at(0x24),
                at(0x28), at(0x30), at(0x18));
  munmap(mapped, 4096);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: uart_probe PORT [RS485_FLAGS]\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios attributes{};
  if (fd == -1 || tcgetattr(fd, &attributes) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  serial_rs485 rs485{};
  if (argc == 3) {
    rs485.flags = static_cast<__u32>(std::strtoul(argv[2], nullptr, 16));
    if (ioctl(fd, TIOCSRS485, &rs485) != 0) std::perror("TIOCSRS485");
  }
  char rs485_flags[16] = "-1";
  if (ioctl(fd, TIOCGRS485, &rs485) == 0) {
    std::snprintf(rs485_flags, sizeof rs485_flags, "%x", rs485.flags);
  }
  int modem = -1;
  ioctl(fd, TIOCMGET, &modem);
  int line_status = -1;
  ioctl(fd, TIOCSERGETLSR, &line_status);
  int queued = -1;
  ioctl(fd, TIOCOUTQ, &queued);
  serial_icounter_struct counters{};
  ioctl(fd, TIOCGICOUNT, &counters);
  serial_struct serial{};
  std::string registers;
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    // A USB adapter's driver gives its number on the device as port: no I/O port.
    if (serial.type == PORT_AMBA) registers = registers_pl011(serial);
    if (serial.type == PORT_16550A) registers = registers_16550(serial);
  }
  std::printf(
      "cflag=%x iflag=%x lflag=%x oflag=%x ospeed=%ld modem=%x lsr=%d outq=%d rx=%d tx=%d "
      "frame=%d overrun=%d parity=%d brk=%d buf_overrun=%d baud_base=%d rs485=%s "
      "rts_before=%u rts_after=%u%s\n",
      attributes.c_cflag, attributes.c_iflag, attributes.c_lflag, attributes.c_oflag,
      kernel_output_speed(fd), modem, line_status, queued, counters.rx, counters.tx, counters.frame,
      counters.overrun, counters.parity, counters.brk, counters.buf_overrun, serial.baud_base,
      rs485_flags, rs485.delay_rts_before_send, rs485.delay_rts_after_send, registers.c_str());
  close(fd);
  return 0;
}
