#include "system/wait.h"

#include <poll.h>

#include <array>

#include "system/clock.h"

namespace looptest {

bool wait_for_any(std::span<pollfd> watched, int timeout_ms) {
  return poll(watched.data(), watched.size(), timeout_ms) > 0;
}

Readiness wait_for(int fd, short events, int control, int timeout_ms) {
  std::array<pollfd, 2> watched{{{fd, events, 0}, {control, POLLIN, 0}}};
  if (!wait_for_any(watched, timeout_ms)) return {};
  return {watched[0].revents != 0, watched[1].revents != 0};
}

bool wait_readable(int fd, int timeout_ms) { return wait_for(fd, POLLIN, -1, timeout_ms).port; }

bool wait_until(timespec deadline, int control) {
  for (int left = milliseconds_until(deadline); left > 0; left = milliseconds_until(deadline)) {
    if (wait_for(-1, 0, control, left).control) return false;
  }
  return true;
}

}  // namespace looptest
