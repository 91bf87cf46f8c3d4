// wait.h: waiting for a descriptor while also watching a control descriptor, so that a stop
// always reaches a wait, whatever it waits for.
#pragma once

#include <poll.h>
#include <time.h>

#include <span>

namespace looptest {

/// What a wait found ready.
struct Readiness {
  bool port = false;     ///< The descriptor waited for has the events asked for, or an error.
  bool control = false;  ///< The control descriptor is readable.
};

// wait.cpp
/// Waits up to timeout_ms (-1: without end) for any of watched to have its events; their
/// revents say which. The one poll() of the tool: a wait that times out or is interrupted
/// finds nothing (false).
bool wait_for_any(std::span<pollfd> watched, int timeout_ms);
/// Waits up to timeout_ms (-1: without end) until fd has events or control is readable. A
/// descriptor of -1 is not watched. A wait that times out or is interrupted finds nothing.
Readiness wait_for(int fd, short events, int control, int timeout_ms);
/// Waits up to timeout_ms for fd to become readable.
bool wait_readable(int fd, int timeout_ms);
/// Waits until deadline; false when control became readable first.
bool wait_until(timespec deadline, int control);

}  // namespace looptest
