// alignment.h: how the bytes of a short burst of faults pair with the stream positions they
// stand for, so that two faults a few good bytes apart are counted as two, and not as one
// burst in which the good bytes between them are wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace looptest {

/// What a hop did to the stream. Bytes received = checked + extra + unresolved; positions the
/// stream passed = checked + lost. Bytes are compared in the bits the line carries only.
struct CheckCounts {
  /// Bytes that arrived at a stream position and were compared with it, right or wrong.
  std::uint64_t checked = 0;
  /// Of the checked bytes, those that arrived changed.
  std::uint64_t wrong = 0;
  /// Stream positions whose byte never arrived.
  std::uint64_t lost = 0;
  /// Bytes that arrived at no stream position: duplicates, noise.
  std::uint64_t extra = 0;
  friend bool operator==(const CheckCounts&, const CheckCounts&) = default;
};

/// Bytes and positions a burst may have for align_burst: the stream the checker has ahead.
inline constexpr std::size_t burst_reach = 80;
/// How many fewer faults make a burst two or more faults rather than one.
inline constexpr std::uint64_t burst_split_gain = 8;

// alignment.cpp
/// A burst counted as one fault: of its bytes and positions, as many as both have are wrong,
/// the other positions lost, the other bytes extra.
CheckCounts one_burst(std::uint64_t bytes, std::uint64_t positions);
/// A burst whose received bytes stand for the stream's expected symbols, both at most
/// burst_reach long, counted as the fewest faults explain it (each byte right, wrong or
/// extra, each position matched by a byte or lost; of equally few, the most wrong) when that
/// makes at least burst_split_gain fewer faults than one_burst: good bytes in step inside it,
/// between two faults, and not a few a long change matches by chance. Else as one_burst.
/// Bytes are compared in the bits of mask only.
CheckCounts align_burst(std::span<const char> received, std::span<const char> expected,
                        unsigned char mask);

}  // namespace looptest
