#include "system/write.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "system/clock.h"
#include "system/wait.h"

namespace looptest {

Written write_with_deadline(int fd, std::span<const char>& left, int control,
                            std::optional<timespec> deadline, WriteWatcher watcher,
                            WriteOnce write_once) {
  while (!left.empty()) {
    const ssize_t written = write_once != nullptr ? write_once(fd, left.data(), left.size())
                                                  : write(fd, left.data(), left.size());
    if (written > 0) {
      left = left.subspan(static_cast<std::size_t>(written));
      if (watcher.took != nullptr) watcher.took(watcher.context, static_cast<std::size_t>(written));
      continue;
    }
    if (written == -1 && errno == EINTR) continue;
    if (written == -1 && errno != EAGAIN && errno != EWOULDBLOCK) return Written::failed;
    if (watcher.took != nullptr) watcher.took(watcher.context, 0);
    const int wait_ms = deadline ? milliseconds_until(*deadline) : -1;
    if (wait_ms == 0) return Written::timed_out;
    if (wait_for(fd, POLLOUT, control, wait_ms).control) return Written::stopped;
  }
  return Written::whole;
}

}  // namespace looptest
