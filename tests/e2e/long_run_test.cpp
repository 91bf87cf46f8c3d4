// Long runs: progress lines while the tool relays, and a port that is lost and comes back.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <thread>

#include "e2e.h"
#include "skip.h"

namespace e2e {
namespace {

class LongRun : public LoopTest {};

// The progress lines of an output, in order; a line that starts as one but does not read as
// one fails the test.
std::vector<testbench::Summary> progress_lines(const std::string& output) {
  std::vector<testbench::Summary> found;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("progress")) continue;
    std::optional<testbench::Summary> progress = testbench::read_summary(line);
    if (!progress || progress->read_errors != 0 || progress->write_errors != 0) {
      ADD_FAILURE() << "not a progress line of a clean run: " << line;
      continue;
    }
    found.push_back(*progress);
  }
  return found;
}

TEST_F(LongRun, ProgressLinesGiveEachDirectionsCountsAndRateEveryInterval) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const std::string result = new_result_path();
  Program& looptest = start_relay(a4, a5, {"interval=1", "duration=4", "result=" + result});
  Flow there{a4.master(), a5.master(), test_pattern(3000, 1)};
  Flow back{a5.master(), a4.master(), test_pattern(2000, 2)};
  ASSERT_TRUE(transfer({&there, &back}, patience_ms));
  const Finished finished = wait_for_end(looptest);
  EXPECT_TRUE(exited_with(finished.status, 0)) << finished.output;
  // start_relay sent one byte each way before.
  EXPECT_TRUE(
      finished.output.ends_with(summary(a4, a5, 3001) + "\n" + summary(a5, a4, 2001) + "\n"))
      << finished.output;

  // One line per direction each second until the end; the last seconds were idle.
  const std::vector<testbench::Summary> lines = progress_lines(finished.output);
  ASSERT_GE(lines.size(), 4u) << finished.output;
  ASSERT_EQ(lines.size() % 2, 0u) << finished.output;
  std::int64_t seconds_before = 0;
  std::uint64_t most_rate[2] = {0, 0};
  for (std::size_t i = 0; i < lines.size(); i += 2) {
    EXPECT_EQ(lines[i].from, a4.path());
    EXPECT_EQ(lines[i].to, a5.path());
    EXPECT_EQ(lines[i + 1].from, a5.path());
    EXPECT_EQ(lines[i + 1].progress_seconds, lines[i].progress_seconds);
    EXPECT_GT(*lines[i].progress_seconds, seconds_before);
    seconds_before = *lines[i].progress_seconds;
    for (std::size_t d = 0; d < 2; ++d) {
      EXPECT_LE(*lines[i + d].rate, lines[i + d].bytes);
      most_rate[d] = std::max(most_rate[d], *lines[i + d].rate);
    }
  }
  EXPECT_GT(most_rate[0], 0u);
  EXPECT_GT(most_rate[1], 0u);
  EXPECT_EQ(lines[lines.size() - 2].bytes, 3001u);
  EXPECT_EQ(lines[lines.size() - 2].rate.value_or(1), 0u);
  EXPECT_EQ(lines.back().bytes, 2001u);
  EXPECT_EQ(lines.back().rate.value_or(1), 0u);
  testbench::ResultLines read;
  expect_result(result, "pass", {}, &read);
  EXPECT_EQ(std::count(read.types.begin(), read.types.end(), "progress") * 2,
            static_cast<std::ptrdiff_t>(lines.size()));
  std::printf("%s", finished.output.c_str());
}

TEST_F(LongRun, WithoutAnIntervalThereIsNoProgress) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(a4, a5, {"duration=2", "interval=0"});
  const Finished finished = wait_for_end(looptest);
  EXPECT_EQ(finished.output, summary(a4, a5, 1) + "\n" + summary(a5, a4, 1) + "\n");
  EXPECT_TRUE(exited_with(finished.status, 0));
}

// What arrives at `to` within a moment is the start of what was sent, in order, byte for byte.
void expect_a_prefix_arrives(const std::vector<char>& sent, const VirtualPort& to) {
  const std::string arrived = read_all_left_now(to);
  ASSERT_LE(arrived.size(), sent.size());
  EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), sent.begin()))
      << "what arrived is not the start of what was sent";
}

