#include "check/checker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>

namespace looptest {
namespace {

constexpr std::uint64_t wrap = std::uint64_t{1} << 40U;  // where frame numbers wrap

StreamAlphabet alphabet_of(std::int32_t databits, FlowControl flow_control) {
  LineSettings settings;
  settings.databits = databits;
  settings.flowcontrol = flow_control;
  return stream_alphabet(settings);
}

const std::array<StreamAlphabet, 3> alphabets{alphabet_of(8, FlowControl::none),
                                              alphabet_of(7, FlowControl::hardware),
                                              alphabet_of(5, FlowControl::software)};

std::string stream_text(const StreamAlphabet& alphabet, std::uint64_t first, std::size_t size) {
  std::string text(size, '\0');
  stream_block(alphabet, first, text);
  return text;
}

std::string describe(const CheckCounts& counts) {
  std::ostringstream text;
  text << "checked " << counts.checked << " wrong " << counts.wrong << " lost " << counts.lost
       << " extra " << counts.extra;
  return text.str();
}

enum class Feed { whole, byte_by_byte, random_splits };
constexpr std::array<Feed, 3> feeds{Feed::whole, Feed::byte_by_byte, Feed::random_splits};

// Feeds received as feed says, checking at each step that every byte and every position is
// accounted for.
StreamChecker feed_checker(const StreamAlphabet& alphabet, std::uint64_t first,
                           std::string_view received, Feed feed) {
  StreamChecker checker = make_checker(alphabet, first);
  std::mt19937 random(7);
  std::size_t fed = 0;
  while (fed < received.size()) {
    std::size_t size = received.size();
    if (feed == Feed::byte_by_byte) size = 1;
    if (feed == Feed::random_splits) size = random() % 700 + 1;
    size = std::min(size, received.size() - fed);
    check_received(checker, received.substr(fed, size));
    fed += size;
    const CheckCounts& counts = checker.counts;
    EXPECT_EQ(fed, counts.checked + counts.extra + unresolved(checker));
    EXPECT_EQ(checker.position - first, counts.checked + counts.lost);
    EXPECT_LE(counts.wrong, counts.checked);
  }
  return checker;
}

// The counts once the hop has delivered received of the sent positions from first on, the
// same however received was split.
CheckCounts settled_counts(const StreamAlphabet& alphabet, std::uint64_t first,
                           std::string_view received, std::uint64_t sent) {
  CheckCounts whole{};
  for (const Feed feed : feeds) {
    StreamChecker checker = feed_checker(alphabet, first, received, feed);
    settle_checker(checker, sent);
    const CheckCounts& counts = checker.counts;
    EXPECT_EQ(unresolved(checker), 0U);
    EXPECT_EQ(received.size(), counts.checked + counts.extra);
    EXPECT_EQ(sent - first, counts.checked + counts.lost);
    if (feed == Feed::whole) whole = counts;
    EXPECT_EQ(describe(counts), describe(whole)) << "fed " << static_cast<int>(feed);
  }
  return whole;
}

enum class Fault { changed, dropped, noise, duplicated };

struct FaultCase {
  Fault fault;
  std::size_t at;      // in the stream as sent
  std::size_t length;  // bytes changed, dropped or added
};

constexpr std::array<const char*, 4> fault_names{"changed", "dropped", "noise", "duplicated"};

// What a hop delivers of sent with the fault. A 7-bit line may set the 8th bit of any byte.
std::string with_fault(const StreamAlphabet& alphabet, std::string sent, const FaultCase& c,
                       std::mt19937& random) {
  const auto random_byte = [&random] { return static_cast<char>(random() % 256); };
  switch (c.fault) {
    case Fault::changed:
      for (std::size_t i = c.at; i < c.at + c.length; ++i) {
        sent[i] = static_cast<char>(sent[i] ^ static_cast<char>(random() % alphabet.mask + 1));
      }
      break;
    case Fault::dropped:
      sent.erase(c.at, c.length);
      break;
    case Fault::noise:
      sent.insert(c.at, c.length, '\0');
      std::generate_n(sent.begin() + static_cast<std::ptrdiff_t>(c.at), c.length, random_byte);
      break;
    case Fault::duplicated:
      sent.insert(c.at, sent.substr(c.at - c.length, c.length));
      break;
  }
  if (alphabet.mask == 0x7f) {
    for (char& byte : sent) byte = static_cast<char>(byte | (random() % 2 == 0 ? 0x80 : 0));
  }
  return sent;
}

CheckCounts expected_counts(const FaultCase& c, std::uint64_t sent) {
  switch (c.fault) {
    case Fault::changed:
      return {.checked = sent, .wrong = c.length};
    case Fault::dropped:
      return {.checked = sent - c.length, .lost = c.length};
    case Fault::noise:
    case Fault::duplicated:
      break;
  }
  return {.checked = sent, .extra = c.length};
}

TEST(StreamChecker, CountsEachIsolatedFaultExactlyWhereverItFalls) {
  constexpr std::size_t size = 2048;
  const std::size_t lengths[] = {1, 2, 16, 64};
  // In a header, across one, across the in-step path's blocks, at the start, at the end.
  const std::size_t places[] = {0, 3, 100, 250, 256, 259, 500, 1000};
  std::mt19937 random(1);
  for (const StreamAlphabet& alphabet : alphabets) {
    for (const std::uint64_t first : {std::uint64_t{0}, wrap - 700}) {
      const std::string sent = stream_text(alphabet, first, size);
      for (const Fault fault : {Fault::changed, Fault::dropped, Fault::noise, Fault::duplicated}) {
        for (const std::size_t length : lengths) {
          for (std::size_t at : places) {
            if (fault == Fault::duplicated) at = std::max(at, length);
            const FaultCase cases[] = {{fault, at, length}, {fault, size - 16 - length, length}};
            for (const FaultCase& c : cases) {
              SCOPED_TRACE(testing::Message()
                           << "mask " << +alphabet.mask << " from " << first << ": "
                           << fault_names[static_cast<std::size_t>(c.fault)] << " " << c.length
                           << " at " << c.at);
              const std::string received = with_fault(alphabet, sent, c, random);
              EXPECT_EQ(describe(settled_counts(alphabet, first, received, first + size)),
                        describe(expected_counts(c, size)));
            }
          }
        }
      }
    }
  }
}

TEST(StreamChecker, RandomIsolatedFaultsAreCountedExactly) {
  for (const StreamAlphabet& alphabet : alphabets) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
      std::mt19937 random(seed);
      const std::uint64_t first = random() % 1000000;
      std::string received;
      CheckCounts expected{};
      std::uint64_t position = first;
      // Runs of 80 to 400 correct bytes, each followed by a fault of 1 to 64 bytes.
      for (int i = 0; i < 40; ++i) {
        const std::size_t run = 80 + random() % 321;
        const std::size_t length = 1 + random() % 64;
        const auto fault = static_cast<Fault>(random() % 4);
        std::string piece = stream_text(alphabet, position, run + length);
        const FaultCase c{fault, run, length};
        const CheckCounts counts = expected_counts(c, run + length);
        expected.checked += counts.checked;
        expected.wrong += counts.wrong;
        expected.lost += counts.lost;
        expected.extra += counts.extra;
        received += with_fault(alphabet, piece, c, random);
        position += run + length;
      }
      const std::string tail = stream_text(alphabet, position, 16);
      received += tail;
      expected.checked += tail.size();
      position += tail.size();
      EXPECT_EQ(describe(settled_counts(alphabet, first, received, position)), describe(expected))
          << "mask " << +alphabet.mask << ", seed " << seed;
    }
  }
}

