// What the end of a run says, and whether it passes: bytes counted are bytes delivered, a
// direction held to the end fails the run, and so does a direction that never ran.
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "e2e.h"

namespace e2e {
namespace {

class Verdict : public LoopTest {};

// The bytes the summary of from -> to counts; -1 without one.
long long bytes_of(const std::string& output, const VirtualPort& from, const VirtualPort& to) {
  const std::optional<testbench::Summary> line =
      testbench::summary_of(output, from.path(), to.path());
  return line ? static_cast<long long>(line->bytes) : -1;
}

long long not_delivered(const std::string& output, const VirtualPort& from, const VirtualPort& to) {
  const std::optional<testbench::Summary> line =
      testbench::summary_of(output, from.path(), to.path());
  return line ? static_cast<long long>(line->not_delivered) : -1;
}

// Sends what the port takes within a second; returns how much that was.
std::size_t send(const VirtualPort& port, const std::vector<char>& data) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  std::size_t sent = 0;
  while (sent < data.size() && std::chrono::steady_clock::now() < end) {
    const ssize_t written = write(port.master(), data.data() + sent, data.size() - sent);
    if (written > 0) sent += static_cast<std::size_t>(written);
    if (written <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return sent;
}

TEST_F(Verdict, EveryByteCountedReachesTheFarEndAndAFarEndThatNeverReadsFailsTheRun) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(a4, a5, {"duration=3"});
  // 30,000 bytes for a5, whose far end reads nothing until the run is over.
  const std::vector<char> sent = test_pattern(30000, 3);
  EXPECT_GT(send(a4, sent), 20000u);

  const Finished finished = wait_for_end(looptest);
  const std::string arrived = read_all_left(a5);
  const long long counted = bytes_of(finished.output, a4, a5);
  EXPECT_EQ(counted, static_cast<long long>(arrived.size()) + 1) << finished.output;
  EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), sent.begin()));
  EXPECT_GT(not_delivered(finished.output, a4, a5), 0) << finished.output;
  EXPECT_NE(finished.output.find("ERROR /dev/tep/a4 -> /dev/tep/a5 held at the end\n"),
            std::string::npos)
      << finished.output;
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.status;
}

TEST_F(Verdict, ADirectionHeldByXoffToTheEndFailsTheRun) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const std::string result = new_result_path();
  Program& looptest =
      start_relay(a4, a5, {"flowcontrol=software", "duration=3", "result=" + result});
  ASSERT_EQ(write(a4.master(), "\x13", 1), 1);  // XOFF, and never XON
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(send(a5, test_pattern(17408, 4)), 17408u);

  const Finished finished = wait_for_end(looptest);
  EXPECT_EQ(read_all_left(a4), "") << "output went on after XOFF";
  EXPECT_EQ(bytes_of(finished.output, a5, a4), 1) << finished.output;
  EXPECT_GT(not_delivered(finished.output, a5, a4), 0) << finished.output;
  EXPECT_TRUE(finished.output.starts_with("ERROR /dev/tep/a5 -> /dev/tep/a4 held at the end\n"))
      << finished.output;
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.status;
  expect_result(result, "fail", {"held", "not-delivered"});
}

TEST_F(Verdict, AFarEndThatReadsSlowlyButSteadilyPasses) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(a4, a5, {"duration=3"});
  const std::vector<char> sent = test_pattern(60000, 5);
  std::thread sender([&] { send(a4, sent); });
  // 512 bytes every 100 ms: the ptys fill, yet the output takes something every moment.
  std::string arrived;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(4000);
  while (std::chrono::steady_clock::now() < end) {
    std::array<char, 512> buffer;
    const ssize_t got = read(a5.master(), buffer.data(), buffer.size());
    if (got > 0) arrived.append(buffer.data(), static_cast<std::size_t>(got));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  sender.join();
  const Finished finished = wait_for_end(looptest);
  arrived += read_all_left(a5);
  EXPECT_EQ(bytes_of(finished.output, a4, a5), static_cast<long long>(arrived.size()) + 1);
  EXPECT_EQ(finished.output.find("held"), std::string::npos) << finished.output;
  EXPECT_TRUE(exited_with(finished.status, 0)) << finished.status << "\n" << finished.output;
}

