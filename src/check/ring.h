// ring.h: the test stream round the ring. Each relay checks what it reads against the stream
// and writes the stream on, made anew: a fault on one hop is counted once, by the relay that
// reads that hop, and the stream it passes on is whole again. Each relay writes ahead of what
// it has checked by its lead, so the ring holds the sum of the leads in flight. Pure: the
// relays read and write, and publish the counts (driver/ring.h).
#pragma once

#include <cstdint>
#include <span>

#include "check/checker.h"
#include "check/wiring.h"
#include "settings/settings.h"

namespace looptest {

/// One relay's part of the ring.
struct RingPart {
  StreamChecker checker{};
  std::uint64_t lead = 0;       ///< Positions written ahead of those read: its fill.
  std::uint64_t generated = 0;  ///< Positions of the stream made for the output so far.
  bool writing = true;          ///< False once the end stops the stream.
  /// How long the end waits for the ring to bring anything before it gives it up as stalled.
  int stall_ms = 0;
};

// ring.cpp
/// The positions a ring holds in flight: 100 ms of characters at the line's rate, enough for a
/// real line to run near that rate through both relays' wake-ups; at least 16, for a slow
/// line; at most 1024, a quarter of the smallest buffer a hop has (a tty's 4096-byte input and
/// output queues), so that no output of the ring ever fills, no relay ever waits to write
/// while another waits for it, and flow control (RTS/CTS or XOFF, raised as an input fills)
/// never stops it: the ring cannot deadlock.
std::uint64_t ring_fill(const LineSettings& settings);
/// How long the end gives a ring to run dry: what it holds, twice, at the line's rate, and
/// half a second for the drivers.
int ring_drain_milliseconds(const LineSettings& settings);
/// How long a ring that runs dry may bring nothing before the end gives it up as stalled:
/// two characters' time at the line's rate, between which one comes on a line that moves, and
/// half a second for the drivers and the relays' wake-ups.
int ring_stall_milliseconds(const LineSettings& settings);
/// How long a relay holds the turn on a pair for its frame to come back: the frame's time at
/// the line's rate, twice, and half a second for the drivers and the relays' wake-ups.
int turn_milliseconds(const LineSettings& settings);
/// How long a relay that took the turn waits before it writes: four characters' time at the
/// line's rate, for what the other sent to reach the drivers (a UART's receiver tells of its
/// last characters only after a silence), and, in RS-485 mode, the time the other's driver
/// stays on the pair after it has sent (delayafter=).
int turn_quiet_milliseconds(const LineSettings& settings);
/// The two parts of the rings the wiring makes: with a loop on each port, one ring through
/// both relays, filled by the second; with a cable, a ring for each, each filling its own; on
/// a pair, a ring for each too, which the turn (driver/turn.h) lets write one frame at a time.
void make_ring_parts(const LineSettings& settings, Wiring wiring, RingPart& forward,
                     RingPart& backward);
/// The stream the part owes its output now (what it checked or holds unplaced, and its lead,
/// less what it made already), made into block, at most its size, and counted as generated;
/// empty once nothing is owed or the stream has stopped.
std::span<const char> owed_block(RingPart& part, std::span<char> block);

}  // namespace looptest
