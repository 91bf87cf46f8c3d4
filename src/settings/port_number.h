// port_number.h: port 1 or port 2 of a run, as a type of its own, so that no other number
// passes for one.
#pragma once

namespace looptest {

enum class PortNumber { one = 1, two = 2 };

/// The other port of the two.
constexpr PortNumber other(PortNumber number) {
  return number == PortNumber::one ? PortNumber::two : PortNumber::one;
}

/// The port's place in an array of two: 0 or 1.
constexpr int index_of(PortNumber number) { return number == PortNumber::one ? 0 : 1; }

}  // namespace looptest
