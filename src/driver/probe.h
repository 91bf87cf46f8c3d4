// probe.h: the wiring's I/O: the UARTs' own loopback turned on, the start of the test stream
// sent out of each port and both ports read to see where it comes back, and the modem lines
// driven and read; the lines that say what was found. check/wiring.h decides.
#pragma once

#include "check/wiring.h"
#include "driver/control.h"
#include "driver/ports.h"
#include "settings/settings.h"

namespace looptest {

/// What the search for the wiring found.
struct WiringFound {
  Wiring wiring = Wiring::none;
  bool stopped = false;  ///< The control descriptor became readable meanwhile: a stop.
};

// probe.cpp
/// Finds the wiring, with the UARTs' own loopback turned on first for check=internal, and
/// prints one line of it: "wiring: ..." or, for each port whose stream comes back nowhere (or
/// that has no loopback), an ERROR line. A port that is no terminal is not probed: it always
/// reads, and its run fails as it is. A report asked for meanwhile is kept for the relays;
/// only a stop ends the probes.
WiringFound find_wiring(Ports& ports, const LineSettings& settings, Control& control);
/// Raises and drops RTS and DTR on each port and prints, for each, which inputs of the port
/// its lines come back to follow them. False when, under hardware flow control, a port's CTS
/// follows nothing, so that its data could not flow; said on an ERROR line. The wiring is one
/// that find_wiring() found, not none.
bool report_handshake(Ports& ports, Wiring wiring, const LineSettings& settings, Control& control);

}  // namespace looptest
