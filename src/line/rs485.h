// rs485.h: a port's RS-485 mode (two wires, one talker at a time, RTS turning the line driver
// on while the port sends): the record the settings ask for, the line that says what a driver
// kept, and the ioctls that read, set and put it back.
#pragma once

#include <linux/serial.h>

#include "settings/settings.h"
#include "system/text_line.h"

namespace looptest {

// rs485.cpp
/// The mode the settings ask of a port whose mode is found: enabled or not, RTS while and after
/// sending, the delays (negative ones as 0), receiving while sending. What the options do not
/// name (bus termination, addressing) is kept as found.
serial_rs485 rs485_asked(const LineSettings& settings, const serial_rs485& found);
/// Whether a driver that reads back kept holds what was asked: off where off was asked, and
/// else every setting the options name.
bool holds_rs485(const serial_rs485& asked, const serial_rs485& kept);
/// "PATH: RS-485, RTS high while sending, low after, delays 0/0 ms", with ", receiving while
/// sending" and ", bus terminated" where they are set; "PATH: RS-485 off" where it is off.
TextLine rs485_line(std::string_view path, const serial_rs485& mode);

/// Reads the port's mode into mode; 0, or the errno of TIOCGRS485 (ENOTTY: no such mode).
int read_rs485(int fd, serial_rs485& mode);
/// Sets the port's mode; 0, or the errno of TIOCSRS485 (ENOTTY: no such mode).
int set_rs485(int fd, const serial_rs485& mode);

}  // namespace looptest