// A relay that reads no more (stopped here, as a hung one would be) cannot pass a run: what
// waits at its input for the last 2 seconds holds its direction, and one that must be killed
// at the end says so.
TEST_F(Verdict, ASecondRelayThatWasStoppedFailsTheRun) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(a4, a5, {"duration=3"});
  const pid_t second = testbench::wait_for_child(looptest.pid, patience_ms);
  ASSERT_EQ(kill(second, SIGSTOP), 0);
  EXPECT_EQ(send(a5, test_pattern(400, 7)), 400u);
  const Finished finished = wait_for_end(looptest);
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.status << "\n" << finished.output;
  // The stop may have come between the relay's last write and its count of it: its counts are
  // not checked, only what the end says of it.
  EXPECT_TRUE(
      finished.output.starts_with("ERROR relay /dev/tep/a5 -> /dev/tep/a4 killed at the end\n"
                                  "ERROR /dev/tep/a5 -> /dev/tep/a4 held at the end\n" +
                                  summary(a4, a5, 1) + "\n"))
      << finished.output;
  EXPECT_EQ(read_all_left_now(a4), "");
}

// The second relay dies while the first is stopped; the duration passes, then the first goes
// on and finds the duration over before the second's end: the end still sees that it died.
TEST_F(Verdict, ASecondRelayThatDiedWhileTheFirstWasStoppedFailsTheRun) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(a4, a5, {"duration=1"});
  const pid_t second = testbench::wait_for_child(looptest.pid, patience_ms);
  ASSERT_EQ(kill(looptest.pid, SIGSTOP), 0);
  ASSERT_EQ(kill(second, SIGKILL), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_EQ(kill(looptest.pid, SIGCONT), 0);
  const Finished finished = wait_for_end(looptest);
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.status << "\n" << finished.output;
  EXPECT_TRUE(finished.output.starts_with(
      "ERROR relay /dev/tep/a5 -> /dev/tep/a4 ended: killed by signal 9 (Killed)\n"))
      << finished.output;
}

