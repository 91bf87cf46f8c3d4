// ports.h: the two serial ports of a run: opened, told apart, locked, saved, configured, and
// put back as they were.
#pragma once

#include <termios.h>

#include <optional>

#include "line/line_config.h"
#include "line/modem_lines.h"
#include "line/rs485.h"
#include "line/uart_status.h"
#include "settings/port_names.h"
#include "settings/port_number.h"
#include "settings/settings.h"

namespace looptest {

struct Port {
  const PortPath* path = nullptr;
  int fd = -1;
  std::optional<SavedLine> saved{};  ///< The attributes as found; empty for no terminal.
  /// The driver's error counters once the line was set; empty where it keeps none.
  std::optional<LineErrors> errors_at_start{};
  bool configured = false;  ///< The port took the line settings.
  /// Its UART's transmitter read empty when nothing had been sent on it yet, so what it says
  /// of itself at the end can be believed (an emulated FTDI adapter never says it is empty).
  bool transmitter_trusted = false;
  bool lost = false;  ///< Gone from its path: its descriptor is closed, and -1.
  /// Its modem lines as found, where it has them: put back at the end if the run drove them.
  std::optional<ModemLines> lines_found{};
  bool lines_driven = false;  ///< The run drove its RTS and DTR.
  bool loopback_set = false;  ///< The run turned its UART's own loopback on.
  /// It was lost by a hang-up, its path still leading to the node it had open: opened again,
  /// it is the same port, which gets back at the end what it had before the run.
  bool hung_up_in_place = false;
  /// Its RS-485 mode as found at the start, put back at the end; empty where the run left it.
  /// A port lost and opened again keeps the mode it had at the start.
  std::optional<serial_rs485> rs485_found{};
};

/// The two ports of a run.
struct Ports {
  Port port1;
  Port port2;
};

/// Port 1 or port 2.
// cppcheck-suppress constParameter ; the port it returns is changed through it
inline Port& port_numbered(Ports& ports, PortNumber number) {
  return number == PortNumber::one ? ports.port1 : ports.port2;
}
inline const Port& port_numbered(const Ports& ports, PortNumber number) {
  return number == PortNumber::one ? ports.port1 : ports.port2;
}

// ports.cpp
/// Tells the two ports apart by their paths, then takes them, the lower device first: opens
/// each without waiting for carrier and without making it the controlling terminal, locks it,
/// and at once saves its attributes and makes it quiet; then gives both the line settings.
/// False when a port will not open (nothing printed: the path lines tell which), when both
/// names lead to one device, or when another program holds one locked; a port it did not get
/// is closed untouched, and one it got is put back as it was.
bool open_ports(Port& port1, Port& port2, const LineSettings& settings);
/// Puts back the attributes the port had when it was opened (and its loopback, modem lines and
/// RS-485 mode, where the run changed them), and closes it.
void restore_port(Port& port);
/// Whether the port has gone: its path no longer leads to the node it has open (a USB adapter
/// that was unplugged, or a pty whose far end closed, leaves no node or a new one behind), or
/// its descriptor was hung up (TIOCVHANGUP, a modem's carrier loss), which no read or write
/// through it will ever get over.
bool port_gone(const Port& port);
/// Closes a port that is gone and marks it lost; there is nothing left to restore through it.
/// What a port hung up in place had before the run is kept for it when it is back.
void lose_port(Port& port);
/// Opens a lost port's path again as at the start: not the other port (known before it is
/// opened), without carrier or controlling terminal, locked, saved, quiet and configured.
/// False while that cannot be done.
bool reopen_port(Port& port, const Port& other, const LineSettings& settings);

}  // namespace looptest
