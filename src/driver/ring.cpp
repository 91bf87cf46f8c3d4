#include "driver/ring.h"

#include "driver/counts.h"

namespace looptest {

namespace {

void publish(const StreamChecker& checker, DirectionCounts& counts) {
  counts.checked.store(checker.counts.checked, std::memory_order_relaxed);
  counts.wrong.store(checker.counts.wrong, std::memory_order_relaxed);
  counts.lost.store(checker.counts.lost, std::memory_order_relaxed);
  counts.extra.store(checker.counts.extra, std::memory_order_relaxed);
}

}  // namespace

void check_arrived(RingPart& part, std::span<const char> arrived, DirectionCounts& counts) {
  check_received(part.checker, arrived);
  publish(part.checker, counts);
}

std::span<const char> owed_stream(RingPart& part, std::span<char> block, DirectionCounts& counts) {
  const std::span<const char> owed = owed_block(part, block);
  if (!owed.empty()) counts.generated.store(part.generated, std::memory_order_relaxed);
  return owed;
}

void settle_part(RingPart& part, std::uint64_t sent, DirectionCounts& counts) {
  settle_checker(part.checker, sent);
  publish(part.checker, counts);
}

}  // namespace looptest