// A change whose bytes equal none of the stream's symbols nearby: one no reader could take for
// a shift of the stream.
char changed_byte(const StreamAlphabet& alphabet, std::string_view sent, std::size_t at,
                  std::mt19937& random) {
  for (;;) {
    const auto byte = static_cast<unsigned char>(random() & alphabet.mask);
    bool near = false;
    for (std::size_t i = at - std::min<std::size_t>(at, 8); i < std::min(at + 9, sent.size());
         ++i) {
      near = near || byte == static_cast<unsigned char>(sent[i]);
    }
    if (!near) return static_cast<char>(byte);
  }
}

TEST(StreamChecker, CountsTwoFaultsSixteenGoodBytesApartExactly) {
  // The second fault comes 16 good bytes after the first, which falls anywhere in a frame, its
  // header included. A drop or an add lets bytes after it equal the stream by chance, most
  // often in a header's run of equal digits, which the checker follows in step: fewer than 16
  // good bytes are left to find its place with before the second fault.
  enum class Kind { dropped, changed, added };
  constexpr std::size_t size = 1024;
  constexpr std::size_t good = 16;
  const std::size_t lengths[] = {1, 2, 4, 16};
  std::mt19937 random(5);
  for (const StreamAlphabet& alphabet : {alphabets[0], alphabets[2]}) {
    const std::string sent = stream_text(alphabet, 0, size);
    int inexact = 0;
    for (const Kind first : {Kind::dropped, Kind::changed, Kind::added}) {
      for (const Kind second : {Kind::dropped, Kind::changed, Kind::added}) {
        for (const std::size_t first_length : lengths) {
          for (const std::size_t second_length : lengths) {
            // A drop and an add of 16 each with fewer than 16 good bytes between are fewer
            // faults as 31 changed bytes: a byte equal by chance makes them that.
            if (first != second && first != Kind::changed && second != Kind::changed &&
                first_length == 16 && second_length == 16) {
              continue;
            }
            for (std::size_t at = frame_length; at < 2 * frame_length; ++at) {
              const std::size_t second_at = at + (first == Kind::added ? 0 : first_length) + good;
              std::string received = sent;
              CheckCounts expected{.checked = size};
              // The later fault first, so that the first one's place stays where it is.
              for (const auto& [kind, from, length] :
                   {std::tuple{second, second_at, second_length}, {first, at, first_length}}) {
                switch (kind) {
                  case Kind::dropped:
                    received.erase(from, length);
                    expected.checked -= length;
                    expected.lost += length;
                    break;
                  case Kind::changed:
                    for (std::size_t i = from; i < from + length; ++i) {
                      received[i] = changed_byte(alphabet, sent, i, random);
                    }
                    expected.wrong += length;
                    break;
                  case Kind::added:
                    for (std::size_t i = 0; i < length; ++i) {
                      received.insert(received.begin() + static_cast<std::ptrdiff_t>(from),
                                      static_cast<char>(random() & alphabet.mask));
                    }
                    expected.extra += length;
                    break;
                }
              }
              StreamChecker checker = make_checker(alphabet);
              check_received(checker, received);
              settle_checker(checker, size);
              if (checker.counts != expected && ++inexact <= 3) {
                ADD_FAILURE() << "mask " << +alphabet.mask << ": " << static_cast<int>(first) << " "
                              << first_length << " at " << at << ", then "
                              << static_cast<int>(second) << " " << second_length << ": "
                              << describe(checker.counts) << ", not " << describe(expected);
              }
            }
          }
        }
      }
    }
    EXPECT_EQ(inexact, 0) << "mask " << +alphabet.mask;
  }
}

