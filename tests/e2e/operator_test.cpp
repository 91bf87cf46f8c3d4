// What an operator sees of a run: the counts, refused ports, a clean end and timed runs.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "e2e.h"

namespace e2e {
namespace {

class Operator : public LoopTest {};

constexpr std::size_t mebibyte = 1 << 20;

Finished stop_with(Program& looptest, int signal) {
  EXPECT_EQ(kill(looptest.pid, signal), 0);
  return wait_for_end(looptest);
}

TEST_F(Operator, EachStopReportsEveryByteAndPutsThePortsBack) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    const termios a4_before = give_own_attributes(a4);
    const termios a5_before = give_own_attributes(a5);
    const std::string result = new_result_path();
    Program& looptest = start_relay(a4, a5, {"result=" + result});
    Flow there{a4.master(), a5.master(), test_pattern(mebibyte, 1)};
    Flow back{a5.master(), a4.master(), test_pattern(mebibyte, 2)};
    ASSERT_TRUE(transfer({&there, &back}, 60000));

    const Finished finished = stop_with(looptest, signal);
    EXPECT_TRUE(WIFSIGNALED(finished.status) && WTERMSIG(finished.status) == signal)
        << strsignal(signal) << ": status " << finished.status;
    // The relay start sent one byte each way before the mebibyte.
    EXPECT_TRUE(finished.output.ends_with(summary(a4, a5, mebibyte + 1) + "\n" +
                                          summary(a5, a4, mebibyte + 1) + "\n"))
        << strsignal(signal) << ":\n"
        << finished.output;
    expect_same_attributes(a4_before, a4);
    expect_same_attributes(a5_before, a5);
    testbench::ResultLines lines;
    expect_result(result, "stopped", {}, &lines);
    EXPECT_EQ(lines.exit_status, 128 + signal);
  }
}

// The far end can read a block a moment before the relay, back from its write, counts it: a
// report asked for in that moment is one block short, and a later one is whole.
std::string report_once_whole(Program& looptest, const std::string& whole) {
  const std::string second_line = whole.substr(whole.find('\n') + 1);
  const std::string second_from = second_line.substr(0, second_line.find(':') + 1);
  std::string output;
  for (int asked = 0; asked < 20 && output != whole; ++asked) {
    if (asked > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    output.clear();
    EXPECT_EQ(kill(looptest.pid, SIGUSR1), 0);
    // A short report has other counts: read to the end of its second line, whatever they are.
    while (output.find(second_from) == std::string::npos || !output.ends_with('\n')) {
      std::string more;
      if (!testbench::read_until(looptest.output, more, "\n", patience_ms)) return output + more;
      output += more;
    }
  }
  return output;
}

TEST_F(Operator, Usr1ReportsTheCountsSoFarAndTheRunGoesOn) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const std::string result = new_result_path();
  Program& looptest = start_relay(a4, a5, {"result=" + result});
  const std::string at_start = summary(a4, a5, 1) + "\n" + summary(a5, a4, 1) + "\n";
  EXPECT_EQ(report_once_whole(looptest, at_start), at_start);

  Flow there{a4.master(), a5.master(), test_pattern(1000, 3)};
  ASSERT_TRUE(transfer({&there}, patience_ms));
  const std::string after = summary(a4, a5, 1001) + "\n" + summary(a5, a4, 1) + "\n";
  EXPECT_EQ(report_once_whole(looptest, after), after);
  EXPECT_TRUE(testbench::is_running(looptest.pid));
  EXPECT_EQ(testbench::children_of(looptest.pid).size(), 1u);
  // Each report is in the result as it is printed; the run goes on, so there is no end yet.
  testbench::ResultLines lines;
  expect_result(result, "", {}, &lines);
  EXPECT_GE(std::count(lines.types.begin(), lines.types.end(), "progress"), 2) << result;
}

