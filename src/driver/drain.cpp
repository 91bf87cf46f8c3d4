#include "driver/drain.h"

#include <algorithm>
#include <optional>

#include "driver/signals.h"
#include "line/uart_status.h"
#include "system/clock.h"
#include "system/wait.h"

namespace looptest {

namespace {

// Waits until done() or until, unless the end is hurried. A driver tells no one when its
// queue or its transmitter runs empty, so it is asked every few milliseconds.
template <typename Done>
void wait_at_end_for(EndWaits& end, timespec until, Done done) {
  constexpr int poll_interval_ms = 10;
  while (!end.hurried && !done() && milliseconds_until(until) > 0) {
    wait_for_signal_at_end(end, std::min(milliseconds_until(until), poll_interval_ms));
  }
}

}  // namespace

void wait_for_signal_at_end(EndWaits& end, int timeout_ms) {
  if (wait_readable(end.signals, timeout_ms)) take_signals_at_end(end);
}

void take_signals_at_end(EndWaits& end) {
  while (const int signal_number = next_signal(end.signals)) {
    if (is_stop(signal_number)) end.hurried = true;
  }
}

EndWaits start_end(int signals, std::int32_t rate, int ring_ms) {
  const timespec deadline = later_by(monotonic_now(), drain_milliseconds);
  return {.signals = signals,
          .deadline = deadline,
          .ring_deadline = later_by(deadline, ring_ms),
          .rate = rate};
}

void drain_ring(Direction& direction, const DirectionCounts& upstream, timespec until, int control,
                EndWaits* end) {
  RingPart& part = *direction.ring;
  part.writing = false;
  // What the hop was sent: what upstream made, less what it could not write.
  const auto sent = [&] {
    return upstream.generated.load(std::memory_order_relaxed) -
           upstream.pending.load(std::memory_order_relaxed);
  };
  const auto all_in = [&] {
    return upstream.stream_ended.load(std::memory_order_relaxed) &&
           part.checker.position >= sent() && unresolved(part.checker) == 0;
  };
  const auto in = [&] { return part.checker.position + unresolved(part.checker); };
  // A ring that brings nothing for a while has stalled: what it holds is not waited for.
  std::uint64_t came = in();
  timespec stalled_at = later_by(monotonic_now(), part.stall_ms);
  bool cut_short = false;
  while (!all_in()) {
    if (in() != came) {
      came = in();
      stalled_at = later_by(monotonic_now(), part.stall_ms);
    }
    const int left = std::min(milliseconds_until(until),
                              part.stall_ms > 0 ? milliseconds_until(stalled_at) : 1 << 30);
    if (left == 0) break;
    // A relay that owes nothing more only reads and checks.
    const PassResult result = relay_pass(direction, control, std::min(left, 10));
    if (result.pass == Pass::read_failed || result.pass == Pass::hung_up) break;
    if (result.pass != Pass::stopped) continue;
    // Only a stop ends this early: the second relay's end, say, is no stop. (The second relay
    // is hurried by the first closing the link.)
    if (end != nullptr) take_signals_at_end(*end);
    cut_short = end == nullptr || end->hurried;
    if (cut_short) break;
  }
  // What a stop did not wait for is on its way, not lost: only what the time given did not
  // bring is.
  settle_part(part, cut_short ? std::min(sent(), in()) : sent(), *direction.counts);
}

InputAtEnd input_at_end(const Port& input, const DirectionCounts& counts) {
  const std::int64_t last_moved = counts.last_moved.load(std::memory_order_relaxed);
  return {.unread = input_queued(input.fd),
          .idle_ms = milliseconds_since(last_moved),
          .waiting_for_output = counts.waiting_since.load(std::memory_order_relaxed) != 0};
}

void finish_first_relay(Direction& forward, EndWaits& end) {
  while (!end.hurried && !forward.pending.empty()) {
    const int left = milliseconds_until(end.deadline);
    if (write_pending(forward, end.signals, left) != Pass::stopped) return;
    take_signals_at_end(end);
  }
}

// What a driver still holds once the deadline has come is thrown away, so that a line held by
// flow control cannot hold up the close; only that, as all the rest reaches the far end. What
// its transmitter holds already then leaves at the line's rate, before the restore changes it;
// a transmitter that still holds characters after that stands still. A UART that does flow
// control itself (a PL011, a 16550 with auto-CTS) holds them there, where the queue that the
// driver counts and throws away is empty. A transmitter that never said it was empty, not
// even before anything was sent, says nothing: the port is then judged as one that is no
// UART.
OutputAtEnd drain_output(const Port& port, EndWaits& end) {
  const auto empty = [&]() -> std::optional<bool> {
    return port.transmitter_trusted ? transmitter_empty(port.fd) : std::nullopt;
  };
  wait_at_end_for(end, end.deadline, [&] { return output_queued(port.fd) == 0; });
  OutputAtEnd output{.discarded = output_queued(port.fd), .transmitter_empty = empty()};
  if (output.discarded > 0) discard_output(port.fd);
  const int fifo = transmit_fifo_size(port.fd).value_or(16);
  const timespec sent_by = later_by(
      end.deadline, std::max(transmitter_milliseconds(end.rate, fifo), drain_milliseconds));
  const auto sent = [&] { return empty().value_or(true); };
  wait_at_end_for(end, sent_by, sent);
  output.transmitter_stalled = !end.hurried && !sent();
  return output;
}

}  // namespace looptest
