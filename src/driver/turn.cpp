#include "driver/turn.h"

#include <termios.h>

#include <algorithm>

#include "check/ring.h"
#include "check/stream.h"
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

int take_turns(Turn& turn, const RingPart& part, bool pending, int input, int timeout_ms) {
  using State = Turn::State;
  if (turn.state == State::writing && !pending &&
      (frame_back(part, turn) || milliseconds_until(turn.next) == 0)) {
    turn.state = State::waiting;
    turn.holder->store(1 - turn.own, std::memory_order_release);
  }
  if (turn.state == State::waiting && turn.holder->load(std::memory_order_acquire) == turn.own) {
    turn.state = State::quiet;
    turn.next = later_by(monotonic_now(), turn.quiet_ms);
  }
  if (turn.state == State::quiet && milliseconds_until(turn.next) == 0) {
    // What the other sent is not read: a failed flush only leaves it to be checked.
    tcflush(input, TCIFLUSH);
    turn.state = State::writing;
    turn.frame_end = part.generated + (part.writing ? frame_length : 0);
    turn.next = later_by(monotonic_now(), turn.bound_ms);
  }
  const int most =
      turn.state == State::waiting ? look_again_ms : std::max(1, milliseconds_until(turn.next));
  return timeout_ms < 0 ? most : std::min(timeout_ms, most);
}

std::uint64_t turn_allows(const Turn& turn, std::uint64_t generated) {
  return writing(turn) && turn.frame_end > generated ? turn.frame_end - generated : 0;
}

}  // namespace looptest
