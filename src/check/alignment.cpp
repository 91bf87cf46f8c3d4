#include "check/alignment.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace looptest {

namespace {

// The best pairing of the first bytes with the first positions: its faults, and of those
// with as many, the fewest right bytes (so the most wrong ones).
struct Pairing {
  std::uint16_t faults = 0;
  std::uint16_t right = 0;
  friend bool operator<(const Pairing& a, const Pairing& b) {
    return a.faults != b.faults ? a.faults < b.faults : a.right < b.right;
  }
};

Pairing with_fault(Pairing p) {
  ++p.faults;
  return p;
}

}  // namespace

CheckCounts one_burst(std::uint64_t bytes, std::uint64_t positions) {
  const std::uint64_t wrong = std::min(bytes, positions);
  return {.checked = wrong, .wrong = wrong, .lost = positions - wrong, .extra = bytes - wrong};
}

CheckCounts align_burst(std::span<const char> received, std::span<const char> expected,
                        unsigned char mask) {
  // One row of the table a position at a time: row[i] pairs the first i bytes with the
  // positions so far. Row 0 pairs bytes with no position: all extra.
  std::array<Pairing, burst_reach + 1> row{};
  const std::size_t bytes = std::min(received.size(), burst_reach);
  const std::size_t positions = std::min(expected.size(), burst_reach);
  for (std::size_t i = 0; i <= bytes; ++i) row[i] = {.faults = static_cast<std::uint16_t>(i)};
  for (std::size_t j = 0; j < positions; ++j) {
    Pairing diagonal = row[0];    // the first i - 1 bytes with the positions before j
    row[0] = with_fault(row[0]);  // position j lost
    for (std::size_t i = 1; i <= bytes; ++i) {
      Pairing paired = diagonal;
      if (((static_cast<unsigned char>(received[i - 1]) ^ static_cast<unsigned char>(expected[j])) &
           mask) == 0) {
        ++paired.right;
      } else {
        ++paired.faults;
      }
      diagonal = row[i];
      row[i] = std::min({paired, with_fault(row[i]), with_fault(row[i - 1])});
    }
  }
  const Pairing best = row[bytes];
  if (best.faults + burst_split_gain > std::max(bytes, positions)) {
    return one_burst(bytes, positions);
  }
  // Bytes = right + wrong + extra, positions = right + wrong + lost, faults = wrong + lost +
  // extra.
  const std::uint64_t wrong =
      bytes + positions - 2 * static_cast<std::uint64_t>(best.right) - best.faults;
  return {.checked = best.right + wrong,
          .wrong = wrong,
          .lost = positions - best.right - wrong,
          .extra = bytes - best.right - wrong};
}

}  // namespace looptest
