// checker.h: follows the test stream as a hop delivers it, and counts what the hop did to it:
// bytes changed, lost and added. It finds its place again after a burst of faults.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "check/alignment.h"
#include "check/stream.h"

namespace looptest {

/// Bytes received and not yet placed that the checker holds at most.
inline constexpr std::size_t check_window_size = 1024;
/// Bytes that must equal the stream, in a row, for the checker to take a place in it.
inline constexpr std::size_t match_length = 16;
/// How far a near alignment may reach: into the window, and ahead of the expected position.
inline constexpr std::size_t near_reach = 64;
static_assert(near_reach + match_length == burst_reach, "the stream ahead holds a burst's places");

/// One direction's checker: where it is in the stream, what it counted, and the bytes it
/// holds while it looks for its place after a fault.
struct StreamChecker {
  StreamAlphabet alphabet{};
  std::uint64_t position = 0;  ///< The stream position the next byte in step should hold.
  CheckCounts counts{};
  /// Unplaced bytes, oldest first, from start on: twice the window, so that giving up the
  /// oldest byte moves none of the others.
  std::array<char, 2 * check_window_size> window{};
  std::size_t start = 0;  ///< Where the unplaced bytes start in window.
  std::size_t held = 0;   ///< How many there are.
  std::array<char, near_reach + match_length> ahead{};  ///< The stream from position on.
  std::size_t near_next = 0;  ///< The window offset whose near alignments are tried next.
  std::size_t far_next = 0;   ///< The window offset tried next as a frame's header.
};

// checker.cpp
/// A checker that expects the stream from position first on.
StreamChecker make_checker(const StreamAlphabet& alphabet, std::uint64_t first = 0);
/// Follows the stream through the bytes received next: a block at once while in step. After a
/// fault at expected position p, it takes the first place (o, q), q >= p, where 16 bytes of the
/// window from o equal the stream from q: near ones first (o and q - p at most 64, smallest o
/// first), then frame headers anywhere in the window; moved back over bytes that equal the
/// stream before it. The o bytes and q - p positions before it, both at most 80, are paired
/// as the fewest faults explain them (align_burst), so that faults a few good bytes apart
/// count as they are; of more, as many as both have are wrong, the other positions lost, the
/// other bytes extra. A full window gives up its oldest byte as extra. The counts do not
/// depend on how the bytes are split into calls.
void check_received(StreamChecker& checker, std::span<const char> received);
/// Bytes received and not yet placed.
std::size_t unresolved(const StreamChecker& checker);
/// Ends the check once nothing more arrives, sent being the position after the last one
/// written into the hop. The end of the stream is the last place: unplaced bytes that equal
/// the stream's last symbols are right, and the other bytes and the positions still expected
/// are counted as after a fault.
void settle_checker(StreamChecker& checker, std::uint64_t sent);

}  // namespace looptest
