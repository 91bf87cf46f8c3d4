// write.h: writing a block to a descriptor that never blocks, waiting while it takes nothing,
// until a deadline or until the control descriptor says to stop.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <optional>
#include <span>

namespace looptest {

enum class Written {
  whole,      ///< All of it went out.
  timed_out,  ///< The deadline came first; the rest is left.
  stopped,    ///< The control descriptor became readable first; the rest is left.
  failed,     ///< The descriptor failed (errno says why); the rest is left.
};

/// One write of at most size bytes that never waits: what was taken, or -1 with errno.
using WriteOnce = ssize_t (*)(int fd, const char* data, std::size_t size);

/// Told what each try took: the byte count, or 0 when the descriptor took nothing and the
/// write now waits for room.
struct WriteWatcher {
  void (*took)(void* context, std::size_t bytes) = nullptr;
  void* context = nullptr;
};

// write.cpp
/// Writes left to fd until it is all out, until deadline (none: no end), or until control
/// (-1: none) becomes readable; left is then what is still to write. A descriptor that is full
/// (EAGAIN) is waited for; one that fails (EPIPE, EIO, ...) ends the write at once, as no wait
/// would ever give it room. EINTR is retried.
Written write_with_deadline(int fd, std::span<const char>& left, int control,
                            std::optional<timespec> deadline, WriteWatcher watcher = {},
                            WriteOnce write_once = nullptr);

}  // namespace looptest
