// relay.h: one direction of the loop test, reading one port and writing the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>

#include "driver/counts.h"

namespace looptest {

/// The most one pass reads and relays.
inline constexpr std::size_t transfer_size = 4096;
/// How long a pass waits for input before it reads anyway.
inline constexpr int wait_seconds = 5;
inline constexpr int wait_milliseconds = wait_seconds * 1000;

/// A read at least this long means input is backing up, so the next pass reads without
/// waiting first. (A terminal holds at most 4095 bytes for reading, so a block is never full.)
inline constexpr std::size_t backed_up_read = transfer_size / 2;
/// At most this many reads in a row go without a wait, as a wait also watches for a stop.
inline constexpr int most_reads_without_wait = 16;

struct RingPart;
struct Turn;

/// One direction: its ports, the block in flight and when a failed direction may try again.
struct Direction {
  int in = -1;
  int out = -1;
  DirectionCounts* counts = nullptr;
  /// With the test stream: its part of the ring. It checks what it reads, and writes the
  /// stream on instead.
  RingPart* ring = nullptr;
  /// With the ring on a half-duplex pair: the turn, without which it writes nothing and
  /// checks nothing it reads.
  Turn* turn = nullptr;
  std::array<char, transfer_size> buffer{};
  std::span<const char> pending{};     ///< Read, and not yet written.
  std::optional<timespec> retry_at{};  ///< Set after a failed pass: the end of its wait.
  /// Reads since the last wait that each found input backed up.
  int backed_up_reads = 0;
  bool waiting_for_room = false;  ///< counts->waiting_since is set.
};

enum class Pass {
  idle,          ///< Nothing arrived.
  relayed,       ///< A block was read and all of it written.
  hung_up,       ///< The port said it was readable, yet had nothing: it hung up.
  read_failed,   ///< The read failed.
  write_failed,  ///< The write failed; the block is kept until drop_failed_block().
  stopped,       ///< The control descriptor became readable; a pending block is kept.
  held,          ///< The output took no more before the time ran out; the rest is kept.
};

struct PassResult {
  Pass pass = Pass::idle;
  int count = 0;  ///< What the read returned.
  int error = 0;  ///< With read_failed or write_failed: the reason (errno).
};

/// Unless a block is pending, waits up to timeout_ms for input and reads at most one block;
/// then writes the block, waiting while the port takes no more, and counts what it did.
/// While input backs up it reads without waiting, up to most_reads_without_wait times.
/// Stops as soon as a wait finds control readable; a control of -1 never is.
PassResult relay_pass(Direction& direction, int control, int timeout_ms);
/// Writes the pending block, waiting up to timeout_ms (-1: without end) for the port to take
/// more: relayed once all of it is out, else write_failed, stopped or held.
Pass write_pending(Direction& direction, int control, int timeout_ms);
/// After a failed write to a port that is still there: says so, counts the error and drops the
/// block. (A block for a port that has gone is kept for the port when it is back.)
void drop_failed_block(Direction& direction);

enum class RelayEnd {
  stopped,       ///< control became readable.
  failed,        ///< A read failed or the input hung up, and said so.
  write_failed,  ///< A write failed: the block is kept, for the caller to drop or deliver.
};

/// Relays until control becomes readable or a pass fails. After a failed pass the next call
/// first waits out the rest of that pass's wait, so a dead port costs one message per wait and
/// no CPU.
RelayEnd relay_direction(Direction& direction, int control);

}  // namespace looptest
