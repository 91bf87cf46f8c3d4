// pair_far_ends.h: the far ends of two virtual ports joined by one half-duplex pair, as an
// RS-485 link joins two transceivers: what either port sends reaches the other, and the
// sender too when its transceiver echoes. The pair carries one character at a time at its own
// pace: bytes sent while the other side's are still on it are garbled, as on a real pair.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "virtual_ports.h"

namespace testbench {

class PairFarEnds {
 public:
  /// echo: each port hears what it sends; character_us: one character's time on the pair.
  PairFarEnds(const VirtualPort& first, const VirtualPort& second, bool echo,
              int character_us = 100);
  ~PairFarEnds();
  PairFarEnds(const PairFarEnds&) = delete;
  PairFarEnds& operator=(const PairFarEnds&) = delete;

  /// Bytes each far end sent onto the pair.
  std::uint64_t sent(int far_end) const { return sent_[far_end - 1].load(); }
  /// Bytes garbled: sent while the other side's were on the pair.
  std::uint64_t garbled() const { return garbled_.load(); }

 private:
  void move(const std::stop_token& stop);

  int first_;
  int second_;
  bool echo_;
  int character_us_;
  std::atomic<std::uint64_t> sent_[2]{};
  std::atomic<std::uint64_t> garbled_{0};
  std::jthread mover_;
};

}  // namespace testbench
