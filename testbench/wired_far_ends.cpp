#include "wired_far_ends.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <deque>
#include <string>
#include <utility>

namespace testbench {

WiredFarEnds::WiredFarEnds(const VirtualPort& first, const VirtualPort& second, Wired wired,
                           Harm harm, int delay_ms)
    : first_(first.master()),
      second_(second.master()),
      wired_(wired),
      harm_(harm),
      delay_ms_(delay_ms) {
  mover_ = std::jthread([this](const std::stop_token& stop) { move(stop); });
}

WiredFarEnds::~WiredFarEnds() {
  mover_.request_stop();
  mover_.join();
}

void WiredFarEnds::move(const std::stop_token& stop) {
  const std::array<int, 2> ends{first_, second_};
  // Where what each far end reads goes: back into its own port, into the other, or nowhere.
  std::array<int, 2> into{-1, -1};
  switch (wired_) {
    case Wired::loops:
      into = ends;
      break;
    case Wired::cable:
      into = {second_, first_};
      break;
    case Wired::loop_on_first:
      into = {first_, -1};
      break;
    case Wired::nothing:
      break;
  }
  using Clock = std::chrono::steady_clock;
  // What each far end read and has still to send on, in blocks, each with when it may go.
  std::array<std::deque<std::pair<Clock::time_point, std::string>>, 2> unsent;
  std::uint64_t noise = 0x2545f4914f6cdd1dU;
  while (!stop.stop_requested()) {
    std::array<pollfd, 2> watched{{{first_, POLLIN, 0}, {second_, POLLIN, 0}}};
    for (std::size_t i = 0; i < 2; ++i) {
      while (into[i] != -1 && !unsent[i].empty() && unsent[i].front().first <= Clock::now()) {
        std::string& block = unsent[i].front().second;
        const ssize_t written = write(into[i], block.data(), block.size());
        if (written <= 0) break;
        block.erase(0, static_cast<std::size_t>(written));
        if (!block.empty()) break;
        unsent[i].pop_front();
      }
    }
    if (poll(watched.data(), watched.size(), 10) <= 0) continue;
    for (std::size_t i = 0; i < 2; ++i) {
      if ((watched[i].revents & POLLIN) == 0) continue;
      std::array<char, 4096> block;
      const ssize_t got = read(ends[i], block.data(), block.size());
      if (got <= 0) continue;
      std::string bytes(block.data(), static_cast<std::size_t>(got));
      for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if (value == 0x11 || value == 0x13) saw_flow_ = true;
        bits_ |= value;
      }
      const std::uint64_t before = passed_[i].fetch_add(bytes.size());
      const bool here = harm_.kind != Harm::Kind::none &&
                        static_cast<int>(i) + 1 == harm_.far_end && !harmed_ &&
                        before + bytes.size() > harm_.at;
      if (here) {
        const std::size_t at = static_cast<std::size_t>(harm_.at > before ? harm_.at - before : 0);
        switch (harm_.kind) {
          case Harm::Kind::flip:
            bytes[at] = static_cast<char>(bytes[at] ^ (1 << harm_.length));
            break;
          case Harm::Kind::drop:
            bytes.erase(at, harm_.length);
            break;
          case Harm::Kind::repeat:
            bytes.insert(at,
                         bytes.substr(at >= harm_.length ? at - harm_.length : 0, harm_.length));
            break;
          case Harm::Kind::noise:
            for (std::size_t n = 0; n < harm_.length; ++n) {
              noise ^= noise << 13;
              noise ^= noise >> 7;
              noise ^= noise << 17;
              bytes.insert(at, 1, static_cast<char>(noise & 0x3f));
            }
            break;
          case Harm::Kind::none:
            break;
        }
        harmed_ = true;
      }
      if (into[i] != -1) {
        unsent[i].emplace_back(Clock::now() + std::chrono::milliseconds(delay_ms_),
                               std::move(bytes));
      }
    }
  }
}

}  // namespace testbench
