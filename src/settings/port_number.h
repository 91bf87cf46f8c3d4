// port_number.h: port 1 or port 2 of a run.
#pragma once

namespace looptest {

enum class PortNumber { one = 1, two = 2 };

/// The other port of the two.
constexpr PortNumber other(PortNumber port) {
  return port == PortNumber::one ? PortNumber::two : PortNumber::one;
}

/// 0 for port 1, 1 for port 2: where the port stands in a pair of anything.
constexpr int index_of(PortNumber port) { return port == PortNumber::one ? 0 : 1; }

}  // namespace looptest