struct BurstCase {
  const char* name;
  std::uint64_t first;        // where the stream starts
  std::size_t before;         // correct bytes before the burst
  std::uint64_t skipped;      // stream positions the burst takes away
  std::size_t noise;          // bytes of noise in their place
  std::uint64_t replay_from;  // with replay: where the old stream it delivers again starts
  std::size_t replay;         // bytes of old stream delivered again
  CheckCounts expected;       // with 1000 correct bytes after the burst
};

TEST(StreamChecker, FindsItsPlaceWithinAFrameAfterALongBurst) {
  const BurstCase cases[] = {
      {"4095 dropped", 0, 1000, 4095, 0, 0, 0, {.checked = 2000, .lost = 4095}},
      {"4095 dropped at a header", 0, 1024, 4095, 0, 0, 0, {.checked = 2024, .lost = 4095}},
      {"4095 dropped, frames wrapping",
       wrap - 2000,
       1000,
       4095,
       0,
       0,
       0,
       {.checked = 2000, .lost = 4095}},
      {"500 of noise for 300",
       0,
       1000,
       300,
       500,
       0,
       0,
       {.checked = 2300, .wrong = 300, .extra = 200}},
      {"noise longer than the window",
       0,
       1000,
       100,
       3000,
       0,
       0,
       {.checked = 2100, .wrong = 100, .extra = 2900}},
      {"noise longer than the window, nothing dropped",
       0,
       1000,
       0,
       5000,
       0,
       0,
       {.checked = 2000, .extra = 5000}},
      {"resuming far ahead", 0, 1000, 1000000007, 0, 0, 0, {.checked = 2000, .lost = 1000000007}},
      {"resuming past the frame numbers' wrap",
       wrap - 3000,
       1000,
       2 * wrap / 3,
       0,
       0,
       0,
       {.checked = 2000, .lost = 2 * wrap / 3}},
      {"old stream again", 0, 3000, 0, 0, 1000, 1000, {.checked = 4000, .extra = 1000}},
      {"old stream again after a wrap",
       2 * wrap + 4000,
       1000,
       0,
       0,
       wrap + 4100,
       600,
       {.checked = 2000, .extra = 600}},
  };
  constexpr std::size_t after = 1000;
  constexpr std::size_t in_step_within = frame_length + frame_header_length + match_length;
  for (const StreamAlphabet& alphabet : alphabets) {
    for (const BurstCase& c : cases) {
      SCOPED_TRACE(testing::Message() << "mask " << +alphabet.mask << ": " << c.name);
      std::mt19937 random(3);
      const std::uint64_t resume = c.first + c.before + c.skipped;
      std::string received = stream_text(alphabet, c.first, c.before);
      std::string noise(c.noise, '\0');
      std::generate(noise.begin(), noise.end(), [&random] { return static_cast<char>(random()); });
      // Noise that starts or ends like the stream would leave fewer bytes wrong.
      if (!noise.empty()) {
        noise.front() = static_cast<char>(stream_symbol(alphabet, c.first + c.before) ^ 1U);
        noise.back() = static_cast<char>(stream_symbol(alphabet, resume - 1) ^ 1U);
      }
      received += noise;
      received += stream_text(alphabet, c.replay_from, c.replay);
      const std::size_t burst_end = received.size();
      received += stream_text(alphabet, resume, after);

      StreamChecker checker = feed_checker(
          alphabet, c.first, std::string_view(received).substr(0, burst_end + in_step_within),
          Feed::random_splits);
      EXPECT_EQ(unresolved(checker), 0U) << "in step again within a frame";
      EXPECT_EQ(describe(settled_counts(alphabet, c.first, received, resume + after)),
                describe(c.expected));
    }
  }
}

