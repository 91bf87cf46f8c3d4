// loop_test.h: opening the two ports and relaying between them, both ways at once.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "settings/port_names.h"
#include "settings/settings.h"

namespace looptest {

/// The most one pass reads and relays.
inline constexpr std::size_t transfer_size = 4096;
/// How long a pass waits for input before it reads anyway.
inline constexpr int wait_seconds = 5;
inline constexpr int wait_milliseconds = wait_seconds * 1000;

enum class Pass {
  idle,          ///< Nothing arrived.
  relayed,       ///< A block was read and all of it written.
  hung_up,       ///< The port said it was readable, yet had nothing: it hung up.
  read_failed,   ///< The read failed.
  write_failed,  ///< The write failed; the rest of the block is dropped.
};

struct PassResult {
  Pass pass = Pass::idle;
  int count = 0;  ///< What the read returned.
};

// loop_test.cpp
/// Gives descriptors 0, 1 and 2 to /dev/null where they are closed, so that no port can
/// take one of them and receive the tool's messages.
void claim_standard_descriptors();
/// Writes all of data, retrying when interrupted and waiting while the port takes no more.
/// False on a real error, with the rest unwritten.
bool write_all(int fd, std::span<const char> data);
/// Waits up to timeout_ms for input on in, reads at most one block and writes it all to out.
PassResult relay_pass(int in, int out, std::span<char, transfer_size> buffer, int timeout_ms);
/// Relays in to out without end. A pass that fails is followed by the rest of its wait, so a
/// dead port costs one message per wait and no CPU.
[[noreturn]] void relay_direction(int in, int out);
/// Prints the paths, opens and configures both ports from settings, then relays port 1 to
/// port 2 in this process and port 2 to port 1 in a child. Returns -1 when a port will not open.
int run_loop_test(const PortPath& port1, const PortPath& port2, const LineSettings& settings);

}  // namespace looptest
