// turn.h: the turn on a half-duplex pair. Only the relay that holds it writes, one frame of
// its ring, and hands it to the other once the frame came back whole or its time is up, so
// that the two ports never send at once. What a relay reads while the other holds the turn is
// the other's frame, or the echo of it: it is not checked.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

namespace looptest {

struct Direction;

/// One relay's hold on the turn.
struct Turn {
  std::atomic<int>* holder = nullptr;  ///< In the page both relays share (counts.h).
  int own = 0;                         ///< 0 for the first relay, 1 for the second.
  int bound_ms = 0;                    ///< At most this long per turn (turn_milliseconds()).
  bool holding = false;
  std::uint64_t frame_end = 0;  ///< The stream position its frame ends at.
  timespec hand_over_at{};
};

// turn.cpp
/// Before a pass: hands the turn over, or takes it, as the ring and the time say; taking it,
/// throws away what its input holds (the other's frame, or its echo). Returns how long the
/// pass may wait for input: while the other holds the turn, a moment, to see it come back.
int take_turns(Direction& direction, int timeout_ms);
/// How many stream positions the relay may write now: none without the turn.
std::uint64_t turn_allows(const Turn& turn, std::uint64_t generated);

}  // namespace looptest
