// uart_probe: what the kernel and the UART say about a serial port, on one line:
//   uart_probe /dev/ttyS1
//   cflag=800008b2 iflag=5 ospeed=115200 modem=166 rx=0 tx=0 frame=0 overrun=0 parity=0
//   brk=0 buf_overrun=0 lcr=3 divisor=1
// The line control register and the divisor are read from the UART itself (a 16550 at the
// I/O port the driver names), so they show what the driver really programmed.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace {

int rate_of(speed_t code) {
  switch (code) {
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    case B460800:
      return 460800;
    default:
      return -static_cast<int>(code);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: uart_probe PORT\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios attributes{};
  if (fd == -1 || tcgetattr(fd, &attributes) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  int modem = -1;
  ioctl(fd, TIOCMGET, &modem);
  serial_icounter_struct counters{};
  ioctl(fd, TIOCGICOUNT, &counters);
  serial_struct serial{};
  int lcr = -1;
  int divisor = -1;
  if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.port != 0 && ioperm(serial.port, 8, 1) == 0) {
    const auto base = static_cast<unsigned short>(serial.port);
    lcr = inb(base + 3);
    outb(static_cast<unsigned char>(lcr | 0x80), base + 3);  // the divisor latch
    divisor = inb(base) | inb(base + 1) << 8;
    outb(static_cast<unsigned char>(lcr), base + 3);
  }
  std::printf(
      "cflag=%x iflag=%x ospeed=%d modem=%x rx=%d tx=%d frame=%d overrun=%d parity=%d "
      "brk=%d buf_overrun=%d lcr=%x divisor=%d\n",
      attributes.c_cflag, attributes.c_iflag, rate_of(cfgetospeed(&attributes)), modem, counters.rx,
      counters.tx, counters.frame, counters.overrun, counters.parity, counters.brk,
      counters.buf_overrun, lcr, divisor);
  close(fd);
  return 0;
}
