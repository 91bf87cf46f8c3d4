// wiring.h: what is wired to the two ports, found by sending the start of the test stream out
// of each and looking where it comes back (a loop plug on each port, a cable between them, or
// the UARTs' own loopback), and which handshake inputs follow which outputs through it.
#pragma once

#include "driver/ports.h"
#include "settings/settings.h"

namespace looptest {

enum class Wiring {
  none,      ///< The stream does not come back round: the run cannot check, and fails.
  loops,     ///< A loop on each port: what leaves a port comes back into it.
  cable,     ///< A cable: what leaves one port comes into the other.
  internal,  ///< Each UART's own loopback, as a loop on each port.
};

/// What the search for the wiring found.
struct WiringFound {
  Wiring wiring = Wiring::none;
  bool stopped = false;  ///< The control descriptor became readable meanwhile: a stop.
};

/// Where what leaves a port comes back: the port itself or the other one; 0 for neither.
int returning_port(Wiring wiring, int port);

// wiring.cpp
/// Finds the wiring, with the UARTs' own loopback turned on first for check=internal, and
/// prints one line of it: "wiring: ..." or, for each port whose stream comes back nowhere (or
/// that has no loopback), an ERROR line. Stops waiting when control becomes readable.
WiringFound find_wiring(Ports& ports, const LineSettings& settings, int control);
/// Raises and drops RTS and DTR on each port and prints, for each, which inputs of the port
/// its lines come back to follow them. False when, under hardware flow control, a port's CTS
/// follows nothing, so that its data could not flow; said on an ERROR line.
bool report_handshake(Ports& ports, Wiring wiring, const LineSettings& settings, int control);

}  // namespace looptest
