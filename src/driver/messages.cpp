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
#include <optional>
#include <span>

#include "driver/result_file.h"
#include "system/clock.h"
#include "system/wait.h"
#include "system/write.h"

namespace looptest {

namespace {

// A socket: each send says for itself not to wait.
ssize_t send_without_waiting(int fd, const char* data, std::size_t size) {
  return send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
}

// Only the shared description, which may block: written to only when a wait says it has room.
ssize_t write_when_room(int fd, const char* data, std::size_t size) {
  // An output that failed is ready too: the write then says how it failed.
  if (wait_for(fd, POLLOUT, -1, 0).port) return write(fd, data, size);
  errno = EAGAIN;
  return -1;
}

// Standard output is one per process, so where the lines go is too. nullptr: a plain write to
// a description of the tool's own that never blocks, or a file, which never waits.
int message_fd = STDOUT_FILENO;
WriteOnce write_once = nullptr;
std::atomic<std::uint64_t>* dropped_lines = nullptr;

// The rest of a line the output took only part of: it goes out before any other line.
std::array<char, text_line_size> unfinished{};
std::span<const char> unfinished_left{};

void keep_unfinished(std::span<const char> rest) {
  std::copy(rest.begin(), rest.end(), unfinished.begin());
  unfinished_left = std::span<const char>(unfinished).first(rest.size());
}

// Writes the unfinished line, then left, until deadline or until stop becomes readable. Of a
// line the output took only part of, the rest is kept as the unfinished line and left is
// emptied; left stays whole where none of it was written.
Written write_line(std::span<const char>& left, std::optional<timespec> deadline, int stop) {
  const std::size_t size = left.size();
  Written written =
      write_with_deadline(message_fd, unfinished_left, stop, deadline, {}, write_once);
  if (written == Written::whole) {
    written = write_with_deadline(message_fd, left, stop, deadline, {}, write_once);
  }
  if (!left.empty() && left.size() < size) {
    keep_unfinished(left);
    left = {};
  }
  return written;
}

}  // namespace

void open_message_output(std::atomic<std::uint64_t>& dropped) {
  dropped_lines = &dropped;
  struct stat output {};
  if (fstat(STDOUT_FILENO, &output) != 0) return;
  // A file or a disk takes a line without waiting for anyone.
  if (S_ISREG(output.st_mode) || S_ISBLK(output.st_mode)) return;
  if (S_ISSOCK(output.st_mode)) {
    write_once = send_without_waiting;
    return;
  }
  // Opened again through /proc, a pipe, a FIFO or a terminal gives a description of its own,
  // whose O_NONBLOCK the shell that shares standard output never sees.
  const int own = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (own != -1) {
    message_fd = own;
    return;
  }
  write_once = write_when_room;
}

void print_message(const char* format, ...) {
  TextLine line;
  va_list arguments;
  va_start(arguments, format);
  append_v(line, format, arguments);
  va_end(arguments);
  result_printed(line.view());
  std::span<const char> left(line.data(), line.length);
  // Without waiting: the deadline is now.
  if (!left.empty() && write_line(left, monotonic_now(), -1) != Written::whole &&
      left.size() == line.length && dropped_lines != nullptr) {
    dropped_lines->fetch_add(1, std::memory_order_relaxed);
  }
}

Printed print_line_waiting(std::span<const char>& left, timespec deadline, int stop) {
  switch (write_line(left, deadline, stop)) {
    case Written::whole:
      return Printed::whole;
    case Written::stopped:
      return Printed::stopped;
    case Written::timed_out:
    case Written::failed:
      break;
  }
  return Printed::timed_out;
}

}  // namespace looptest
