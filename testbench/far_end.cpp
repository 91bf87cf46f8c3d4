#include "far_end.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>

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
