// port_rs485.h: a port's RS-485 mode at set-up: found, set as rs485= asks, read back and said.
#pragma once

#include <optional>

#include "line/rs485.h"
#include "settings/settings.h"

namespace looptest {

/// What became of a port's RS-485 mode.
struct Rs485SetUp {
  /// The mode as found, to be put back at the end; empty where the run did not change it.
  std::optional<serial_rs485> found{};
  /// False where rs485=on found no such mode, or the driver kept something else than asked.
  bool held = true;
};

// port_rs485.cpp
/// Without rs485=, does nothing. Else reads the port's mode, sets what the settings ask, reads
/// back what the driver kept and says it ("PATH: RS-485, ..."); a port without the mode gives
/// "ERROR PATH has no RS-485 mode" where on was asked (and nothing where off was), a driver that
/// kept another mode "ERROR configuring PATH" before the line of what it kept.
Rs485SetUp set_up_rs485(int fd, const char* path, const LineSettings& settings);

}  // namespace looptest
