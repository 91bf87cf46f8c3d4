// A long stream at full speed: every byte checked, and the relay's memory never grows.
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "e2e.h"

namespace e2e {
namespace {

class Soak : public LoopTest {};

constexpr std::uint64_t stream_size = std::uint64_t{1} << 30;

// The bytes of a stream, eight at a time from a hash of their offset: a lost, doubled or
// swapped block anywhere shows as a mismatch.
class Pattern {
 public:
  explicit Pattern(std::uint64_t seed) : seed_(seed) {}
  void fill(std::uint64_t offset, std::span<char> bytes) const {
    std::uint64_t word = hash(offset >> 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const std::uint64_t at = offset + i;
      if ((at & 7) == 0) word = hash(at >> 3);
      bytes[i] = static_cast<char>(word >> ((at & 7) * 8));
    }
  }

 private:
  std::uint64_t hash(std::uint64_t index) const {  // splitmix64
    std::uint64_t x = seed_ + index * 0x9E3779B97F4A7C15u;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
  }
  std::uint64_t seed_;
};

struct Stream {
  int into = -1;
  int out_of = -1;
  Pattern pattern;
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
  bool intact = true;
};

// Moves both streams at once, checking each block as it arrives; false on a stall.
bool run_streams(std::array<Stream, 2>& streams) {
  std::array<char, 65536> block;
  std::array<char, 65536> expected;
  for (;;) {
    std::array<pollfd, 4> ends{};
    bool done = true;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      const Stream& stream = streams[i];
      ends[2 * i] = {stream.sent < stream_size ? stream.into : -1, POLLOUT, 0};
      ends[2 * i + 1] = {stream.received < stream_size ? stream.out_of : -1, POLLIN, 0};
      done = done && stream.received == stream_size;
    }
    if (done) return true;
    if (poll(ends.data(), ends.size(), patience_ms) <= 0) return false;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      Stream& stream = streams[i];
      if (ends[2 * i].revents != 0) {
        // A pty takes a few KiB at a time: make no more than it may take.
        const std::size_t size = std::min<std::uint64_t>(16384, stream_size - stream.sent);
        stream.pattern.fill(stream.sent, std::span(block).first(size));
        const ssize_t written = write(stream.into, block.data(), size);
        if (written > 0) stream.sent += static_cast<std::uint64_t>(written);
      }
      if (ends[2 * i + 1].revents != 0) {
        const ssize_t got = read(stream.out_of, block.data(), block.size());
        if (got <= 0) continue;
        const std::size_t size = static_cast<std::size_t>(got);
        stream.pattern.fill(stream.received, std::span(expected).first(size));
        stream.intact = stream.intact && std::memcmp(block.data(), expected.data(), size) == 0;
        stream.received += size;
        if (stream.received > stream_size) return false;
      }
    }
  }
}

TEST_F(Soak, AGibibyteEachWayEveryByteCheckedAndMemoryUnchanged) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(a4, a5);
  const pid_t child = testbench::wait_for_child(looptest.pid, patience_ms);
  // Warm up every path of the relay before the first reading of its memory.
  Flow there{a4.master(), a5.master(), test_pattern(std::size_t{1} << 20, 1)};
  Flow back{a5.master(), a4.master(), test_pattern(std::size_t{1} << 20, 2)};
  ASSERT_TRUE(transfer({&there, &back}, patience_ms));
  const long parent_before = testbench::resident_kib(looptest.pid);
  const long child_before = testbench::resident_kib(child);

  std::array<Stream, 2> streams{Stream{a4.master(), a5.master(), Pattern(41)},
                                Stream{a5.master(), a4.master(), Pattern(43)}};
  EXPECT_TRUE(run_streams(streams));
  for (const Stream& stream : streams) {
    EXPECT_EQ(stream.received, stream_size);
    EXPECT_TRUE(stream.intact);
  }
  EXPECT_EQ(testbench::resident_kib(looptest.pid), parent_before);
  EXPECT_EQ(testbench::resident_kib(child), child_before);
  std::printf("resident memory: parent %ld KiB, child %ld KiB\n", parent_before, child_before);
}

}  // namespace
}  // namespace e2e
