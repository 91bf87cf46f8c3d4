// drain.h: the end of a run: the relays finish the blocks they hold and the ports' drivers
// send what they hold, for a bounded time that a further stop cuts short; then what each
// output still held is known.
#pragma once

#include <time.h>

#include <cstdint>

#include "driver/ports.h"
#include "driver/relay.h"
#include "driver/ring.h"
#include "driver/verdict.h"

namespace looptest {

/// How long the end gives the relays to finish the blocks they hold and the ports' drivers to
/// send what they hold, so that a stop ends the run within a second even when flow control
/// holds a line.
inline constexpr int drain_milliseconds = 500;

/// The end's clock, and what may cut it short.
struct EndWaits {
  int signals = -1;     ///< The run's signal descriptor: a stop meanwhile hurries the end.
  timespec deadline{};  ///< When the relays' blocks and the drivers' queues are given up on.
  /// With the test stream: when the rings are given up on running dry; the deadline without.
  timespec ring_deadline{};
  std::int32_t rate = 0;  ///< The line's, for how long a transmitter may take to empty.
  bool hurried = false;   ///< A stop came during the end: its waits are cut short.
};

// drain.cpp
/// Starts the end's clock now; ring_ms is how long the rings may take to run dry (0: none).
EndWaits start_end(int signals, std::int32_t rate, int ring_ms = 0);
/// Takes the signals that came meanwhile: a stop hurries the end.
void take_signals_at_end(EndWaits& end);
/// Waits up to timeout_ms for a signal, and takes it.
void wait_for_signal_at_end(EndWaits& end, int timeout_ms);
/// What the input port holds unread as the end begins, and how long its relay has moved
/// nothing.
InputAtEnd input_at_end(const Port& input, const DirectionCounts& counts);
/// Writes the first relay's pending block until it is out or the deadline has come.
void finish_first_relay(Direction& forward, EndWaits& end);
/// With the test stream, once the relay wrote its last: reads and checks what is still on its
/// way round, until upstream (the relay that writes into its input's hop) has stopped and all
/// it sent is in, until the ring has brought nothing for its stall_ms, or until; then counts
/// what never came. control becoming readable ends it
/// early: with end, only when it holds a stop, which hurries the end. What a stop cut short
/// is on its way, and is not counted lost.
void drain_ring(Direction& direction, const DirectionCounts& upstream, timespec until, int control,
                EndWaits* end);
/// Waits for the port's driver to send what it holds, then throws away what it still holds,
/// and lets the UART's transmitter empty at the line's rate.
OutputAtEnd drain_output(const Port& port, EndWaits& end);

}  // namespace looptest
