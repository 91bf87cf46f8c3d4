// relay_loop.h: the loop both relay processes run: one direction relayed until the process's
// control descriptor becomes readable, through ports that are lost and come back. The first
// process looks for a lost port itself; the second tells the first, and waits for its word.
#pragma once

#include "driver/ports.h"
#include "driver/reconnect.h"
#include "driver/relay.h"
#include "settings/port_number.h"
#include "settings/settings.h"

namespace looptest {

enum class RelayProcess {
  first,   ///< Relays port 1 to port 2, and follows lost ports.
  second,  ///< Relays port 2 to port 1, and is told of lost ports.
};

/// One relay process's loop: its direction and ports, and what it watches.
struct RelayLoop {
  RelayProcess process = RelayProcess::first;
  Direction* direction = nullptr;
  Ports* ports = nullptr;
  PortNumber input = PortNumber::one;  ///< The port the direction reads.
  /// What ends a call: in the first process its control descriptor, in the second the link.
  int control = -1;
  /// The link to the other process; -1 in a first process that has no second.
  int link = -1;
  /// The first process's search for lost ports, and the settings a port that is back takes.
  Reconnect* reconnect = nullptr;
  const LineSettings* settings = nullptr;
  /// In the second process: it told the first of a port gone, and waits for its word.
  bool awaiting_word = false;
};

// relay_loop.cpp
/// Relays until control becomes readable. After a failed pass, the ports that have gone are
/// lost (first) or told of (second); a block that could not be written to a port that is still
/// there is dropped, as it never will be. While a port is lost nothing is relayed.
void relay_until_control(RelayLoop& loop);
/// Points the loop's direction at its ports as they are now, after one was lost or is back.
void point_at_ports(RelayLoop& loop);

}  // namespace looptest
