// Ports that fail, hang up or are no terminal at all.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e.h"

namespace e2e {
namespace {

class Faults : public LoopTest {};

using Clock = std::chrono::steady_clock;

// A spinning relay would print thousands of lines and take all the CPU it can get.
constexpr auto window = std::chrono::seconds(6);
constexpr long most_cpu_ticks_in_window = 100;  // one second of CPU

struct Observed {
  std::string output;
  long cpu_ticks = 0;
  int most_messages = 0;  ///< The most error lines one direction may print since the fault.
};

// Watches a relay for one window while bytes keep arriving on a5 for the child to relay to
// the failing port 1. Failed passes of one direction start at least one 5-second wait apart,
// which bounds how many lines each direction may have printed since the fault.
void observe_failing_port(const Program& looptest, const VirtualPort& a5, Clock::time_point fault,
                          Observed& observed) {
  const pid_t child = testbench::wait_for_child(looptest.pid, patience_ms);
  const long ticks_before = cpu_ticks(looptest.pid) + cpu_ticks(child);
  const auto end = Clock::now() + window;
  while (Clock::now() < end) {
    EXPECT_EQ(write(a5.master(), "x", 1), 1);
    testbench::read_until(looptest.output, observed.output, "never printed", 200);
  }
  observed.cpu_ticks = cpu_ticks(looptest.pid) + cpu_ticks(child) - ticks_before;
  observed.most_messages = static_cast<int>((Clock::now() - fault) / std::chrono::seconds(5)) + 1;
  EXPECT_TRUE(testbench::is_running(looptest.pid) && testbench::is_running(child));
}

TEST_F(Faults, AHungUpPortNeitherSpinsNorFloods) {
  VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const Program& looptest = start_relay(a4, a5);

  // a4's cable is pulled. A pty's device node goes with its far end, so the port is lost, and
  // said so once; a5's far end goes on sending, and what it sends waits in a5's driver for a4
  // to come back: no write fails, and no block is dropped.
  const auto fault = Clock::now();
  a4.hang_up();
  Observed observed;
  observe_failing_port(looptest, a5, fault, observed);
  EXPECT_EQ(observed.output, "ERROR /dev/tep/a4 lost\n") << "a hang-up is no read error";
  EXPECT_LT(observed.cpu_ticks, most_cpu_ticks_in_window);
}

TEST_F(Faults, APortWhoseReadsFailNeitherSpinsNorFloods) {
  // The memory of the process that opens it: every read and write at offset 0 fails.
  ASSERT_EQ(symlink("/proc/self/mem", "/dev/tep/a4"), 0);
  const VirtualPort a5 = make_port("a5");
  const auto fault = Clock::now();
  const Program& looptest = start({"a4", "a5"});
  Observed observed;
  EXPECT_TRUE(testbench::read_until(looptest.output, observed.output,
                                    "ERROR configuring /dev/tep/a4\n", patience_ms));
  observe_failing_port(looptest, a5, fault, observed);
  const int read_errors = count_lines(observed.output, "ERROR reading n = -1");
  const int write_errors = count_lines(observed.output, "ERROR writing");
  EXPECT_GE(read_errors, 1) << observed.output;
  EXPECT_LE(read_errors, observed.most_messages) << observed.output;
  EXPECT_LE(write_errors, observed.most_messages) << observed.output;
  EXPECT_EQ(count_lines(observed.output, "ERROR configuring /dev/tep/a4"), 1);
  EXPECT_LT(observed.cpu_ticks, most_cpu_ticks_in_window);
  unlink("/dev/tep/a4");
}

// With the check on, a port that is no terminal is not probed: it always reads, and a probe
// would spin on it for as long as the probe may take.
TEST_F(Faults, WithTheCheckOnAPortThatIsNoTerminalIsNotProbed) {
  std::ofstream{"/dev/tep/a4"}.close();
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start({"a4", "a5", "check=on", "baudrate=50", "duration=3"});
  long long cpu = 0;
  int status = -1;
  for (int waits = 0; status == -1 && waits < 300; ++waits) {
    cpu = std::max(cpu, testbench::cpu_nanoseconds(looptest.pid));
    status = testbench::wait_for_exit(looptest.pid, 50);
  }
  EXPECT_TRUE(exited_with(status, 1)) << status;
  EXPECT_LT(cpu, 1'000'000'000) << "nanoseconds of CPU";
}

TEST_F(Faults, APortThatIsNoTerminalIsReportedAndTheOtherDirectionWorks) {
  // A plain file: it takes no attributes, and reads as always ready yet empty.
  const std::string file = "/dev/tep/a4";
  std::ofstream{file}.close();
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start({"a4", "a5"});
  std::string output;
  EXPECT_TRUE(testbench::read_until(looptest.output, output, "tty2=/dev/tep/a5\n", patience_ms));
  EXPECT_TRUE(testbench::read_until(looptest.output, output, "ERROR configuring /dev/tep/a4\n",
                                    patience_ms))
      << output;

  const std::string line = "into the file\n";
  ASSERT_EQ(write(a5.master(), line.data(), line.size()), static_cast<ssize_t>(line.size()));
  const auto deadline = Clock::now() + std::chrono::milliseconds(patience_ms);
  while (std::filesystem::file_size(file) < line.size() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream written(file);
  std::string content((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, line);

  const long ticks_before = cpu_ticks(looptest.pid);
  std::this_thread::sleep_for(window);
  EXPECT_LT(cpu_ticks(looptest.pid) - ticks_before, most_cpu_ticks_in_window)
      << "the parent spins on a port that is always ready and always empty";
  testbench::read_until(looptest.output, output, "never printed", 100);
  EXPECT_EQ(count_lines(output, "ERROR configuring /dev/tep/a4"), 1);
  EXPECT_EQ(count_lines(output, "ERROR configuring /dev/tep/a5"), 0);
  std::filesystem::remove(file);
}

TEST_F(Faults, PortsAreNoControllingTerminalAndNeverBlock) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  // looptest leads a session of its own with no terminal, so an open without O_NOCTTY would
  // make the first port its controlling terminal.
  const Program& looptest = start_relay(a4, a5);
  const pid_t child = testbench::wait_for_child(looptest.pid, patience_ms);
  for (const pid_t pid : {looptest.pid, child}) {
    EXPECT_EQ(stat_field(pid, 7), "0") << "tty_nr of " << pid;
    int ports = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
      if (!std::filesystem::read_symlink(entry).string().starts_with("/dev/pts/")) continue;
      ++ports;
      std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" +
                         entry.path().filename().string());
      std::string key;
      unsigned flags = 0;
      while (info >> key && key != "flags:") {
      }
      info >> std::oct >> flags;
      // A relay blocked inside a read or write could not see a stop.
      EXPECT_NE(flags & O_NONBLOCK, 0u) << entry.path();
    }
    EXPECT_EQ(ports, 2) << pid;
  }
}

}  // namespace
}  // namespace e2e
