// port_rate.h: a port's rate as the kernel keeps it in its own terminal record (termios2),
// read and set through a pty's master, and decoded by a table of the test bench's own: what
// is read back must not be decoded by the code that wrote it.
#pragma once

namespace testbench {

/// The rate in bit/s the port behind fd runs at: its speed code's, or for BOTHER the number
/// the kernel holds; -1 where TCGETS2 fails, -2 for a speed code the kernel does not have.
long port_rate(int fd);
/// Gives the port behind fd rate bit/s both ways as a number (BOTHER), as a program that sets
/// any rate leaves a port; false where that fails.
bool give_port_rate(int fd, unsigned rate);
/// Whether the kernel's terminal record can be read here: qemu-user 7.2 does not pass
/// TCGETS2 on, and a program it runs cannot set a rate the speed codes lack.
bool termios2_works();

}  // namespace testbench
