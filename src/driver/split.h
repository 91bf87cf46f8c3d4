// split.h: the second relay process: its fork, its loop, and its end as the first process
// sees it.
#pragma once

#include <sys/types.h>

#include "driver/ports.h"
#include "driver/relay.h"

namespace looptest {

struct Control;
struct RingPart;

/// The second relay, as the first process knows it.
struct SecondRelay {
  pid_t pid = -1;        ///< While it runs and is not reaped.
  int link = -1;         ///< To it (see link.h); closing it asks it to end at once.
  bool started = false;  ///< It was made: a failed fork leaves only port 1 to port 2.
};

// split.cpp
/// What the second relay relays with: its counts, and with the test stream its part of the
/// ring, the counts of the relay that writes into its input's hop, and how long its ring may
/// take to run dry at the end.
struct SecondRelayPart {
  DirectionCounts* counts = nullptr;
  RingPart* ring = nullptr;
  const DirectionCounts* upstream = nullptr;
  int ring_ms = 0;
};

/// Forks the second relay, which relays port 2 to port 1 until the first process asks it to
/// end; the first process watches the link through control. Should the fork fail, nothing is
/// started.
SecondRelay start_second_relay(Control& control, const Ports& ports, const SecondRelayPart& part);
/// True when the second relay has ended, and is then no more to be waited for.
bool reap_second(SecondRelay& second);
/// Asks the second relay to finish the block in hand, and end.
void ask_second_to_finish(const SecondRelay& second);
/// Asks the second relay to end at once, by closing the link.
void hurry_second(SecondRelay& second);
/// Kills a second relay that would not end, and reaps it.
void kill_second(SecondRelay& second);

}  // namespace looptest
