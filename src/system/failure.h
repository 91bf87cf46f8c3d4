// failure.h: a system call that failed, and why: what an ERROR line says, and what the run
// keeps of it.
#pragma once

#include <cerrno>

namespace looptest {

struct Failure {
  const char* call = nullptr;  ///< The call that failed; nullptr for none.
  int error = 0;               ///< Its errno.

  explicit operator bool() const { return call != nullptr; }
};

/// The call that just failed, with errno as it left it.
inline Failure failure_of(const char* call) { return {call, errno}; }

}  // namespace looptest