TEST_F(Operator, ATimedRunThatWentWellEndsWithStatusZero) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const termios a4_before = give_own_attributes(a4);
  const std::string result = new_result_path();
  Program& looptest = start_relay(a4, a5, {"duration=1", "result=" + result});
  Flow there{a4.master(), a5.master(), test_pattern(5000, 4)};
  ASSERT_TRUE(transfer({&there}, patience_ms));

  const Finished finished = wait_for_end(looptest);
  EXPECT_TRUE(exited_with(finished.status, 0)) << finished.status;
  EXPECT_EQ(finished.output, summary(a4, a5, 5001) + "\n" + summary(a5, a4, 1) + "\n");
  expect_same_attributes(a4_before, a4);
  EXPECT_FALSE(held_open(a4) || held_open(a5));
  expect_result(result, "pass");
}

TEST_F(Operator, ATimedRunWithAHungUpFarEndEndsWithStatusOne) {
  VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const std::string result = new_result_path();
  Program& looptest = start_relay(a4, a5, {"duration=1", "result=" + result});
  a4.hang_up();

  const Finished finished = wait_for_end(looptest);
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.status;
  const std::optional<testbench::Summary> forward =
      testbench::summary_of(finished.output, a4.path(), a5.path());
  ASSERT_TRUE(forward) << finished.output;
  EXPECT_EQ(forward->bytes, 1u);
  EXPECT_GE(forward->read_errors, 1u) << finished.output;
  EXPECT_EQ(forward->write_errors, 0u);
  EXPECT_TRUE(finished.output.ends_with("\n" + summary(a5, a4, 1) + "\n")) << finished.output;
  expect_result(result, "fail", {"errors"});
}

TEST_F(Operator, ATimedRunOfNoTimeEndsAtOnceAndTheReportShowsTheDuration) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const Finished finished = run({"a4", "a5", "duration=0"});
  EXPECT_TRUE(exited_with(finished.status, 0));
  EXPECT_EQ(finished.output, "arg1 = a4\narg2 = a5\n" + default_report + "Duration = 0\n" + banner +
                                 "tty1=/dev/tep/a4\ntty2=/dev/tep/a5\n" + summary(a4, a5, 0) +
                                 "\n" + summary(a5, a4, 0) + "\n");
}

TEST_F(Operator, APortAnotherProgramHoldsIsRefusedAndLeftAlone) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const termios a4_before = give_own_attributes(a4);
  const termios a5_before = give_own_attributes(a5);
  const int held = open(a5.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_NE(held, -1);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);

  const std::string result = new_result_path();
  const Finished finished = run({"a4", "a5", "result=" + result});
  EXPECT_TRUE(exited_with(finished.status, 255));
  EXPECT_TRUE(finished.output.ends_with("tty2=/dev/tep/a5\nERROR /dev/tep/a5 is in use\n"))
      << finished.output;
  expect_same_attributes(a4_before, a4);
  expect_same_attributes(a5_before, a5);
  close(held);
  testbench::ResultLines lines;
  expect_result(result, "fail", {"not-opened"}, &lines);
  EXPECT_EQ(lines.exit_status, 255);
  EXPECT_EQ(lines.errors, std::vector<std::string>{"\"ERROR /dev/tep/a5 is in use\""});
}

