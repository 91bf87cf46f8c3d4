#include "far_end.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstring>

namespace testbench {

bool transfer(const std::vector<Flow*>& flows, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::vector<pollfd> waits;
    for (const Flow* flow : flows) {
      if (flow->sent < flow->data.size()) waits.push_back({flow->into, POLLOUT, 0});
      if (flow->received.size() < flow->data.size()) waits.push_back({flow->out_of, POLLIN, 0});
    }
    if (waits.empty()) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 ||
        poll(waits.data(), waits.size(), static_cast<int>(left.count())) <= 0) {
      break;
    }
    // Both ends are non-blocking: whatever is not ready now just says EAGAIN.
    for (Flow* flow : flows) {
      if (flow->sent < flow->data.size()) {
        const ssize_t written =
            write(flow->into, flow->data.data() + flow->sent, flow->data.size() - flow->sent);
        if (written > 0) flow->sent += static_cast<std::size_t>(written);
      }
      std::array<char, 65536> buffer;
      const ssize_t count = read(flow->out_of, buffer.data(), buffer.size());
      if (count > 0)
        flow->received.insert(flow->received.end(), buffer.begin(), buffer.begin() + count);
    }
  }
  for (const Flow* flow : flows) {
    if (flow->received != flow->data) return false;
  }
  return true;
}

namespace {

std::uint64_t splitmix64(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

}  // namespace

void Pattern::fill(std::uint64_t offset, std::span<char> bytes) const {
  const auto word_at = [this](std::uint64_t index) {
    return splitmix64(seed_ + index * 0x9E3779B97F4A7C15u);
  };
  std::size_t i = 0;
  // Byte by byte up to a word boundary, then whole words, then the tail.
  static_assert(std::endian::native == std::endian::little, "a word's bytes in offset order");
  for (; i < bytes.size() && ((offset + i) & 7) != 0; ++i) {
    bytes[i] = static_cast<char>(word_at((offset + i) >> 3) >> (((offset + i) & 7) * 8));
  }
  for (; i + 8 <= bytes.size(); i += 8) {
    const std::uint64_t word = word_at((offset + i) >> 3);
    std::memcpy(bytes.data() + i, &word, 8);
  }
  for (; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(word_at((offset + i) >> 3) >> (((offset + i) & 7) * 8));
  }
}

bool move_streams(std::span<Stream> streams, int stall_ms) {
  std::vector<char> block(65536);
  std::vector<char> expected(65536);
  std::vector<pollfd> ends(2 * streams.size());
  for (;;) {
    bool done = true;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      const Stream& stream = streams[i];
      ends[2 * i] = {stream.sent < stream.size ? stream.into : -1, POLLOUT, 0};
      ends[2 * i + 1] = {stream.received < stream.size ? stream.out_of : -1, POLLIN, 0};
      done = done && stream.received == stream.size;
    }
    if (done) return true;
    if (poll(ends.data(), ends.size(), stall_ms) <= 0) return false;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      Stream& stream = streams[i];
      if (ends[2 * i].revents != 0) {
        const auto size = static_cast<std::size_t>(
            std::min<std::uint64_t>(stream.write_size, stream.size - stream.sent));
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
        if (!stream.intact || stream.received > stream.size) return false;
      }
    }
  }
}

std::vector<char> test_pattern(std::size_t size, unsigned seed) {
  std::vector<char> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i + i / 256 * seed);
  return data;
}

bool held_open(const VirtualPort& port) {
  pollfd far_end{port.master(), POLLIN, 0};
  return poll(&far_end, 1, 0) == 0 || (far_end.revents & POLLHUP) == 0;
}

}  // namespace testbench
