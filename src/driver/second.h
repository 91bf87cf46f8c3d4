// second.h: the second relay process, port 2 to port 1, from its fork to its end.
#pragma once

#include <sys/types.h>

#include <optional>

#include "driver/counts.h"
#include "driver/ports.h"
#include "driver/ring.h"
#include "driver/turn.h"

namespace looptest {

/// What the second relay relays with: its counts, and with the test stream its part of the
/// ring, the counts of the relay that writes into its input's hop, and how long its ring may
/// take to run dry at the end; on a pair, its hold on the turn.
struct SecondRelayPart {
  DirectionCounts* counts = nullptr;
  std::optional<RingPart> ring{};
  const DirectionCounts* upstream = nullptr;
  int ring_ms = 0;
  /// On a half-duplex pair: its hold on the turn.
  std::optional<Turn> turn{};
};

// second.cpp
/// The second relay, in the process forked for it: relays port 2 to port 1 until the first
/// process (first) asks it over link to finish the block in hand and end, or closes the link,
/// which asks it to end at once. Its exit status is 0 when it ended as asked.
[[noreturn]] void run_second_relay(Ports ports, SecondRelayPart& part, int link, pid_t first);

}  // namespace looptest