// A port whose descriptor is hung up (TIOCVHANGUP: what a modem's lost carrier or a login's
// end does), its node and far end still there, is lost, opened again and relayed on; at the
// end it gets back what it had before the run, through a descriptor that works.
TEST_F(LongRun, AHungUpPortIsOpenedAgainAndGetsBackWhatItHadBeforeTheRun) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const termios a4_before = give_own_attributes(a4);
  const termios a5_before = give_own_attributes(a5);
  Program& looptest = start_relay(a4, a5, {"duration=600"});
  const int held = open(a4.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_NE(held, -1);
  if (ioctl(held, TIOCVHANGUP) != 0) {
    const int error = errno;
    close(held);
    // A user-mode emulator passes no hang-up on to the kernel; the run here on the machine
    // itself tests it.
    if (error == ENOSYS) GTEST_SKIP() << "TIOCVHANGUP does not reach the kernel here (ENOSYS)";
    SKIP_OR_FAIL_IN_CI("hanging a tty up needs CAP_SYS_ADMIN: " + std::string(strerror(error)));
  }
  close(held);
  std::string output;
  ASSERT_TRUE(
      testbench::read_until(looptest.output, output, "ERROR /dev/tep/a4 lost\n", patience_ms))
      << output;
  ASSERT_TRUE(testbench::read_until(looptest.output, output, "/dev/tep/a4 back\n", patience_ms))
      << output;
  Flow there{a4.master(), a5.master(), test_pattern(3000, 1)};
  Flow back{a5.master(), a4.master(), test_pattern(3000, 2)};
  EXPECT_TRUE(transfer({&there, &back}, patience_ms)) << output;
  ASSERT_EQ(kill(looptest.pid, SIGTERM), 0);
  const Finished finished = wait_for_end(looptest);
  EXPECT_TRUE(ended_by(finished.status, SIGTERM)) << finished.status;
  EXPECT_EQ(finished.output.find("held at the end"), std::string::npos) << finished.output;
  expect_same_attributes(a4_before, a4);
  expect_same_attributes(a5_before, a5);
}

// The far end of one port closes, while it sends or while the line is idle, and its device node
// goes; seconds later a new device appears under the same name. The run finds it, sets it up
// as it did at the start, and relays on both ways; at the end it puts back the new device's
// attributes. Ended by its duration, the run fails.
struct LostPort {
  bool port1;  ///< a4 is lost, else a5
  bool mid_stream;
  int stop;  ///< The signal that ends the run; 0 for its duration.
};

void PrintTo(const LostPort& lost, std::ostream* out) {
  *out << (lost.port1 ? "a4" : "a5") << (lost.mid_stream ? " lost mid-stream" : " lost idle")
       << ", ended by " << (lost.stop == 0 ? "its duration" : strsignal(lost.stop));
}

class LostAndBack : public LongRun, public testing::WithParamInterface<LostPort> {};

