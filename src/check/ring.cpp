#include "check/ring.h"

#include <algorithm>

#include "check/stream.h"
#include "line/line_config.h"

namespace looptest {

std::uint64_t ring_fill(const LineSettings& settings) {
  constexpr std::uint64_t least = 16;
  constexpr std::uint64_t most = 1024;
  const auto tenth = static_cast<std::uint64_t>(characters_per_second(settings)) / 10;
  return std::clamp(tenth, least, most);
}

int ring_drain_milliseconds(const LineSettings& settings) {
  return 500 + milliseconds_for_characters(settings, 2 * ring_fill(settings));
}

int ring_stall_milliseconds(const LineSettings& settings) {
  return 500 + milliseconds_for_characters(settings, 2);
}

int turn_milliseconds(const LineSettings& settings) {
  return 500 + milliseconds_for_characters(settings, 2 * frame_length);
}

int turn_quiet_milliseconds(const LineSettings& settings) {
  const std::int32_t after = settings.rs485.value_or(false) ? std::max(settings.delayafter, 0) : 0;
  return milliseconds_for_characters(settings, 4) + after;
}

void make_ring_parts(const LineSettings& settings, Wiring wiring, RingPart& forward,
                     RingPart& backward) {
  const StreamAlphabet alphabet = stream_alphabet(settings);
  // On a pair the turn bounds what is written; the lead only has to reach a frame past what
  // came back, where a frame's tail was lost.
  const std::uint64_t fill = wiring == Wiring::pair ? 2 * frame_length : ring_fill(settings);
  const int stall_ms = ring_stall_milliseconds(settings);
  forward = {.checker = make_checker(alphabet),
             .lead = wiring == Wiring::cable || wiring == Wiring::pair ? fill : 0,
             .stall_ms = stall_ms};
  backward = {.checker = make_checker(alphabet), .lead = fill, .stall_ms = stall_ms};
}

std::span<const char> owed_block(RingPart& part, std::span<char> block) {
  // Bytes not yet placed are answered one for one, so that the ring runs on while the checker
  // looks for its place; once placed, what it wrote too many is made up by writing less.
  const std::uint64_t due = part.checker.position + part.lead + unresolved(part.checker);
  if (!part.writing || due <= part.generated) return {};
  const std::size_t size =
      static_cast<std::size_t>(std::min<std::uint64_t>(due - part.generated, block.size()));
  stream_block(part.checker.alphabet, part.generated, block.first(size));
  part.generated += size;
  return block.first(size);
}

}  // namespace looptest