TEST(StreamChecker, SettlesWhatTheEndOfTheRunLeaves) {
  struct SettleCase {
    const char* name;
    std::size_t correct;   // bytes of the stream delivered
    std::string tail;      // then these
    std::uint64_t sent;    // positions sent
    CheckCounts expected;  // once settled
  };
  const StreamAlphabet& alphabet = alphabets[0];
  const std::string stream = stream_text(alphabet, 0, 1000);
  const std::string last_changed = std::string(1, static_cast<char>(stream[999] ^ 0x40));
  const SettleCase cases[] = {
      {"everything arrived", 1000, "", 1000, {.checked = 1000}},
      {"the last ten never arrived", 990, "", 1000, {.checked = 990, .lost = 10}},
      {"the last byte changed", 999, last_changed, 1000, {.checked = 1000, .wrong = 1}},
      {"five dropped before the last five",
       990,
       stream.substr(995),
       1000,
       {.checked = 995, .lost = 5}},
      {"noise after the end", 1000, "\x01\x02\x03", 1000, {.checked = 1000, .extra = 3}},
      {"noise and nothing sent after", 1000, "\x01\x02\x03", 0, {.checked = 1000, .extra = 3}},
      {"nothing arrived", 0, "", 1000, {.lost = 1000}},
  };
  for (const SettleCase& c : cases) {
    StreamChecker checker = make_checker(alphabet);
    check_received(checker, std::string_view(stream).substr(0, c.correct));
    check_received(checker, c.tail);
    settle_checker(checker, c.sent);
    EXPECT_EQ(describe(checker.counts), describe(c.expected)) << c.name;
    EXPECT_EQ(unresolved(checker), 0U) << c.name;
    settle_checker(checker, c.sent);
    EXPECT_EQ(describe(checker.counts), describe(c.expected)) << c.name << ", settled again";
  }
}

TEST(StreamChecker, TakesNoFaultFromTheEighthBitOfASevenBitLine) {
  const StreamAlphabet& seven_bits = alphabets[1];
  std::string received = stream_text(seven_bits, 0, 5000);
  for (char& byte : received) byte = static_cast<char>(byte | 0x80);
  received[2000] = static_cast<char>(received[2000] ^ 0x01);  // a fault in a bit it carries
  StreamChecker checker = make_checker(seven_bits);
  check_received(checker, received);
  settle_checker(checker, received.size());
  EXPECT_EQ(describe(checker.counts), describe({.checked = 5000, .wrong = 1}));
}

}  // namespace
}  // namespace looptest
