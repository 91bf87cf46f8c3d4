#include "driver/messages.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <span>

#include "system/clock.h"
#include "system/wait.h"

namespace looptest {

namespace {

enum class Writer {
  direct,     ///< A non-blocking description of the tool's own, or a file, which never waits.
  to_socket,  ///< A socket: each send says for itself not to wait.
  guarded,    ///< Only the shared description: written to only when a wait says it has room.
};

// Standard output is one per process, so where the lines go is too.
int message_fd = STDOUT_FILENO;
Writer writer = Writer::direct;
std::atomic<std::uint64_t>* dropped_lines = nullptr;

// Writes what the output takes of line now, without waiting; -1 when it takes nothing or
// fails.
ssize_t write_some(const char* line, std::size_t length) {
  ssize_t written = -1;
  do {
    switch (writer) {
      case Writer::direct:
        written = write(message_fd, line, length);
        break;
      case Writer::to_socket:
        written = send(message_fd, line, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        break;
      case Writer::guarded: {
        pollfd room{message_fd, POLLOUT, 0};
        if (poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) return -1;
        written = write(message_fd, line, length);
        break;
      }
    }
  } while (written == -1 && errno == EINTR);
  return written;
}

bool write_line(const char* line, std::size_t length) {
  // A line cut short is as good as lost; what it would wait for is not written.
  return write_some(line, length) == static_cast<ssize_t>(length);
}

// Formats one line into line; its length, 0 for none.
[[gnu::format(printf, 2, 0)]] std::size_t format_line(MessageLine& line, const char* format,
                                                      va_list arguments) {
  const int length = std::vsnprintf(line.data(), line.size(), format, arguments);
  return length <= 0 ? 0 : std::min(static_cast<std::size_t>(length), line.size() - 1);
}

}  // namespace

void open_message_output(std::atomic<std::uint64_t>& dropped) {
  dropped_lines = &dropped;
  struct stat output {};
  if (fstat(STDOUT_FILENO, &output) != 0) return;
  // A file or a disk takes a line without waiting for anyone.
  if (S_ISREG(output.st_mode) || S_ISBLK(output.st_mode)) return;
  if (S_ISSOCK(output.st_mode)) {
    writer = Writer::to_socket;
    return;
  }
  // Opened again through /proc, a pipe, a FIFO or a terminal gives a description of its own,
  // whose O_NONBLOCK the shell that shares standard output never sees.
  const int own = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (own != -1) {
    message_fd = own;
    return;
  }
  writer = Writer::guarded;
}

void print_message(const char* format, ...) {
  MessageLine line{};
  va_list arguments;
  va_start(arguments, format);
  const std::size_t size = format_line(line, format, arguments);
  va_end(arguments);
  if (size == 0) return;
  if (!write_line(line.data(), size) && dropped_lines != nullptr) {
    dropped_lines->fetch_add(1, std::memory_order_relaxed);
  }
}

Printed print_message_waiting(timespec deadline, int stop, const char* format, ...) {
  MessageLine line{};
  va_list arguments;
  va_start(arguments, format);
  const std::size_t size = format_line(line, format, arguments);
  va_end(arguments);
  std::span<const char> left = std::span(line).first(size);
  while (!left.empty()) {
    const ssize_t written = write_some(left.data(), left.size());
    if (written > 0) {
      left = left.subspan(static_cast<std::size_t>(written));
      continue;
    }
    if (written == -1 && errno != EAGAIN && errno != EWOULDBLOCK && writer != Writer::guarded) {
      return Printed::timed_out;  // an output that fails takes nothing, however long one waits
    }
    const int wait_ms = milliseconds_until(deadline);
    if (wait_ms == 0) return Printed::timed_out;
    if (wait_for(message_fd, POLLOUT, stop, wait_ms).control) return Printed::stopped;
  }
  return Printed::whole;
}

}  // namespace looptest