TEST_P(LostAndBack, APortThatIsLostAndComesBackIsTakenUpAgain) {
  const LostPort c = GetParam();
  std::optional<VirtualPort> a4(make_port("a4"));
  std::optional<VirtualPort> a5(make_port("a5"));
  std::optional<VirtualPort>& lost = c.port1 ? a4 : a5;
  std::optional<VirtualPort>& kept = c.port1 ? a5 : a4;
  const termios kept_before = give_own_attributes(*kept);
  const std::string result = new_result_path();
  Program& looptest =
      start_relay(*a4, *a5, {c.stop == 0 ? "duration=12" : "duration=600", "result=" + result});
  std::string output;

  Flow there{a4->master(), a5->master(), test_pattern(50000, 1)};
  Flow back{a5->master(), a4->master(), test_pattern(50000, 2)};
  ASSERT_TRUE(transfer({&there, &back}, patience_ms));
  std::vector<char> cut;
  if (c.mid_stream) {
    // The far end that goes is sending as it goes.
    cut = test_pattern(4000, 3);
    const ssize_t written = write(lost->master(), cut.data(), cut.size());
    ASSERT_GT(written, 0);
    cut.resize(static_cast<std::size_t>(written));
  }
  lost->hang_up();
  const std::string path = lost->path();
  ASSERT_TRUE(
      testbench::read_until(looptest.output, output, "ERROR " + path + " lost\n", patience_ms))
      << output;
  if (c.mid_stream) expect_a_prefix_arrives(cut, *kept);
  lost.reset();  // the link goes with the device
  std::this_thread::sleep_for(std::chrono::seconds(1));
  lost.emplace(make_port(c.port1 ? "a4" : "a5"));
  const termios new_before = give_own_attributes(*lost);
  ASSERT_TRUE(testbench::read_until(looptest.output, output, path + " back\n", patience_ms))
      << output;

  // Both ways again, every byte in order.
  Flow there_again{a4->master(), a5->master(), test_pattern(30000, 4)};
  Flow back_again{a5->master(), a4->master(), test_pattern(30000, 5)};
  EXPECT_TRUE(transfer({&there_again, &back_again}, patience_ms)) << output;
  if (c.stop != 0) {
    ASSERT_EQ(kill(looptest.pid, c.stop), 0);
  }
  const Finished finished = wait_for_end(looptest);
  output += finished.output;
  if (c.stop == 0) {
    EXPECT_TRUE(exited_with(finished.status, 1)) << "a run that lost a port cannot pass";
  } else {
    EXPECT_TRUE(WIFSIGNALED(finished.status) && WTERMSIG(finished.status) == c.stop);
  }
  EXPECT_EQ(count_lines(output, "ERROR " + path + " lost"), 1) << output;
  EXPECT_EQ(count_lines(output, path + " back"), 1) << output;
  expect_same_attributes(new_before, *lost);
  expect_same_attributes(kept_before, *kept);
  testbench::ResultLines lines;
  expect_result(result, c.stop == 0 ? "fail" : "stopped", {"lost-port"}, &lines);
  EXPECT_EQ(std::count(lines.types.begin(), lines.types.end(), "port"), 2) << "lost, and back";
  std::printf("-- %s%s, ended by %s:\n%s", path.c_str(), c.mid_stream ? " mid-stream" : "",
              c.stop == 0 ? "its duration" : strsignal(c.stop), output.c_str());
}

// Each case its own test, so that they run side by side.
INSTANTIATE_TEST_SUITE_P(LongRun, LostAndBack,
                         testing::Values(LostPort{true, false, 0}, LostPort{true, true, SIGTERM},
                                         LostPort{false, false, SIGINT},
                                         LostPort{false, true, SIGTERM}),
                         [](const testing::TestParamInfo<LostPort>& lost) {
                           return std::string(lost.param.port1 ? "A4" : "A5") +
                                  (lost.param.mid_stream ? "MidStream" : "Idle") +
                                  (lost.param.stop == 0 ? "Timed" : "Stopped");
                         });

// Bytes that arrive for a port while it is lost wait in the other port's driver and follow
// it back, whichever of the two ports it is: neither relay reads what it cannot write.
class ToALostPort : public LongRun, public testing::WithParamInterface<bool> {};

TEST_P(ToALostPort, BytesSentMeanwhileFollowItBack) {
  const bool port1 = GetParam();
  std::optional<VirtualPort> a4(make_port("a4"));
  std::optional<VirtualPort> a5(make_port("a5"));
  std::optional<VirtualPort>& lost = port1 ? a4 : a5;
  const VirtualPort& kept = port1 ? *a5 : *a4;
  Program& looptest = start_relay(*a4, *a5, {"duration=600"});
  std::string output;
  lost->hang_up();
  const std::string path = lost->path();
  ASSERT_TRUE(
      testbench::read_until(looptest.output, output, "ERROR " + path + " lost\n", patience_ms))
      << output;
  // As much as the other port takes, up to 10,000 bytes, more than a relay's block.
  const std::vector<char> meanwhile = test_pattern(10000, 6);
  std::size_t taken = 0;
  while (taken < meanwhile.size()) {
    const ssize_t written =
        write(kept.master(), meanwhile.data() + taken, meanwhile.size() - taken);
    if (written <= 0) break;
    taken += static_cast<std::size_t>(written);
  }
  ASSERT_GT(taken, 100u);
  lost.reset();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  lost.emplace(make_port(port1 ? "a4" : "a5"));
  ASSERT_TRUE(testbench::read_until(looptest.output, output, path + " back\n", patience_ms))
      << output;
  std::string arrived;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
  while (arrived.size() < taken && std::chrono::steady_clock::now() < deadline) {
    arrived += read_all_left(*lost, 500);
  }
  EXPECT_EQ(arrived.size(), taken) << output;
  EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), meanwhile.begin()))
      << "what arrived is not what was sent, in order";
  ASSERT_EQ(kill(looptest.pid, SIGTERM), 0);
  output += wait_for_end(looptest).output;
  EXPECT_EQ(count_lines(output, "ERROR writing"), 0) << output;
  const std::optional<testbench::Summary> toward = testbench::summary_of(output, kept.path(), path);
  ASSERT_TRUE(toward) << output;
  EXPECT_EQ(toward->bytes, taken + 1) << output;  // start_relay sent one byte each way
  EXPECT_EQ(toward->write_errors, 0u) << output;
}