// Bytes that arrive in the last moments of a run, with the relays reading them, hold nothing:
// twenty runs side by side whose far ends send and read to the very end all pass.
TEST_F(Verdict, BytesArrivingToTheLastMomentHoldNothing) {
  constexpr int runs_at_once = 20;
  std::vector<VirtualPort> ports;
  std::vector<Program*> runs;
  for (int i = 0; i < runs_at_once; ++i) {
    ports.push_back(make_port("a" + std::to_string(10 + 2 * i)));
    ports.push_back(make_port("a" + std::to_string(11 + 2 * i)));
  }
  for (int i = 0; i < runs_at_once; ++i) {
    runs.push_back(&start_relay(ports[2 * i], ports[2 * i + 1], {"duration=2"}));
  }
  std::vector<Finished> finished(runs_at_once);
  std::vector<bool> ended(runs_at_once, false);
  std::vector<std::string> outputs(runs_at_once);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
  for (int left = runs_at_once; left > 0 && std::chrono::steady_clock::now() < give_up;) {
    for (int i = 0; i < runs_at_once; ++i) {
      if (ended[i]) continue;
      for (const VirtualPort* port : {&ports[2 * i], &ports[2 * i + 1]}) {
        EXPECT_EQ(write(port->master(), "z", 1), 1);
        read_all_left(*port, 0);
      }
      testbench::read_until(runs[i]->output, outputs[i], "never printed", 0);
      const int status = testbench::wait_for_exit(runs[i]->pid, 0);
      if (status == -1) continue;
      EXPECT_TRUE(testbench::read_to_end(runs[i]->output, outputs[i], patience_ms));
      finished[i] = {outputs[i], status};
      ended[i] = true;
      --left;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (int i = 0; i < runs_at_once; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    ASSERT_TRUE(ended[i]);
    EXPECT_EQ(finished[i].output.find("ERROR"), std::string::npos) << finished[i].output;
    EXPECT_TRUE(exited_with(finished[i].status, 0)) << finished[i].status;
  }
}

TEST_F(Verdict, ARunWhoseSecondRelayNeverStartedRelaysOneWayAndFails) {
  if (testbench::emulated()) {
    GTEST_SKIP() << "forks cannot be made to fail under a user-mode emulator: it refuses "
                    "seccomp filters, and one would see the emulator's own system calls";
  }
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start({"a4", "a5", "duration=2"}, {.fork_fails = true});
  std::string output;
  ASSERT_TRUE(testbench::read_until(looptest.output, output, "tty2=/dev/tep/a5\n", patience_ms));
  Flow there{a4.master(), a5.master(), test_pattern(1000, 6)};
  EXPECT_TRUE(transfer({&there}, patience_ms)) << "port 1 -> port 2 goes on alone";
  ASSERT_EQ(write(a5.master(), "unheard", 7), 7);
  const Finished finished = wait_for_end(looptest);
  EXPECT_EQ(finished.output,
            "ERROR relay /dev/tep/a5 -> /dev/tep/a4 never started: fork: "
            "Resource temporarily unavailable\n" +
                summary(a4, a5, 1000) + "\n" + summary(a5, a4, 0) + "\n");
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.status;
  EXPECT_EQ(read_all_left_now(a4), "");
}

TEST_F(Verdict, TheEndOfTheSecondRelayIsSeenEvenWithChildSignalsIgnoredAtStart) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(a4, a5, {"duration=60"}, {.ignored_signals = {SIGCHLD}});
  const pid_t second = testbench::wait_for_child(looptest.pid, patience_ms);
  ASSERT_EQ(kill(second, SIGKILL), 0);
  const Finished finished = wait_for_end(looptest);
  EXPECT_TRUE(finished.output.starts_with(
      "ERROR relay /dev/tep/a5 -> /dev/tep/a4 ended: killed by signal 9 (Killed)\n"))
      << finished.output;
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.status;
}

// A run refused a port must leave it alone: had it saved and quieted the port before it was
// refused, it would put back over the run that holds the port what it had saved.
TEST_F(Verdict, OfTwoRunsStartedTogetherOverTheSamePortsOneRunsWithItsSettings) {
  int changed = 0;
  constexpr int attempts = 30;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    // New ports each time, as found: 38400 bit/s, no flow control.
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    std::array<Program*, 2> runs{&start({"a4", "a5", "baudrate=9600", "parity=even"}),
                                 &start({"a5", "a4", "baudrate=9600", "parity=even"})};
    // One of them gives up; the other must be running, not giving up as well.
    int refused = -1;
    for (int waited = 0; refused == -1 && waited < patience_ms; waited += 5) {
      for (int i = 0; i < 2; ++i) {
        if (testbench::wait_for_exit(runs[i]->pid, 0) != -1) refused = i;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(refused, -1) << "neither gave up";
    std::string output;
    testbench::read_to_end(runs[refused]->output, output, patience_ms);
    EXPECT_TRUE(output.ends_with(" is in use\n")) << output;
    Flow there{a4.master(), a5.master(), {'x'}};
    Flow back{a5.master(), a4.master(), {'y'}};
    EXPECT_TRUE(transfer({&there, &back}, patience_ms)) << "the other did not run";
    // Its relays run, so it has set both lines, and the refused run is gone.
    bool both_set = true;
    for (const VirtualPort* port : {&a4, &a5}) {
      const termios now = attributes_of(*port);
      const bool as_set = cfgetospeed(&now) == B9600 && (now.c_cflag & CRTSCTS) != 0;
      EXPECT_TRUE(as_set) << port->path() << " at " << std::hex << now.c_cflag;
      both_set = both_set && as_set;
    }
    changed += both_set ? 0 : 1;
    testbench::stop_program(*runs[1 - refused]);
    testbench::stop_program(*runs[refused]);
  }
  std::printf("%d of %d runs not as set\n", changed, attempts);
}

}  // namespace
}  // namespace e2e
