// far_end.h: playing the far ends of the cables, several streams at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "virtual_ports.h"

namespace testbench {

/// One stream through a relay: data written in at one far end, read out at another.
struct Flow {
  Flow(int into_fd, int out_of_fd, std::vector<char> bytes)
      : into(into_fd), out_of(out_of_fd), data(std::move(bytes)) {}
  int into = -1;    ///< Non-blocking far end the data is written to.
  int out_of = -1;  ///< Non-blocking far end the data is read from.
  std::vector<char> data;
  std::size_t sent = 0;
  std::vector<char> received;
};

/// Moves all flows at once until each has received as much as it holds, or the time runs
/// out; true when every flow arrived whole and in order.
bool transfer(const std::vector<Flow*>& flows, int timeout_ms);
/// The bytes of a long stream, eight at a time from a hash of their offset, so that a lost,
/// doubled or swapped block anywhere shows as a mismatch, and no stream is held in memory.
class Pattern {
 public:
  explicit Pattern(std::uint64_t seed) : seed_(seed) {}
  /// The bytes from offset on.
  void fill(std::uint64_t offset, std::span<char> bytes) const;

 private:
  std::uint64_t seed_;
};

/// A stream of size bytes of a pattern, written into one far end in writes of at most
/// write_size bytes and checked as it comes out of another.
struct Stream {
  Stream(int into_fd, int out_of_fd, std::uint64_t seed, std::uint64_t bytes,
         std::size_t most_per_write = 16384)
      : into(into_fd), out_of(out_of_fd), pattern(seed), size(bytes), write_size(most_per_write) {}
  int into = -1;    ///< Non-blocking.
  int out_of = -1;  ///< Non-blocking.
  Pattern pattern;
  std::uint64_t size = 0;
  std::size_t write_size = 16384;
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
  bool intact = true;  ///< Every byte received so far was the right one.
};

/// Moves all streams at once until each has received its size; false when one went wrong or
/// nothing moved for stall_ms.
bool move_streams(std::span<Stream> streams, int stall_ms);

/// Bytes of every value, in an order that depends on seed.
std::vector<char> test_pattern(std::size_t size, unsigned seed);
/// Whether any process holds the port open: once none does, its far end sees a hang-up.
bool held_open(const VirtualPort& port);

}  // namespace testbench
