#include "check/checker.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "check/alignment.h"

namespace looptest {

namespace {

// The stream's lengths as counts of bytes in memory.
constexpr std::size_t group_bytes = group_length;
constexpr std::size_t header_bytes = frame_header_length;
// A frame header and the payload after it that must match.
constexpr std::size_t far_length = header_bytes + match_length;

bool agree(char received, unsigned char expected, unsigned char mask) {
  return ((static_cast<unsigned char>(received) ^ expected) & mask) == 0;
}

// The byte (0 to 7) where two words of 8 bytes first differ, given that they do.
std::size_t first_difference(std::uint64_t difference) {
  return static_cast<std::size_t>(std::countr_zero(difference)) / 8;
}

// How many bytes from the start a and b agree in, eight at a time.
std::size_t agreeing_prefix(const char* a, const char* b, std::size_t size, unsigned char mask) {
  const std::uint64_t wide_mask = mask * 0x0101010101010101U;
  std::size_t i = 0;
  for (; i + group_bytes <= size; i += group_bytes) {
    const std::uint64_t difference = (load_group(a + i) ^ load_group(b + i)) & wide_mask;
    if (difference != 0) return i + first_difference(difference);
  }
  while (i < size && agree(a[i], static_cast<unsigned char>(b[i]), mask)) ++i;
  return i;
}

// How many of the bytes at received, whole groups from group on, agree with the stream. The
// path a relay in step takes for nearly every byte.
std::size_t agreeing_groups(const StreamAlphabet& alphabet, std::uint64_t group,
                            std::span<const char> received) {
  const std::uint64_t wide_mask = alphabet.mask * 0x0101010101010101U;
  for (std::size_t done = 0; done < received.size(); done += group_bytes) {
    const std::uint64_t difference =
        (load_group(received.data() + done) ^ stream_group(alphabet, group++)) & wide_mask;
    if (difference != 0) return done + first_difference(difference);
  }
  return received.size();
}

// How many of the bytes at received, fewer than a group's from position on, agree with it.
std::size_t agreeing_part(const StreamAlphabet& alphabet, std::uint64_t position,
                          std::span<const char> received) {
  const std::uint64_t expected =
      stream_group(alphabet, position / group_length) >> (8 * (position % group_length));
  std::size_t done = 0;
  while (done < received.size() &&
         agree(received[done], static_cast<unsigned char>(expected >> (8 * done)), alphabet.mask)) {
    ++done;
  }
  return done;
}

// Compares received with the stream from the checker's position on, and moves past the bytes
// that agree: how many they are.
std::size_t follow_in_step(StreamChecker& checker, std::span<const char> received) {
  const std::uint64_t position = checker.position;
  const std::size_t head =
      std::min(received.size(),
               static_cast<std::size_t>((group_length - position % group_length) % group_length));
  std::size_t done = agreeing_part(checker.alphabet, position, received.first(head));
  if (done == head) {
    const std::size_t groups = (received.size() - head) / group_bytes * group_bytes;
    done += agreeing_groups(checker.alphabet, (position + head) / group_length,
                            received.subspan(head, groups));
    if (done == head + groups) {
      done += agreeing_part(checker.alphabet, position + done, received.subspan(done));
    }
  }
  checker.position += done;
  checker.counts.checked += done;
  return done;
}

const char* unplaced(const StreamChecker& checker) { return checker.window.data() + checker.start; }

// The first unplaced byte is the first one out of step: the search starts afresh.
void begin_search(StreamChecker& checker) {
  stream_block(checker.alphabet, checker.position, checker.ahead);
  checker.near_next = 0;
  checker.far_next = 0;
}

bool matches(const StreamChecker& checker, std::size_t offset, const char* expected) {
  return agreeing_prefix(unplaced(checker) + offset, expected, match_length,
                         checker.alphabet.mask) == match_length;
}

// The window from offset equals the stream up to near_reach positions ahead; the stream's
// symbols lie under the mask, so only places that start with the byte under it are compared.
bool try_near(const StreamChecker& checker, std::size_t offset, std::uint64_t& place) {
  const int first = static_cast<unsigned char>(unplaced(checker)[offset]) & checker.alphabet.mask;
  const char* const ahead = checker.ahead.data();
  for (const char* from = ahead; from <= ahead + near_reach; ++from) {
    from = static_cast<const char*>(
        std::memchr(from, first, static_cast<std::size_t>(ahead + near_reach + 1 - from)));
    if (from == nullptr) return false;
    if (matches(checker, offset, from)) {
      place = checker.position + static_cast<std::uint64_t>(from - ahead);
      return true;
    }
  }
  return false;
}

// The window holds a frame header at offset, and the payload after it. The header's number is
// that of the first frame at or after the checker's position with the same low 32 bits.
bool try_far(const StreamChecker& checker, std::size_t offset, std::uint64_t& place) {
  std::uint64_t number = 0;
  for (std::size_t i = 0; i < header_bytes; ++i) {
    const auto byte = static_cast<unsigned char>(unplaced(checker)[offset + i]);
    const unsigned digit = checker.alphabet.digit_of[byte & checker.alphabet.mask];
    if (digit >= 16) return false;
    number = number << 4U | digit;
  }
  const std::uint64_t first_frame = (checker.position + frame_length - 1) / frame_length;
  const std::uint64_t frame = first_frame + ((number - first_frame) & 0xffffffffU);
  std::array<char, match_length> payload{};
  stream_block(checker.alphabet, frame * frame_length + frame_header_length, payload);
  if (!matches(checker, offset + header_bytes, payload.data())) return false;
  place = frame * frame_length;
  return true;
}

// The first place, in the order tried: near ones by offset, then, once there can be none,
// frame headers by offset. Each is tried once, as soon as the window holds enough for it.
bool find_place(StreamChecker& checker, std::size_t& offset, std::uint64_t& place) {
  for (; checker.near_next <= near_reach && checker.near_next + match_length <= checker.held;
       ++checker.near_next) {
    if (try_near(checker, checker.near_next, place)) {
      offset = checker.near_next;
      return true;
    }
  }
  if (checker.near_next <= near_reach) return false;
  for (; checker.far_next + far_length <= checker.held; ++checker.far_next) {
    if (try_far(checker, checker.far_next, place)) {
      offset = checker.far_next;
      return true;
    }
  }
  return false;
}

// Counts the bytes before offset and the positions before place, takes up the stream at place
// with the bytes from offset on, and searches again from the next fault among them.
void place_window(StreamChecker& checker, std::size_t offset, std::uint64_t place) {
  // Bytes just before the place that equal the stream just before it are right, too.
  while (offset > 0 && place > checker.position &&
         agree(unplaced(checker)[offset - 1], stream_symbol(checker.alphabet, place - 1),
               checker.alphabet.mask)) {
    --offset;
    --place;
  }
  const std::uint64_t bytes = offset;
  const std::uint64_t positions = place - checker.position;
  CheckCounts burst{};
  if (bytes > 0 && positions > 0 && bytes <= burst_reach && positions <= burst_reach) {
    // A short burst may hold two faults and good bytes between them: ahead holds its
    // positions' symbols, as the search began at the checker's position.
    burst = align_burst(std::span(unplaced(checker), offset),
                        std::span(checker.ahead.data(), static_cast<std::size_t>(positions)),
                        checker.alphabet.mask);
  } else {
    burst = one_burst(bytes, positions);
  }
  checker.counts.checked += burst.checked;
  checker.counts.wrong += burst.wrong;
  checker.counts.lost += burst.lost;
  checker.counts.extra += burst.extra;
  checker.position = place;

  const std::span<const char> rest(unplaced(checker) + offset, checker.held - offset);
  const std::size_t placed = offset + follow_in_step(checker, rest);
  checker.start += placed;
  checker.held -= placed;
  if (checker.held == 0) {
    checker.start = 0;
  } else {
    begin_search(checker);
  }
}

void give_up_oldest(StreamChecker& checker) {
  ++checker.counts.extra;
  ++checker.start;
  --checker.held;
  // What was tried stays tried; the byte now at near_reach is new to the near search.
  if (checker.near_next > 0) --checker.near_next;
  if (checker.far_next > 0) --checker.far_next;
}

// Appends as much of received as the window takes: the oldest unplaced byte goes first when
// it is full, so that a search never depends on how the bytes arrive. How much it took.
std::size_t take_into_window(StreamChecker& checker, std::span<const char> received) {
  if (checker.held == check_window_size) give_up_oldest(checker);
  const std::size_t taken = std::min(received.size(), check_window_size - checker.held);
  if (checker.start + checker.held + taken > checker.window.size()) {
    std::memmove(checker.window.data(), unplaced(checker), checker.held);
    checker.start = 0;
  }
  std::memcpy(checker.window.data() + checker.start + checker.held, received.data(), taken);
  checker.held += taken;
  return taken;
}

}  // namespace

StreamChecker make_checker(const StreamAlphabet& alphabet, std::uint64_t first) {
  StreamChecker checker;
  checker.alphabet = alphabet;
  checker.position = first;
  return checker;
}

void check_received(StreamChecker& checker, std::span<const char> received) {
  while (!received.empty()) {
    if (checker.held == 0) {
      received = received.subspan(follow_in_step(checker, received));
      if (received.empty()) return;
      begin_search(checker);
    }
    received = received.subspan(take_into_window(checker, received));
    std::size_t offset = 0;
    std::uint64_t place = 0;
    while (checker.held > 0 && find_place(checker, offset, place)) {
      place_window(checker, offset, place);
    }
  }
}

std::size_t unresolved(const StreamChecker& checker) { return checker.held; }

void settle_checker(StreamChecker& checker, std::uint64_t sent) {
  place_window(checker, checker.held, std::max(sent, checker.position));
}

}  // namespace looptest
