#include "driver/relay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace looptest {
namespace {

struct Pipe {
  std::array<int, 2> ends{-1, -1};
  Pipe() { EXPECT_EQ(pipe2(ends.data(), O_CLOEXEC), 0); }
  ~Pipe() {
    close_read();
    close_write();
  }
  int read_end() const { return ends[0]; }
  int write_end() const { return ends[1]; }
  void close_read() { close(std::exchange(ends[0], -1)); }
  void close_write() { close(std::exchange(ends[1], -1)); }
  // The smallest pipe the kernel allows: one page, so large writes come back short.
  void shrink_and_make_non_blocking() {
    EXPECT_EQ(fcntl(write_end(), F_SETPIPE_SZ, 4096), 4096);
    EXPECT_EQ(fcntl(write_end(), F_SETFL, O_NONBLOCK), 0);
  }
};

std::vector<char> every_byte_value(std::size_t size) {
  std::vector<char> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 256);
  return data;
}

// Drains a pipe on another thread, slowly at first, so the writer keeps finding it full.
std::thread drain(int fd, std::vector<char>& received, std::size_t expected) {
  return std::thread([fd, &received, expected] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::array<char, 1000> buffer;
    while (received.size() < expected) {
      const ssize_t count = read(fd, buffer.data(), buffer.size());
      if (count <= 0) return;
      received.insert(received.end(), buffer.begin(), buffer.begin() + count);
    }
  });
}

class Relay : public testing::Test {
 protected:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
  Direction direction_between(const Pipe& in, const Pipe& out) {
    return {.in = in.read_end(), .out = out.write_end(), .counts = &counts};
  }
  DirectionCounts counts;
};

TEST_F(Relay, APassRelaysWhatArrivedInOneBlockAndCountsIt) {
  Pipe in;
  Pipe out;
  Direction direction = direction_between(in, out);
  const std::vector<char> sent = every_byte_value(transfer_size + 100);
  ASSERT_EQ(write(in.write_end(), sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));

  PassResult result = relay_pass(direction, -1, 0);
  EXPECT_EQ(result.pass, Pass::relayed);
  EXPECT_EQ(result.count, static_cast<int>(transfer_size));
  result = relay_pass(direction, -1, 0);
  EXPECT_EQ(result.count, 100);
  EXPECT_EQ(counts.bytes, sent.size());

  std::vector<char> received(sent.size());
  ASSERT_EQ(read(out.read_end(), received.data(), received.size()),
            static_cast<ssize_t>(sent.size()));
  EXPECT_TRUE(received == sent);
}

