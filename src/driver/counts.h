// counts.h: the page both relay processes share, and what each direction counts in it.
#pragma once

#include <atomic>
#include <cstdint>

namespace looptest {

/// What one direction has done. The process that relays the direction keeps it current; the
/// first process reads it to report and to judge.
struct DirectionCounts {
  std::atomic<std::uint64_t> bytes{0};        ///< Written out of the other port.
  std::atomic<std::uint64_t> read_errors{0};  ///< Failed reads, and hang-ups of the input.
  std::atomic<std::uint64_t> write_errors{0};
  std::atomic<std::uint64_t> pending{0};  ///< Read, and not yet written.
  /// While the output takes none of the pending bytes: since when, in nanoseconds on the
  /// monotonic clock; 0 otherwise.
  std::atomic<std::int64_t> waiting_since{0};
  /// When the relay last moved bytes (read a block, or wrote some of it), in nanoseconds on
  /// the monotonic clock; set when it starts. A relay that moves nothing more (stopped, or
  /// stuck) leaves its input to back up.
  std::atomic<std::int64_t> last_moved{0};
  /// With the test stream: what the relay's checker counted so far (see check/checker.h),
  /// the stream positions it wrote out, and whether it stopped writing them.
  std::atomic<std::uint64_t> checked{0};
  std::atomic<std::uint64_t> wrong{0};
  std::atomic<std::uint64_t> lost{0};
  std::atomic<std::uint64_t> extra{0};
  std::atomic<std::uint64_t> generated{0};
  std::atomic<bool> stream_ended{false};
  /// The reason (errno) of the direction's last failed read or write; 0 for none.
  std::atomic<int> last_error{0};
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "shared between processes");
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "shared between processes");

/// The page both relay processes share. The first process writes forward and the second
/// backward; both write dropped_lines; the first reads all of it to report. With the ring on a
/// half-duplex pair, turn says which relay may write (0 the first, 1 the second): only the
/// relay that holds it writes it, handing it to the other (driver/turn.h).
struct SharedCounts {
  DirectionCounts forward;   ///< Port 1 to port 2, relayed by the first process.
  DirectionCounts backward;  ///< Port 2 to port 1, relayed by the second.
  std::atomic<std::uint64_t> dropped_lines{0};
  std::atomic<int> turn{0};
};
static_assert(std::atomic<int>::is_always_lock_free, "shared between processes");

// counts.cpp
/// A zeroed page that a forked process shares; nullptr when there is no memory for it (errno
/// says why).
SharedCounts* map_shared_counts();

/// Adds amount to a counter of the page.
inline void count(std::atomic<std::uint64_t>& counter, std::uint64_t amount = 1) {
  counter.fetch_add(amount, std::memory_order_relaxed);
}

}  // namespace looptest
