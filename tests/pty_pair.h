// pty_pair.h: a pty pair for a unit test that needs a terminal but no device: its slave is
// the port, its master the far end.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <utility>

namespace looptest {

struct PtyPair {
  int master = -1;
  int slave = -1;  ///< -1 when the pair could not be made.
  PtyPair() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~PtyPair() {
    for (const int fd : {slave, master}) {
      if (fd != -1) close(fd);
    }
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
};

}  // namespace looptest
