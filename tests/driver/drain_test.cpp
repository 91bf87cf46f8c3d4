#include "driver/drain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>

#include "check/ring.h"
#include "driver/link.h"
#include "driver/signals.h"
#include "pty_pair.h"
#include "system/clock.h"
#include "system/wait.h"

namespace looptest {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The end's waits on pipes and ptys, with the run's signal descriptor, so that a stop can
// hurry them.
class Drain : public testing::Test {
 protected:
  void SetUp() override {
    sigprocmask(SIG_SETMASK, nullptr, &mask_before_);
    signals_ = take_signals();
    ASSERT_NE(signals_, -1);
    ASSERT_EQ(pipe2(pipe_.data(), O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(fcntl(pipe_[1], F_SETPIPE_SZ, 4096), 4096);
  }
  void TearDown() override {
    for (const int fd : {signals_, pipe_[0], pipe_[1]}) close(fd);
    sigprocmask(SIG_SETMASK, &mask_before_, nullptr);
  }

  // A block of size bytes pending for the pipe.
  Direction pending_for_pipe(std::size_t size) {
    Direction direction{.in = -1, .out = pipe_[1], .counts = &counts_};
    direction.pending = std::span<const char>(direction.buffer).first(size);
    return direction;
  }
  void fill_pipe() {
    const std::array<char, 4096> page{};
    ASSERT_EQ(write(pipe_[1], page.data(), page.size()), 4096);
  }

  int signals_ = -1;
  std::array<int, 2> pipe_{-1, -1};
  DirectionCounts counts_;
  sigset_t mask_before_{};
};

TEST_F(Drain, TheFirstRelaysBlockGoesOutWhereThereIsRoom) {
  Direction forward = pending_for_pipe(1000);
  EndWaits end = start_end(signals_, 9600);
  finish_first_relay(forward, end);
  EXPECT_TRUE(forward.pending.empty());
  EXPECT_EQ(counts_.bytes.load(), 1000u);
}

TEST_F(Drain, AnOutputThatTakesNothingIsGivenUpOnAtTheDeadlineWithItsBlockKept) {
  fill_pipe();
  Direction forward = pending_for_pipe(1000);
  const Clock::time_point start = Clock::now();
  EndWaits end = start_end(signals_, 9600);
  finish_first_relay(forward, end);
  EXPECT_GE(seconds_since(start), drain_milliseconds / 1000.0 - 0.01);
  EXPECT_LT(seconds_since(start), 5.0);
  EXPECT_EQ(forward.pending.size(), 1000u) << "what was not delivered is still known";
  EXPECT_FALSE(end.hurried);
}

TEST_F(Drain, AStopDuringTheEndHurriesIt) {
  fill_pipe();
  Direction forward = pending_for_pipe(1000);
  EndWaits end = start_end(signals_, 9600);
  end.deadline = later_by(monotonic_now(), 60'000);  // a wait that only a stop can cut short
  ASSERT_EQ(raise(SIGTERM), 0);
  const Clock::time_point start = Clock::now();
  finish_first_relay(forward, end);
  EXPECT_TRUE(end.hurried);
  EXPECT_LT(seconds_since(start), 5.0);
  EXPECT_EQ(forward.pending.size(), 1000u);
}

TEST_F(Drain, ARingThatBringsNothingIsGivenUpOnAsStalledAndWhatItHeldIsLost) {
  // At 50 bit/s the ring runs dry for 7 s: one stop must not wait that long for a ring whose
  // input brings nothing. What it held is counted lost, as the stop was no hurry.
  LineSettings settings;
  settings.baudrate = 50;
  RingPart part;
  RingPart other;
  make_ring_parts(settings, Wiring::loops, other, part);
  Direction backward{.in = pipe_[0], .out = -1, .counts = &counts_, .ring = &part};
  DirectionCounts upstream;
  upstream.generated = 16;
  upstream.stream_ended = true;
  EndWaits end = start_end(signals_, settings.baudrate, ring_drain_milliseconds(settings));
  const Clock::time_point start = Clock::now();
  drain_ring(backward, upstream, later_by(monotonic_now(), 20'000), signals_, &end);
  EXPECT_LT(seconds_since(start), 10.0);
  EXPECT_FALSE(end.hurried);
  EXPECT_EQ(counts_.lost.load(), 16u);
}

TEST_F(Drain, AnOutputThatIsNoUartHoldsNothingTheEndCanSee) {
  const PtyPair pty;
  ASSERT_NE(pty.slave, -1);
  const int slave = pty.slave;
  ASSERT_EQ(write(slave, "unread", 6), 6);
  const PortPath path = make_port_path("/dev/tep/a4");
  const Port port{.path = &path, .fd = slave};
  EndWaits end = start_end(signals_, 9600);
  const Clock::time_point start = Clock::now();
  const OutputAtEnd output = drain_output(port, end);
  EXPECT_EQ(output.discarded, 0u);
  EXPECT_EQ(output.transmitter_empty, std::nullopt);
  EXPECT_FALSE(output.transmitter_stalled);
  EXPECT_LT(seconds_since(start), 0.4) << "nothing to wait for where no count is kept";
}

}  // namespace
}  // namespace looptest
