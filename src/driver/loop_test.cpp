#include "driver/loop_test.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "line/line_config.h"

namespace looptest {

namespace {

// Waits as long as it takes for room, as flow control may hold a line for any time; false
// when the port reports an error or hang-up instead.
bool wait_writable(int fd) {
  pollfd port{fd, POLLOUT, 0};
  int ready = 0;
  do {
    ready = poll(&port, 1, -1);
  } while (ready == -1 && errno == EINTR);
  return ready > 0 && (port.revents & POLLOUT) != 0;
}

timespec monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return now;
}

void sleep_until(timespec deadline) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

int open_port(const char* path) {
  // Never wait for carrier, and never make the port the controlling terminal.
  int fd = -1;
  do {
    fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  return fd;
}

void configure_port(int fd, const PortPath& path, const LineSettings& settings) {
  if (!configure_line(fd, settings, settings.baudrate)) {
    std::printf("ERROR configuring %s\n", path.data());
  }
  // The port was opened non-blocking only so the open would not wait for carrier. Should
  // clearing it fail, the relay still works: it waits for room itself, and a read that would
  // block counts as nothing read.
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// The child ends with the parent, however the parent ends, so no orphan keeps a port open.
void end_with(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);   // cannot fail with a valid signal
  if (getppid() != parent) _exit(1);  // the parent died before the request took effect
}

}  // namespace

void claim_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd, as those below it are open by now.
    if (open("/dev/null", O_RDWR) == -1) return;
  }
}

bool write_all(int fd, std::span<const char> data) {
  while (!data.empty()) {
    const ssize_t written = write(fd, data.data(), data.size());
    if (written > 0) {
      data = data.subspan(static_cast<std::size_t>(written));
    } else if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!wait_writable(fd)) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

PassResult relay_pass(int in, int out, std::span<char, transfer_size> buffer, int timeout_ms) {
  // A wait that times out or is interrupted is no failure: the read finds nothing.
  pollfd port{in, POLLIN, 0};
  const int ready = poll(&port, 1, timeout_ms);
  const ssize_t count = read(in, buffer.data(), buffer.size());
  if (count < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return {Pass::idle, 0};
    return {Pass::read_failed, static_cast<int>(count)};
  }
  if (count == 0) return {ready > 0 ? Pass::hung_up : Pass::idle, 0};
  const int read_count = static_cast<int>(count);
  if (!write_all(out, buffer.first(static_cast<std::size_t>(count)))) {
    return {Pass::write_failed, read_count};
  }
  return {Pass::relayed, read_count};
}

void relay_direction(int in, int out) {
  std::array<char, transfer_size> buffer;
  for (;;) {
    timespec next_attempt = monotonic_now();
    next_attempt.tv_sec += wait_seconds;
    const PassResult result = relay_pass(in, out, buffer, wait_milliseconds);
    switch (result.pass) {
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
    sleep_until(next_attempt);
  }
}

int run_loop_test(const PortPath& port1, const PortPath& port2, const LineSettings& settings) {
  std::printf("tty1=%s\ntty2=%s\n", port1.data(), port2.data());
  const int fd1 = open_port(port1.data());
  if (fd1 == -1) return -1;
  const int fd2 = open_port(port2.data());
  if (fd2 == -1) return -1;
  configure_port(fd1, port1, settings);
  configure_port(fd2, port2, settings);

  // Should the split fail, this process still relays port 1 to port 2.
  const pid_t parent = getpid();
  if (fork() == 0) {
    end_with(parent);
    relay_direction(fd2, fd1);
  }
  relay_direction(fd1, fd2);
}

}  // namespace looptest
