#include "pair_far_ends.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <string>

namespace testbench {

PairFarEnds::PairFarEnds(const VirtualPort& first, const VirtualPort& second, bool echo,
                         int character_us)
    : first_(first.master()), second_(second.master()), echo_(echo), character_us_(character_us) {
  mover_ = std::jthread([this](const std::stop_token& stop) { move(stop); });
}

PairFarEnds::~PairFarEnds() {
  mover_.request_stop();
  mover_.join();
}

void PairFarEnds::move(const std::stop_token& stop) {
  using Clock = std::chrono::steady_clock;
  const std::array<int, 2> ends{first_, second_};
  // A block on its way off the pair: to which far end, from when, and its bytes.
  struct Block {
    std::size_t to;
    Clock::time_point at;
    std::string bytes;
  };
  // In the order sent, the echo first: what a port hears of itself is there no later than
  // what the other hears.
  std::deque<Block> unsent;
  // Until when each side's bytes are on the pair.
  std::array<Clock::time_point, 2> on_until{};
  const auto character = std::chrono::microseconds(character_us_);
  while (!stop.stop_requested()) {
    while (!unsent.empty() && unsent.front().at <= Clock::now()) {
      Block& block = unsent.front();
      const ssize_t written = write(ends[block.to], block.bytes.data(), block.bytes.size());
      if (written <= 0) break;
      block.bytes.erase(0, static_cast<std::size_t>(written));
      if (!block.bytes.empty()) break;
      unsent.pop_front();
    }
    std::array<pollfd, 2> watched{{{first_, POLLIN, 0}, {second_, POLLIN, 0}}};
    if (poll(watched.data(), watched.size(), unsent.empty() ? 10 : 1) <= 0) continue;
    for (std::size_t i = 0; i < 2; ++i) {
      if ((watched[i].revents & POLLIN) == 0) continue;
      std::array<char, 4096> read_block;
      const ssize_t got = read(ends[i], read_block.data(), read_block.size());
      if (got <= 0) continue;
      std::string bytes(read_block.data(), static_cast<std::size_t>(got));
      sent_[i] += bytes.size();
      const Clock::time_point now = Clock::now();
      // Talking over the other side: both drive the pair, and what arrives is neither.
      if (on_until[1 - i] > now) {
        for (char& byte : bytes) byte = static_cast<char>(byte ^ 0x55);
        garbled_ += bytes.size();
      }
      on_until[i] =
          std::max(on_until[i], now) + character * static_cast<std::int64_t>(bytes.size());
      if (echo_) unsent.push_back({i, on_until[i], bytes});
      unsent.push_back({1 - i, on_until[i], std::move(bytes)});
    }
  }
}

}  // namespace testbench