// A result that cannot be written is refused before a port is touched; one that can is made,
// or emptied, before the ports open, and gets its end when a port will not open.
TEST_F(Operator, AResultFileThatCannotBeWrittenStopsTheRunBeforeAnyPort) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const termios a4_before = give_own_attributes(a4);
  const std::string too_long = "/tmp/" + std::string(300, 'x');
  for (const auto& [path, said] :
       {std::pair{
            std::string("/nonexistent/result"),
            std::string("ERROR result file /nonexistent/result: No such file or directory\n")},
        std::pair{too_long,
                  "ERROR result file " + too_long.substr(0, 255) + ": File name too long\n"}}) {
    const Finished finished = run({"a4", "a5", "result=" + path});
    EXPECT_TRUE(exited_with(finished.status, 255)) << finished.output;
    EXPECT_TRUE(finished.output.ends_with("tty2=/dev/tep/a5\n" + said)) << finished.output;
    expect_same_attributes(a4_before, a4);
  }
  const std::string result = new_result_path();
  ASSERT_EQ(truncate(result.c_str(), 100000), 0);
  const Finished finished = run({"a4", "a9", "result=" + result});
  EXPECT_TRUE(exited_with(finished.status, 255)) << finished.output;
  expect_result(result, "fail", {"not-opened"});
}

// Guards: a run refused a port neither changes nor empties it under the run that holds it.
// With software flow control the port reads as one that edits its input (IXON), which a run
// that quieted a port before it had locked it would throw away.
TEST_F(Operator, ASecondRunCannotTakeAPortTheFirstHoldsNorTouchItsInput) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const VirtualPort a6 = make_port("a6");
  start_relay(a4, a5, {"flowcontrol=software"});
  // The second run and the port it is refused: the lower device, which every run locks first.
  const std::array<std::array<std::string, 3>, 3> seconds{
      {{"a4", "a5", "/dev/tep/a4"}, {"a5", "a4", "/dev/tep/a4"}, {"a6", "a5", "/dev/tep/a5"}}};
  for (const auto& [port1, port2, refused] : seconds) {
    SCOPED_TRACE(port1 + " " + port2);
    // No XON or XOFF in it, which the line takes as flow control.
    std::vector<char> data = test_pattern(256 * 1024, 3);
    std::ranges::replace(data, '\x11', 'x');
    std::ranges::replace(data, '\x13', 'x');
    // Sent until the ports hold no more: the relay waits for a5's far end to read, and what
    // a4's driver holds waits for the relay as the second run starts.
    Flow there{a4.master(), a5.master(), std::move(data)};
    for (pollfd room{a4.master(), POLLOUT, 0}; poll(&room, 1, 200) > 0;) {
      const ssize_t written =
          write(a4.master(), there.data.data() + there.sent, there.data.size() - there.sent);
      if (written > 0) there.sent += static_cast<std::size_t>(written);
      ASSERT_TRUE(written > 0 || errno == EAGAIN) << strerror(errno);
    }
    const Finished second = run({port1, port2});
    EXPECT_TRUE(exited_with(second.status, 255));
    EXPECT_TRUE(second.output.ends_with("ERROR " + refused + " is in use\n")) << second.output;
    EXPECT_TRUE(transfer({&there}, patience_ms))
        << there.received.size() << " of " << there.data.size() << " bytes relayed";
  }
}

TEST_F(Operator, OnePortNamedTwiceIsRefusedBeforeAnythingChanges) {
  const VirtualPort a4 = make_port("a4");
  give_own_attributes(a4);
  // Cooked, as a port is found that a run would make quiet at once.
  termios cooked = attributes_of(a4);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_iflag |= ICRNL;
  ASSERT_EQ(tcsetattr(a4.master(), TCSANOW, &cooked), 0);
  const termios a4_before = attributes_of(a4);
  ASSERT_EQ(symlink(a4.path().c_str(), "/dev/tep/s1"), 0);
  for (const auto& [second_name, second_path] :
       {std::pair{"a4", "/dev/tep/a4"}, std::pair{"s1", "/dev/tep/s1"}}) {
    const Finished finished = run({"a4", second_name});
    EXPECT_TRUE(exited_with(finished.status, 255));
    EXPECT_TRUE(finished.output.ends_with("ERROR /dev/tep/a4 and " + std::string(second_path) +
                                          " are the same port\n"))
        << finished.output;
    expect_same_attributes(a4_before, a4);
  }
  unlink("/dev/tep/s1");
}

}  // namespace
}  // namespace e2e
