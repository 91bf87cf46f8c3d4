// Stopping looptest stops all of it, and leaves no port held. Only SIGKILL may skip the summary
// and the restore; a signal ignored at start stays ignored.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "e2e.h"

namespace e2e {
namespace {

class Stop : public LoopTest {};

TEST_F(Stop, ASignalToTheParentAloneEndsBothRelays) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    const Program& looptest = start_relay(a4, a5);
    const std::vector<pid_t> children = testbench::children_of(looptest.pid);
    ASSERT_EQ(children.size(), 1u) << "one relay child";

    ASSERT_EQ(kill(looptest.pid, signal), 0);
    const int status = testbench::wait_for_exit(looptest.pid, patience_ms);
    EXPECT_TRUE(ended_by(status, signal)) << strsignal(signal);
    EXPECT_TRUE(testbench::has_ended(children[0], patience_ms))
        << "the child outlived its parent after " << strsignal(signal);
    EXPECT_TRUE(!held_open(a4) && !held_open(a5)) << strsignal(signal);
  }
}

TEST_F(Stop, CtrlCAtTheTerminalEndsBoth) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const Program& looptest = start_relay(a4, a5);
  const std::vector<pid_t> children = testbench::children_of(looptest.pid);
  ASSERT_EQ(children.size(), 1u);

  ASSERT_EQ(kill(-looptest.pid, SIGINT), 0);  // the terminal signals the whole process group
  const int status = testbench::wait_for_exit(looptest.pid, patience_ms);
  EXPECT_TRUE(ended_by(status, SIGINT));
  EXPECT_TRUE(testbench::has_ended(children[0], patience_ms));
  EXPECT_TRUE(!held_open(a4) && !held_open(a5));
}

// What every end of a run begun with start_relay leaves, but SIGKILL's: the summary, and the
// ports as they were.
void expect_clean_end(const Finished& finished, const VirtualPort& a, const VirtualPort& b,
                      const termios& a_before, const termios& b_before) {
  EXPECT_EQ(finished.output, summary(a, b, 1) + "\n" + summary(b, a, 1) + "\n");
  expect_same_attributes(a_before, a);
  expect_same_attributes(b_before, b);
}

TEST_F(Stop, ASecondStopRightBehindTheFirstOnlyHurriesTheEnd) {
  struct Case {
    const char* what;
    std::vector<int> signals;
  };
  const Case cases[] = {
      {"kill -INT; kill -TERM", {SIGINT, SIGTERM}},
      {"a terminal that hangs up", {SIGHUP, SIGCONT, SIGHUP}},
      {"a supervisor's stop", {SIGTERM, SIGCONT, SIGHUP}},
  };
  for (const Case& c : cases) {
    for (int attempt = 0; attempt < 10; ++attempt) {
      SCOPED_TRACE(std::string(c.what) + ", attempt " + std::to_string(attempt));
      const VirtualPort a4 = make_port("a4");
      const VirtualPort a5 = make_port("a5");
      const termios a4_before = give_own_attributes(a4);
      const termios a5_before = give_own_attributes(a5);
      Program& looptest = start_relay(a4, a5);
      for (const int signal : c.signals) ASSERT_EQ(kill(looptest.pid, signal), 0);
      const Finished finished = wait_for_end(looptest);
      // Signals pending together come in no order; the run ends by one of the stops.
      EXPECT_TRUE(WIFSIGNALED(finished.status) && WTERMSIG(finished.status) != SIGCONT &&
                  std::ranges::count(c.signals, WTERMSIG(finished.status)) > 0)
          << finished.status;
      expect_clean_end(finished, a4, a5, a4_before, a5_before);
    }
  }
}

