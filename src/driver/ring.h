// ring.h: a relay's hold on its part of the ring (check/ring.h): what it checks and what it
// makes is published to the counts both relay processes share, for the report.
#pragma once

#include <cstdint>
#include <span>

#include "check/ring.h"

namespace looptest {

struct DirectionCounts;

// ring.cpp
/// Checks what arrived, and keeps counts, which both relay processes share, current.
void check_arrived(RingPart& part, std::span<const char> arrived, DirectionCounts& counts);
/// The stream the relay owes its output now (see owed_block()), made into block; counts
/// says how much of the stream it made so far.
std::span<const char> owed_stream(RingPart& part, std::span<char> block, DirectionCounts& counts);
/// At the end, once nothing more comes: what was never placed, and what its hop was sent and
/// did not deliver, is counted.
void settle_part(RingPart& part, std::uint64_t sent, DirectionCounts& counts);

}  // namespace looptest
