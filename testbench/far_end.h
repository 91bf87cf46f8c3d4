// far_end.h: playing the far ends of the cables, several streams at once.
#pragma once

#include <cstddef>
#include <vector>

#include "virtual_ports.h"

namespace testbench {

/// One stream through a relay: data written in at one far end, read out at another.
struct Flow {
  Flow(int into_fd, int out_of_fd, std::vector<char> bytes)
      : into(into_fd), out_of(out_of_fd), data(std::move(bytes)) {}
  int into = -1;    ///< Non-blocking far end the data is written to.
  int out_of = -1;  ///< Non-blocking far end the data is read from.
  std::vector<char> data;
  std::size_t sent = 0;
  std::vector<char> received;
};

/// Moves all flows at once until each has received as much as it holds, or the time runs
/// out; true when every flow arrived whole and in order.
bool transfer(const std::vector<Flow*>& flows, int timeout_ms);
/// Bytes of every value, in an order that depends on seed.
std::vector<char> test_pattern(std::size_t size, unsigned seed);
/// Whether any process holds the port open: once none does, its far end sees a hang-up.
bool held_open(const VirtualPort& port);

}  // namespace testbench
