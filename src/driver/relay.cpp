#include "driver/relay.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "driver/messages.h"
#include "driver/ring.h"
#include "driver/turn.h"
#include "system/clock.h"
#include "system/wait.h"
#include "system/write.h"

namespace looptest {

namespace {

void set_pending(Direction& direction, std::span<const char> pending) {
  direction.counts->last_moved.store(nanoseconds_of(monotonic_now()), std::memory_order_relaxed);
  direction.pending = pending;
  direction.counts->pending.store(pending.size(), std::memory_order_relaxed);
}

// The output takes nothing: from now on the pending block waits, unless it waited already.
void start_waiting(Direction& direction) {
  if (direction.waiting_for_room) return;
  direction.waiting_for_room = true;
  direction.counts->waiting_since.store(nanoseconds_of(monotonic_now()), std::memory_order_relaxed);
}

// The stream the relay owes its output, made in its buffer: its block to write.
void take_owed_stream(Direction& direction) {
  std::span<char> block(direction.buffer);
  if (direction.turn != nullptr) {
    const std::uint64_t allowed = turn_allows(*direction.turn, direction.ring->generated);
    block = block.first(static_cast<std::size_t>(std::min<std::uint64_t>(allowed, block.size())));
  }
  set_pending(direction, owed_stream(*direction.ring, block, *direction.counts));
}

void stop_waiting(Direction& direction) {
  if (!direction.waiting_for_room) return;
  direction.waiting_for_room = false;
  direction.counts->waiting_since.store(0, std::memory_order_relaxed);
}

// The output took bytes of the pending block, or, with 0, nothing: the block waits for room.
void took(Direction& direction, std::size_t bytes) {
  if (bytes == 0) {
    start_waiting(direction);
    return;
  }
  count(direction.counts->bytes, bytes);
  set_pending(direction, direction.pending.subspan(bytes));
  stop_waiting(direction);
}

}  // namespace

Pass write_pending(Direction& direction, int control, int timeout_ms) {
  // Flow control may hold a line for any time, so only a stop or the deadline ends this.
  const std::optional<timespec> deadline =
      timeout_ms < 0 ? std::nullopt : std::optional(later_by(monotonic_now(), timeout_ms));
  std::span<const char> left = direction.pending;
  const Written written = write_with_deadline(
      direction.out, left, control, deadline,
      {.took = [](void* context,
                  std::size_t bytes) { took(*static_cast<Direction*>(context), bytes); },
       .context = &direction});
  switch (written) {
    case Written::whole:
      return Pass::relayed;
    case Written::timed_out:
      return Pass::held;
    case Written::stopped:
      return Pass::stopped;
    case Written::failed:
      direction.counts->last_error.store(errno, std::memory_order_relaxed);
      stop_waiting(direction);
      return Pass::write_failed;
  }
  return Pass::write_failed;
}

PassResult relay_pass(Direction& direction, int control, int timeout_ms) {
  if (direction.turn != nullptr) {
    timeout_ms = take_turns(*direction.turn, *direction.ring, !direction.pending.empty(),
                            direction.in, timeout_ms);
  }
  // A relay of the ring writes what it owes before it reads more.
  if (direction.ring != nullptr && direction.pending.empty()) take_owed_stream(direction);
  int read_count = static_cast<int>(direction.pending.size());
  if (direction.pending.empty()) {
    // With input backing up, a wait would only cost a system call.
    const bool skip_wait =
        direction.backed_up_reads > 0 && direction.backed_up_reads <= most_reads_without_wait;
    Readiness ready;
    if (!skip_wait) {
      ready = wait_for(direction.in, POLLIN, control, timeout_ms);
      if (ready.control) return {Pass::stopped, 0};
    }
    const bool waited = !skip_wait;
    const ssize_t got = read(direction.in, direction.buffer.data(), direction.buffer.size());
    const bool backed_up = got >= static_cast<ssize_t>(backed_up_read);
    direction.backed_up_reads = backed_up ? (waited ? 1 : direction.backed_up_reads + 1) : 0;
    DirectionCounts& counts = *direction.counts;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return {Pass::idle, 0};
      count(counts.read_errors);
      counts.last_error.store(errno, std::memory_order_relaxed);
      return {Pass::read_failed, static_cast<int>(got), errno};
    }
    if (got == 0) {
      if (!ready.port) return {Pass::idle, 0};
      count(counts.read_errors);
      return {Pass::hung_up, 0};
    }
    const auto block = std::span(direction.buffer).first(static_cast<std::size_t>(got));
    if (direction.ring != nullptr) {
      if (direction.turn == nullptr || writing(*direction.turn)) {
        check_arrived(*direction.ring, block, counts);
      }
      take_owed_stream(direction);
    } else {
      set_pending(direction, block);
    }
    read_count = static_cast<int>(got);
  }
  return {write_pending(direction, control, -1), read_count};
}

void drop_failed_block(Direction& direction) {
  print_message("ERROR writing\n");
  count(direction.counts->write_errors);
  set_pending(direction, {});
}

RelayEnd relay_direction(Direction& direction, int control) {
  for (;;) {
    if (direction.retry_at) {
      if (!wait_until(*direction.retry_at, control)) return RelayEnd::stopped;
      direction.retry_at.reset();
    }
    const timespec next_attempt = later_by(monotonic_now(), wait_milliseconds);
    const PassResult result = relay_pass(direction, control, wait_milliseconds);
    switch (result.pass) {
      case Pass::stopped:
        return RelayEnd::stopped;
      case Pass::idle:
      case Pass::relayed:
      case Pass::held:
        continue;
      case Pass::read_failed:
        print_message("ERROR reading n = %d\n", result.count);
        break;
      case Pass::write_failed:
      case Pass::hung_up:
        break;
    }
    // A failed or hung-up port fails again at once: wait out the period rather than spin.
    direction.retry_at = next_attempt;
    return result.pass == Pass::write_failed ? RelayEnd::write_failed : RelayEnd::failed;
  }
}

}  // namespace looptest
