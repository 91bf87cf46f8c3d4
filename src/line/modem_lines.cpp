#include "line/modem_lines.h"

#include <sys/ioctl.h>

#include "system/retry.h"

namespace looptest {

ModemLines modem_outputs() { return TIOCM_RTS | TIOCM_DTR; }

ModemLines modem_inputs() { return TIOCM_CTS | TIOCM_DSR | TIOCM_CAR; }

std::optional<ModemLines> read_modem_lines(int fd) {
  int lines = 0;
  if (retry_interrupted([&] { return ioctl(fd, TIOCMGET, &lines); }) != 0) return std::nullopt;
  return lines;
}

bool drive_modem_lines(int fd, ModemLines lines, bool on) {
  return retry_interrupted([&] { return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines); }) == 0;
}

bool set_internal_loopback(int fd, bool on) {
  if (!drive_modem_lines(fd, loopback_line, on)) return false;
  // A driver that knows no loopback may take the request and do nothing: it must read back.
  return internal_loopback_on(fd) == on;
}

bool internal_loopback_on(int fd) {
  const std::optional<ModemLines> lines = read_modem_lines(fd);
  return lines && (*lines & loopback_line) != 0;
}

const char* modem_line_name(ModemLines line) {
  switch (line) {
    case TIOCM_RTS:
      return "RTS";
    case TIOCM_DTR:
      return "DTR";
    case TIOCM_CTS:
      return "CTS";
    case TIOCM_DSR:
      return "DSR";
    case TIOCM_CAR:
      return "DCD";
    default:
      return "?";
  }
}

ModemLines inputs_following(ModemLines dropped, ModemLines raised, ModemLines dropped_again) {
  return modem_inputs() & ~dropped & raised & ~dropped_again;
}

}  // namespace looptest
