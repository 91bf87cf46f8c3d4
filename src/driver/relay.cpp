#include "driver/relay.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace looptest {

namespace {

struct Readiness {
  bool port = false;
  bool control = false;
};

// A wait that times out or is interrupted reports nothing ready; that is no failure.
Readiness wait_for(int fd, short events, int control, int timeout_ms) {
  std::array<pollfd, 2> watched{{{fd, events, 0}, {control, POLLIN, 0}}};
  if (poll(watched.data(), watched.size(), timeout_ms) <= 0) return {};
  return {watched[0].revents != 0, watched[1].revents != 0};
}

timespec monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return now;
}

// Rounded up, so a wait never ends just short of its deadline.
int milliseconds_until(timespec deadline) {
  const timespec now = monotonic_now();
  const long long nanoseconds =
      (deadline.tv_sec - now.tv_sec) * 1'000'000'000LL + (deadline.tv_nsec - now.tv_nsec);
  return nanoseconds <= 0 ? 0 : static_cast<int>((nanoseconds + 999'999) / 1'000'000);
}

// False when control became readable first.
bool wait_until(timespec deadline, int control) {
  for (int left = milliseconds_until(deadline); left > 0; left = milliseconds_until(deadline)) {
    if (wait_for(-1, 0, control, left).control) return false;
  }
  return true;
}

void count(std::atomic<std::uint64_t>& counter, std::uint64_t amount = 1) {
  counter.fetch_add(amount, std::memory_order_relaxed);
}

}  // namespace

PassResult relay_pass(Direction& direction, int control, int timeout_ms) {
  DirectionCounts& counts = *direction.counts;
  int read_count = static_cast<int>(direction.pending.size());
  if (direction.pending.empty()) {
    // With input backing up, a wait would only cost a system call.
    const bool skip_wait =
        direction.backed_up_reads > 0 && direction.backed_up_reads <= most_reads_without_wait;
    Readiness ready;
    if (!skip_wait) {
      ready = wait_for(direction.in, POLLIN, control, timeout_ms);
      if (ready.control) return {Pass::stopped, 0};
    }
    const bool waited = !skip_wait;
    const ssize_t got = read(direction.in, direction.buffer.data(), direction.buffer.size());
    const bool backed_up = got >= static_cast<ssize_t>(backed_up_read);
    direction.backed_up_reads = backed_up ? (waited ? 1 : direction.backed_up_reads + 1) : 0;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return {Pass::idle, 0};
      count(counts.read_errors);
      return {Pass::read_failed, static_cast<int>(got)};
    }
    if (got == 0) {
      if (!ready.port) return {Pass::idle, 0};
      count(counts.read_errors);
      return {Pass::hung_up, 0};
    }
    direction.pending = std::span(direction.buffer).first(static_cast<std::size_t>(got));
    read_count = static_cast<int>(got);
  }

  std::span<const char>& pending = direction.pending;
  while (!pending.empty()) {
    const ssize_t written = write(direction.out, pending.data(), pending.size());
    if (written > 0) {
      count(counts.bytes, static_cast<std::uint64_t>(written));
      pending = pending.subspan(static_cast<std::size_t>(written));
    } else if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      // Flow control may hold a line for any time, so only a stop ends this wait.
      if (wait_for(direction.out, POLLOUT, control, -1).control) {
        return {Pass::stopped, read_count};
      }
    } else if (errno != EINTR) {
      pending = {};
      count(counts.write_errors);
      return {Pass::write_failed, read_count};
    }
  }
  return {Pass::relayed, read_count};
}

void relay_direction(Direction& direction, int control) {
  for (;;) {
    if (direction.retry_at) {
      if (!wait_until(*direction.retry_at, control)) return;
      direction.retry_at.reset();
    }
    timespec next_attempt = monotonic_now();
    next_attempt.tv_sec += wait_seconds;
    const PassResult result = relay_pass(direction, control, wait_milliseconds);
    switch (result.pass) {
      case Pass::stopped:
        return;
      case Pass::idle:
      case Pass::relayed:
        continue;
      case Pass::read_failed:
        std::printf("ERROR reading n = %d\n", result.count);
        break;
      case Pass::write_failed:
        std::printf("ERROR writing\n");
        break;
      case Pass::hung_up:
        break;
    }
    // A failed or hung-up port fails again at once: wait out the period rather than spin.
    direction.retry_at = next_attempt;
  }
}

}  // namespace looptest
