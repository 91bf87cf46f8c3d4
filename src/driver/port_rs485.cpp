#include "driver/port_rs485.h"

#include <cerrno>
#include <cstring>

#include "driver/messages.h"

namespace looptest {

namespace {

// ENOTTY: the driver has no such request; ENOSYS: the system has none (a user-mode emulator
// that does not pass it on). Either way the port has no RS-485 mode to set.
bool no_such_request(int error) { return error == ENOTTY || error == ENOSYS; }

Rs485SetUp no_mode(const char* path, const LineSettings& settings) {
  if (!settings.rs485.value_or(false)) return {};  // off is what a port without it already is
  print_message("ERROR %s has no RS-485 mode\n", path);
  return {.held = false};
}

}  // namespace

Rs485SetUp set_up_rs485(int fd, const char* path, const LineSettings& settings) {
  if (!settings.rs485) return {};
  serial_rs485 found{};
  if (const int error = read_rs485(fd, found)) {
    if (no_such_request(error)) return no_mode(path, settings);
    print_message("ERROR TIOCGRS485 %s: %s\n", path, std::strerror(error));
    return {.held = false};
  }
  const serial_rs485 asked = rs485_asked(settings, found);
  // A driver without the mode still reads one (all off) but refuses to set it.
  if (const int error = set_rs485(fd, asked)) {
    if (no_such_request(error)) return no_mode(path, settings);
    print_message("ERROR TIOCSRS485 %s: %s\n", path, std::strerror(error));
  }
  Rs485SetUp set_up{.found = found};
  serial_rs485 kept{};
  if (const int error = read_rs485(fd, kept)) {
    print_message("ERROR TIOCGRS485 %s: %s\n", path, std::strerror(error));
    set_up.held = false;
    return set_up;
  }
  set_up.held = holds_rs485(asked, kept);
  if (!set_up.held) print_message("ERROR configuring %s\n", path);
  print_message("%s\n", rs485_line(path, kept).data());
  return set_up;
}

}  // namespace looptest
