// reconnect.h: ports that are lost while a run relays, and taken up again when they are back.
// The first process finds a port gone, looks for it at the relay's pace and hands it to the
// second relay when it is back; the second relay tells the first when it finds a port gone.
#pragma once

#include <time.h>

#include "driver/link.h"
#include "driver/ports.h"
#include "driver/relay.h"
#include "driver/split.h"
#include "settings/settings.h"

namespace looptest {

struct Control;

/// Lost ports, as the first process follows them.
struct Reconnect {
  timespec next_search{};  ///< When lost ports are looked for again.
  bool ever_lost = false;  ///< A port was lost at some time: the run cannot pass.
};

// reconnect.cpp
/// Points a direction at the ports it uses, as they are now; a new port is tried at once.
void point_at_ports(Direction& direction, const Port& in, const Port& out);
/// Whether either port is lost.
bool any_lost(const Ports& ports);

/// After the first relay failed a pass: each port that has gone is lost from now on.
void look_for_lost_ports(Ports& ports, Reconnect& reconnect);
/// Opens each lost port again where a device is there again, and gives it to the second relay.
void search_lost_ports(Ports& ports, Reconnect& reconnect, const SecondRelay& second,
                       const LineSettings& settings);
/// Takes the notes the second relay sent: a port it found gone is checked here, as it may be
/// back by now; if it is there as before, the second relay is told to carry on.
void take_notes(Ports& ports, Reconnect& reconnect, const SecondRelay& second, Control& control);

/// In the second relay, after a failed pass: tells the first process of each port that has
/// gone; true if any has.
bool tell_lost_ports(const Ports& ports, int link);
/// In the second relay: the port the first process sent, in place of the one it had.
void take_port(Ports& ports, const LinkMessage& message);

}  // namespace looptest
