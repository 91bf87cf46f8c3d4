// reconnect.h: ports that are lost while a run relays, and taken up again when they are back.
// The first process finds a port gone, tells the second relay to leave it, looks for it at
// the relay's pace and hands it to the second relay when it is back; the second relay tells
// the first when it finds a port gone. While a port is lost neither relay reads anything, so
// what arrives meanwhile waits in the other port's driver.
#pragma once

#include <time.h>

#include "driver/link.h"
#include "driver/ports.h"
#include "driver/relay.h"
#include "settings/port_number.h"
#include "settings/settings.h"

namespace looptest {

/// A device that is unplugged hangs its tty up a little before its node goes: after a failed
/// pass, a port that is still there is looked at again this often, for this long.
inline constexpr int recheck_milliseconds = 50;
inline constexpr int recheck_for_milliseconds = 1000;

/// Lost ports, as the first process follows them.
struct Reconnect {
  timespec next_search{};  ///< When lost ports are looked for again.
  bool ever_lost = false;  ///< A port was lost at some time: the run cannot pass.
};

/// Which of the two ports have gone.
struct GonePorts {
  bool port1 = false;
  bool port2 = false;

  bool any() const { return port1 || port2; }
  bool has(PortNumber port) const { return port == PortNumber::one ? port1 : port2; }
};

/// What the notes of the second relay said.
struct NotesTaken {
  bool lost = false;   ///< A port was found lost.
  bool ended = false;  ///< The second relay closed its end of the link.
};

// reconnect.cpp
/// Points a direction at the ports it uses, as they are now, after one was lost or came back:
/// a new port is tried at once. (Descriptors are numbers that a new port may take again.)
void point_at_ports(Direction& direction, const Port& in, const Port& out);
/// Whether either port is lost.
bool any_lost(const Ports& ports);
/// After a failed pass: which ports have gone, looking again for a moment while none has,
/// unless control becomes readable.
GonePorts ports_gone(const Ports& ports, int control);

/// After the first relay failed a pass: each port that has gone is lost from now on, and the
/// second relay (over link, -1 for none) is told to leave it.
GonePorts look_for_lost_ports(Ports& ports, Reconnect& reconnect, int link, int control);
/// Marks the other port lost too if it has gone meanwhile; opens each lost port again where
/// a device is there again, and gives it to the second relay. True when a port was lost or came
/// back.
bool search_lost_ports(Ports& ports, Reconnect& reconnect, int link, const LineSettings& settings);
/// Takes the notes the second relay sent over link: a port it found gone is checked here, as
/// it may be back by now; if it is there as before, the second relay is told to carry on.
NotesTaken take_notes(Ports& ports, Reconnect& reconnect, int link);

/// In the second relay, after a failed pass: tells the first process of each port that has
/// gone; returns which have, as ports_gone() does.
GonePorts tell_lost_ports(const Ports& ports, int link);
/// In the second relay: what the first process said of a port: it is lost, so its descriptor
/// is closed; or it is back, with this descriptor.
void take_port_note(Ports& ports, const LinkMessage& message);

}  // namespace looptest