TEST_F(Relay, PassesLoseNothingWhenThePortTakesLittleAtATime) {
  Pipe in;
  Pipe out;
  out.shrink_and_make_non_blocking();
  Direction direction = direction_between(in, out);
  const std::vector<char> sent = every_byte_value(1 << 20);
  std::vector<char> received;
  std::thread reader = drain(out.read_end(), received, sent.size());
  std::thread writer([&] {
    EXPECT_EQ(write(in.write_end(), sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  });
  while (counts.bytes < sent.size()) {
    const Pass pass = relay_pass(direction, -1, 1000).pass;
    ASSERT_TRUE(pass == Pass::relayed || pass == Pass::idle);
  }
  writer.join();
  reader.join();
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(counts.read_errors + counts.write_errors, 0u);
}

TEST_F(Relay, APassTellsIdleFromHungUpAndFailedAndCountsTheFailures) {
  Pipe in;
  Pipe out;
  Direction direction = direction_between(in, out);
  // A port with nothing to read may say so with EAGAIN: that is no failure.
  ASSERT_EQ(fcntl(in.read_end(), F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(relay_pass(direction, -1, 0).pass, Pass::idle);

  // A read end can be written to but not read: the read fails.
  Direction backwards{.in = out.write_end(), .out = in.write_end(), .counts = &counts};
  const PassResult failed = relay_pass(backwards, -1, 0);
  EXPECT_EQ(failed.pass, Pass::read_failed);
  EXPECT_EQ(failed.count, -1);
  EXPECT_EQ(counts.read_errors, 1u);

  ASSERT_EQ(write(in.write_end(), "abc", 3), 3);
  out.close_read();
  EXPECT_EQ(relay_pass(direction, -1, 0).pass, Pass::write_failed);
  EXPECT_EQ(direction.pending.size(), 3u) << "kept, in case the port comes back";
  drop_failed_block(direction);
  EXPECT_EQ(counts.write_errors, 1u);
  EXPECT_TRUE(direction.pending.empty()) << "a failed write to a port still there is dropped";

  in.close_write();  // readable, yet nothing comes: the far end is gone
  EXPECT_EQ(relay_pass(direction, -1, 1000).pass, Pass::hung_up);
  EXPECT_EQ(counts.read_errors, 2u);
  EXPECT_EQ(counts.bytes, 0u);
}

TEST_F(Relay, AStopEndsAnyWaitAndKeepsThePendingBlock) {
  Pipe in;
  Pipe out;
  Pipe control;
  out.shrink_and_make_non_blocking();
  Direction direction = direction_between(in, out);
  ASSERT_EQ(write(control.write_end(), "!", 1), 1);
  EXPECT_EQ(relay_pass(direction, control.read_end(), -1).pass, Pass::stopped)
      << "the wait for input";

  const std::vector<char> filler = every_byte_value(4000);  // leaves room for less than a block
  ASSERT_EQ(write(out.write_end(), filler.data(), filler.size()), 4000);
  const std::vector<char> sent = every_byte_value(transfer_size);
  ASSERT_EQ(write(in.write_end(), sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  char stop = 0;
  ASSERT_EQ(read(control.read_end(), &stop, 1), 1);
  // Stops once the block has been read, so the pass is waiting for room by then.
  std::thread stopper([&] {
    int unread = 1;
    while (ioctl(in.read_end(), FIONREAD, &unread) == 0 && unread > 0) std::this_thread::yield();
    EXPECT_EQ(write(control.write_end(), "!", 1), 1);
  });
  EXPECT_EQ(relay_pass(direction, control.read_end(), -1).pass, Pass::stopped)
      << "the wait for room";
  stopper.join();
  EXPECT_FALSE(direction.pending.empty());

  ASSERT_EQ(read(control.read_end(), &stop, 1), 1);
  std::vector<char> received;
  std::thread reader = drain(out.read_end(), received, filler.size() + sent.size());
  EXPECT_EQ(relay_pass(direction, control.read_end(), -1).pass, Pass::relayed);
  reader.join();
  ASSERT_EQ(received.size(), filler.size() + sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), received.begin() + 4000));
  EXPECT_EQ(counts.bytes, sent.size());
}

TEST_F(Relay, InputThatBacksUpIsReadWithoutWaitingYetAStopStillComesThrough) {
  Pipe in;
  Pipe out;
  Pipe control;
  Direction direction = direction_between(in, out);
  const std::vector<char> sent = every_byte_value(transfer_size * (most_reads_without_wait + 4));
  std::vector<char> received;
  std::thread reader = drain(out.read_end(), received, sent.size());
  std::thread writer([&] {
    EXPECT_EQ(write(in.write_end(), sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  });
  while (counts.bytes < transfer_size) {
    ASSERT_NE(relay_pass(direction, control.read_end(), -1).pass, Pass::stopped);
  }
  // From now on a wait would see the stop; only the passes that skip their wait get through.
  ASSERT_EQ(write(control.write_end(), "!", 1), 1);
  int passes = 0;
  while (relay_pass(direction, control.read_end(), -1).pass == Pass::relayed) ++passes;
  EXPECT_GE(passes, 1) << "a backed-up read was followed by a wait";
  EXPECT_LE(passes, most_reads_without_wait);

  char stop = 0;
  ASSERT_EQ(read(control.read_end(), &stop, 1), 1);
  while (counts.bytes < sent.size()) ASSERT_NE(relay_pass(direction, -1, 1000).pass, Pass::stopped);
  writer.join();
  reader.join();
  EXPECT_TRUE(received == sent);
}

TEST_F(Relay, AStopReachesADirectionThatIsWaitingOutAFailure) {
  Pipe in;
  Pipe out;
  Pipe control;
  Direction direction = direction_between(in, out);
  in.close_write();  // hangs up at once, then waits out its period
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(write(control.write_end(), "!", 1), 1);
  });
  EXPECT_EQ(relay_direction(direction, control.read_end()), RelayEnd::failed);
  EXPECT_EQ(relay_direction(direction, control.read_end()), RelayEnd::stopped);
  stopper.join();
  EXPECT_TRUE(direction.retry_at.has_value()) << "it returned before its wait was over";
  EXPECT_EQ(counts.read_errors, 1u);
}

}  // namespace
}  // namespace looptest
