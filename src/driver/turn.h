// turn.h: the turn on a half-duplex pair. Only the relay that holds it writes, one frame of
// its ring, and hands it to the other once the frame came back whole or its time is up, so
// that the two ports never send at once. What a relay reads while it does not write is the
// other's frame, or the echo of it: it is not checked.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

namespace looptest {

struct RingPart;

/// One relay's hold on the turn.
struct Turn {
  std::atomic<int>* holder = nullptr;  ///< In the page both relays share (counts.h).
  int own = 0;                         ///< 0 for the first relay, 1 for the second.
  int bound_ms = 0;                    ///< At most this long per frame (turn_milliseconds()).
  int quiet_ms = 0;                    ///< Waited before writing (turn_quiet_milliseconds()).
  enum class State { waiting, quiet, writing } state = State::waiting;
  std::uint64_t frame_end = 0;  ///< Writing: the stream position its frame ends at.
  timespec next{};              ///< Quiet: when it writes; writing: when it hands over.
};

// turn.cpp
/// Before a pass of the relay that reads input and writes part's stream, with a block still
/// pending or not: hands the turn over, takes it, or, once quiet, throws away what input holds
/// (the other's frame, or its echo) and writes, as the ring and the time say. Returns how long
/// the pass may wait for input: a moment while it waits for the turn.
int take_turns(Turn& turn, const RingPart& part, bool pending, int input, int timeout_ms);
/// Whether the relay writes its frame and checks what it reads.
inline bool writing(const Turn& turn) { return turn.state == Turn::State::writing; }
/// How many stream positions the relay may write now: none but while it writes.
std::uint64_t turn_allows(const Turn& turn, std::uint64_t generated);

}  // namespace looptest
