#include "check/ring.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "check/stream.h"

namespace looptest {
namespace {

TEST(RingFill, A10thOfASecondOfTheLineHeldBetween16And1024) {
  const std::pair<std::int32_t, std::uint64_t> rates[] = {
      {50, 16}, {1200, 16}, {9600, 96}, {57600, 576}, {115200, 1024}, {460800, 1024}};
  for (const auto& [rate, fill] : rates) {
    EXPECT_EQ(ring_fill(LineSettings{.baudrate = rate}), fill) << rate;
  }
  // Its drain at the end: what it holds, twice, at the line's rate, and half a second.
  EXPECT_EQ(ring_drain_milliseconds(LineSettings{.baudrate = 115200}), 500 + 178);
  EXPECT_EQ(ring_drain_milliseconds(LineSettings{.baudrate = 50}), 500 + 6400);
}

// Who fills the ring: with a loop on each port, the second relay alone (its output leads into
// the first's input, round through both); with a cable, each relay its own.
TEST(RingParts, TheWiringSaysWhoFillsTheRing) {
  const LineSettings settings{};
  const std::uint64_t fill = ring_fill(settings);
  for (const auto& [wiring, forward_lead] :
       {std::pair{Wiring::loops, std::uint64_t{0}}, std::pair{Wiring::internal, std::uint64_t{0}},
        std::pair{Wiring::cable, fill}}) {
    RingPart forward;
    RingPart backward;
    make_ring_parts(settings, wiring, forward, backward);
    EXPECT_EQ(forward.lead, forward_lead);
    EXPECT_EQ(backward.lead, fill);
  }
}

// Round a ring of two parts, each passing on what it owes as the other writes it, the stream
// goes on for ever with the fill in flight and nothing counted but what was checked.
TEST(RingParts, TwoPartsPassTheStreamRoundWithTheFillInFlight) {
  const LineSettings settings{};
  RingPart first;
  RingPart second;
  make_ring_parts(settings, Wiring::loops, first, second);
  std::array<char, 4096> block{};
  std::vector<char> into_first;   // the hop the second writes, that the first reads
  std::vector<char> into_second;  // and the other
  for (int lap = 0; lap < 200; ++lap) {
    std::span<const char> owed = owed_block(second, block);
    into_first.insert(into_first.end(), owed.begin(), owed.end());
    // In flight round the ring: the fill, all of it on its way to the first.
    EXPECT_EQ(second.generated - first.checker.position, ring_fill(settings)) << lap;
    check_received(first.checker, into_first);
    into_first.clear();
    owed = owed_block(first, block);
    into_second.insert(into_second.end(), owed.begin(), owed.end());
    check_received(second.checker, into_second);
    into_second.clear();
    EXPECT_EQ(first.generated, first.checker.position) << "the first writes what it read";
  }
  const CheckCounts& first_counts = first.checker.counts;
  EXPECT_GT(first_counts.checked, 100000u);
  EXPECT_EQ(first_counts.wrong + first_counts.lost + first_counts.extra, 0u);
  EXPECT_EQ(second.checker.counts.checked, first.generated);
  // What the second still owes is sent and never arrives; stopped, it owes nothing more. The
  // first, settled with what was sent, counts what never came as lost.
  const std::size_t never_came = owed_block(second, block).size();
  EXPECT_EQ(never_came, ring_fill(settings));
  second.writing = false;
  EXPECT_TRUE(owed_block(second, block).empty());
  settle_checker(first.checker, second.generated);
  EXPECT_EQ(first_counts.lost, never_came);
}

// A byte a hop changed is counted on that hop, and what is passed on is the stream again.
TEST(RingParts, WhatIsPassedOnIsTheStreamWhateverArrived) {
  const LineSettings settings{};
  RingPart part;
  RingPart unused;
  make_ring_parts(settings, Wiring::cable, part, unused);
  std::array<char, 4096> block{};
  const std::span<const char> first = owed_block(part, block);
  std::vector<char> arrived(first.begin(), first.end());
  arrived[500] = static_cast<char>(arrived[500] ^ 0x10);
  check_received(part.checker, arrived);
  EXPECT_EQ(part.checker.counts.wrong, 1u);
  const std::span<const char> next = owed_block(part, block);
  std::vector<char> expected(next.size());
  stream_block(stream_alphabet(settings), ring_fill(settings), expected);
  EXPECT_TRUE(std::equal(next.begin(), next.end(), expected.begin()));
}

}  // namespace
}  // namespace looptest