INSTANTIATE_TEST_SUITE_P(LongRun, ToALostPort, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& lost) {
                           return std::string(lost.param ? "Port1" : "Port2");
                         });

// Guards: a lost port's path that leads for a while to the other port is not taken up, and
// that port is left alone. With software flow control it reads as a port that edits its
// input, which a search that quieted it before looking would empty of what waits there.
TEST_F(LongRun, ALostPortsPathThatLeadsToTheOtherPortLeavesThatPortAlone) {
  std::optional<VirtualPort> a4(make_port("a4"));
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(*a4, a5, {"flowcontrol=software", "duration=600"});
  std::string output;
  a4->hang_up();
  ASSERT_TRUE(
      testbench::read_until(looptest.output, output, "ERROR /dev/tep/a4 lost\n", patience_ms))
      << output;
  a4.reset();
  ASSERT_EQ(symlink(a5.path().c_str(), "/dev/tep/a4"), 0);
  // Less than a5's driver holds, and no XON or XOFF, which the line takes as flow control.
  std::vector<char> meanwhile = test_pattern(3000, 7);
  std::ranges::replace(meanwhile, '\x11', 'x');
  std::ranges::replace(meanwhile, '\x13', 'x');
  ASSERT_EQ(write(a5.master(), meanwhile.data(), meanwhile.size()),
            static_cast<ssize_t>(meanwhile.size()));
  // The search, at its 5-second pace, finds the path at least once meanwhile.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  EXPECT_FALSE(testbench::read_until(looptest.output, output, "/dev/tep/a4 back\n", 0)) << output;
  ASSERT_EQ(unlink("/dev/tep/a4"), 0);
  a4.emplace(make_port("a4"));
  ASSERT_TRUE(testbench::read_until(looptest.output, output, "/dev/tep/a4 back\n", patience_ms))
      << output;
  std::string arrived;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
  while (arrived.size() < meanwhile.size() && std::chrono::steady_clock::now() < deadline) {
    arrived += read_all_left(*a4, 500);
  }
  EXPECT_EQ(arrived, std::string(meanwhile.begin(), meanwhile.end()))
      << arrived.size() << " of " << meanwhile.size() << " bytes followed a4 back";
}

// A USB adapter unplugged and plugged in again within seconds gets its device number back,
// and a new node, before the tool looks again: that is a new device all the same. A pty can
// be opened only through its own devpts node, so here the port is a node of the null device,
// which reads as ready yet empty, fails every pass, and is made again with the same number.
TEST_F(LongRun, ANodeMadeAgainWithTheSameDeviceNumberIsANewDevice) {
  const VirtualPort a5 = make_port("a5");
  struct stat null_device {};
  ASSERT_EQ(stat("/dev/null", &null_device), 0);
  const auto make_node = [&] {
    return mknod("/dev/tep/a4", S_IFCHR | 0600, null_device.st_rdev) == 0;
  };
  if (!make_node()) {
    SKIP_OR_FAIL_IN_CI("no device node can be made here (mknod: " << std::strerror(errno)
                                                                  << "), as in a user namespace");
  }
  Program& looptest = start({"a4", "a5"});
  std::string output;
  ASSERT_TRUE(testbench::read_until(looptest.output, output, "tty2=/dev/tep/a5\n", patience_ms));
  std::this_thread::sleep_for(std::chrono::seconds(1));  // its first pass failed, the node there
  ASSERT_EQ(unlink("/dev/tep/a4"), 0);
  ASSERT_TRUE(make_node());
  EXPECT_TRUE(
      testbench::read_until(looptest.output, output, "ERROR /dev/tep/a4 lost\n", patience_ms))
      << output;
  EXPECT_TRUE(testbench::read_until(looptest.output, output, "/dev/tep/a4 back\n", patience_ms))
      << output;
  EXPECT_EQ(count_lines(output, "ERROR /dev/tep/a4 lost"), 1) << output;
  unlink("/dev/tep/a4");
}

}  // namespace
}  // namespace e2e
