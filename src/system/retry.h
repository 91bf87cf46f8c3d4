// retry.h: system calls that a signal may interrupt.
#pragma once

#include <cerrno>

namespace looptest {

/// Calls call until it returns anything but -1 with errno EINTR, and returns that.
template <typename Call>
int retry_interrupted(Call call) {
  int result = 0;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace looptest
