#include "driver/turn.h"

#include <termios.h>

#include <algorithm>

#include "check/ring.h"
#include "check/stream.h"
#include "driver/relay.h"
#include "system/clock.h"

namespace looptest {

namespace {

// How long a relay without the turn waits for input before it looks at the turn again.
constexpr int look_again_ms = 2;

// Its frame is out and came back whole, or stopped short with the stream.
bool frame_back(const RingPart& part, const Turn& turn) {
  const bool written = part.generated >= turn.frame_end || !part.writing;
  return written && part.checker.position >= part.generated && unresolved(part.checker) == 0;
}

}  // namespace

int take_turns(Direction& direction, int timeout_ms) {
  Turn& turn = *direction.turn;
  const RingPart& part = *direction.ring;
  if (turn.holding && direction.pending.empty() &&
      (frame_back(part, turn) || milliseconds_until(turn.hand_over_at) == 0)) {
    turn.holding = false;
    turn.holder->store(1 - turn.own, std::memory_order_release);
  }
  if (!turn.holding && turn.holder->load(std::memory_order_acquire) == turn.own) {
    // Nothing is read of what the other sent: a failed flush only leaves it to be checked.
    tcflush(direction.in, TCIFLUSH);
    turn.holding = true;
    turn.frame_end = part.generated + (part.writing ? frame_length : 0);
    turn.hand_over_at = later_by(monotonic_now(), turn.bound_ms);
  }
  const int most =
      turn.holding ? std::max(1, milliseconds_until(turn.hand_over_at)) : look_again_ms;
  return timeout_ms < 0 ? most : std::min(timeout_ms, most);
}

std::uint64_t turn_allows(const Turn& turn, std::uint64_t generated) {
  return turn.holding && turn.frame_end > generated ? turn.frame_end - generated : 0;
}

}  // namespace looptest
