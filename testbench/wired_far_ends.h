// wired_far_ends.h: the far ends of two virtual ports wired as a test plugs them: a loop plug
// on each port (what a port sends comes back into it), a cable between them, a plug on the
// first only, or nothing at all. A far end can harm what passes through it once, as a bad
// line would: flip a bit, drop a run of bytes, send some twice, or add noise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "virtual_ports.h"

namespace testbench {

enum class Wired { loops, cable, loop_on_first, nothing };

/// What a far end does once to the bytes passing through it.
struct Harm {
  enum class Kind { none, flip, drop, repeat, noise } kind = Kind::none;
  int far_end = 1;         ///< Of the first port, or the second.
  std::uint64_t at = 0;    ///< After this many bytes have passed through that far end.
  std::size_t length = 1;  ///< Bytes dropped, sent twice or added; for a flip, the bit.
};

class WiredFarEnds {
 public:
  /// delay_ms: how long each far end holds what it reads before it sends it on, as a slow
  /// line or a modem would.
  WiredFarEnds(const VirtualPort& first, const VirtualPort& second, Wired wired, Harm harm = {},
               int delay_ms = 0);
  ~WiredFarEnds();
  WiredFarEnds(const WiredFarEnds&) = delete;
  WiredFarEnds& operator=(const WiredFarEnds&) = delete;

  /// Bytes that have passed through each far end.
  std::uint64_t passed(int far_end) const { return passed_[far_end - 1].load(); }
  /// Whether a byte 0x11 or 0x13 (XON, XOFF) ever passed.
  bool saw_flow_characters() const { return saw_flow_.load(); }
  /// The bits of all bytes that passed, or'ed together.
  unsigned bits_seen() const { return bits_.load(); }
  /// Whether the harm was done.
  bool harmed() const { return harmed_.load(); }

 private:
  void move(const std::stop_token& stop);

  int first_;
  int second_;
  Wired wired_;
  Harm harm_;
  int delay_ms_;
  std::atomic<std::uint64_t> passed_[2]{};
  std::atomic<bool> saw_flow_{false};
  std::atomic<unsigned> bits_{0};
  std::atomic<bool> harmed_{false};
  std::jthread mover_;
};

}  // namespace testbench
