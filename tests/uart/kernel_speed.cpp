// The rate the kernel holds for a port, c_ospeed of its own terminal record (termios2), which
// it keeps in bit/s for every rate, a speed code's or any other. <asm/termbits.h> clashes with
// the C library's <termios.h>, so it has this file of its own.
#include <asm/termbits.h>
#include <sys/ioctl.h>

long kernel_output_speed(int fd) {
  termios2 attributes{};
  if (ioctl(fd, TCGETS2, &attributes) != 0) return -1;
  return static_cast<long>(attributes.c_ospeed);
}