TEST_F(Stop, CtrlCAsATimedRunEndsLeavesTheSummaryAndThePortsBack) {
  // Runs side by side on four pairs of ports, each stopped a little before or after its end.
  const std::array<std::pair<const char*, const char*>, 4> names{
      {{"a4", "a5"}, {"a6", "a7"}, {"a8", "a9"}, {"s1", "s2"}}};
  for (int round = 0; round < 5; ++round) {
    std::vector<VirtualPort> ports;
    std::vector<termios> before;
    std::vector<Program*> runs;
    std::vector<std::chrono::steady_clock::time_point> started;
    for (const auto& [first, second] : names) {
      ports.push_back(make_port(first));
      ports.push_back(make_port(second));
      before.push_back(give_own_attributes(ports[ports.size() - 2]));
      before.push_back(give_own_attributes(ports.back()));
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      started.push_back(std::chrono::steady_clock::now());
      runs.push_back(&start_relay(ports[2 * i], ports[2 * i + 1], {"duration=1"}));
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      // From 20 ms before the end of the duration to 25 ms after, over the rounds and runs.
      const auto offset = std::chrono::milliseconds(980 + 3 * static_cast<int>(round * 4 + i));
      std::this_thread::sleep_until(started[i] + offset);
      kill(runs[i]->pid, SIGINT);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      SCOPED_TRACE("round " + std::to_string(round) + ", run " + std::to_string(i));
      const Finished finished = wait_for_end(*runs[i]);
      EXPECT_TRUE(exited_with(finished.status, 0) || ended_by(finished.status, SIGINT))
          << finished.status;
      expect_clean_end(finished, ports[2 * i], ports[2 * i + 1], before[2 * i], before[2 * i + 1]);
    }
  }
}

TEST_F(Stop, ASignalIgnoredAtStartStaysIgnored) {
  for (const int ignored : {SIGHUP, SIGINT}) {
    SCOPED_TRACE(strsignal(ignored));
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    Program& looptest = start_relay(a4, a5, {"duration=600"}, {.ignored_signals = {ignored}});
    ASSERT_EQ(kill(looptest.pid, ignored), 0);
    Flow there{a4.master(), a5.master(), test_pattern(1000, 1)};
    EXPECT_TRUE(transfer({&there}, patience_ms)) << "the run ended";
    ASSERT_EQ(kill(looptest.pid, SIGTERM), 0);
    const Finished finished = wait_for_end(looptest);
    EXPECT_TRUE(ended_by(finished.status, SIGTERM)) << finished.status;
    EXPECT_EQ(finished.output, summary(a4, a5, 1001) + "\n" + summary(a5, a4, 1) + "\n");
  }
}

TEST_F(Stop, AStrayAlarmIsAStopAndNeverAPass) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(a4, a5, {"duration=60"});
  ASSERT_EQ(kill(looptest.pid, SIGALRM), 0);
  const Finished finished = wait_for_end(looptest);
  EXPECT_TRUE(ended_by(finished.status, SIGALRM)) << finished.status;
  EXPECT_EQ(finished.output, summary(a4, a5, 1) + "\n" + summary(a5, a4, 1) + "\n");
}

TEST_F(Stop, AReportAskedForBeforeTheRunCanGiveOneWaitsForIt) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  // At the prompts.
  Program& prompted = start({}, Input::pipe);
  std::string output;
  ASSERT_TRUE(testbench::read_until(prompted.output, output, "first port: ", patience_ms));
  ASSERT_EQ(kill(prompted.pid, SIGUSR1), 0);
  ASSERT_EQ(write(prompted.input, "a4\na5\n", 6), 6);
  EXPECT_TRUE(
      testbench::read_until(prompted.output, output, summary(a5, a4, 0) + "\n", patience_ms))
      << "the report asked for at the prompt comes once the run has begun: " << output;
  ASSERT_EQ(kill(prompted.pid, SIGTERM), 0);
  EXPECT_TRUE(ended_by(wait_for_end(prompted).status, SIGTERM));

  // While it reads its arguments, opens and configures the ports.
  for (int attempt = 0; attempt < 20; ++attempt) {
    Program& early = start({"a4", "a5", "duration=0"});
    output.clear();
    ASSERT_TRUE(testbench::read_until(early.output, output, "arg1", patience_ms));
    ASSERT_EQ(kill(early.pid, SIGUSR1), 0);
    const Finished finished = wait_for_end(early);
    EXPECT_TRUE(exited_with(finished.status, 0))
        << "attempt " << attempt << ": " << finished.status;
  }
}

}  // namespace
}  // namespace e2e
