// Input no one should give, and faults of cables, devices and the output, against the real
// looptest: it keeps working, loses no byte it could deliver, and leaves nothing behind.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e.h"

namespace e2e {
namespace {

class Hostile : public LoopTest {
 protected:
  void SetUp() override {
    LoopTest::SetUp();
    std::signal(SIGPIPE, SIG_IGN);  // a looptest that ends early closes the input pipe
  }
};

using Clock = std::chrono::steady_clock;

std::string report_with(std::string_view changed_line, std::string_view value) {
  std::string report = default_report;
  const std::size_t at = report.find(changed_line);
  const std::size_t end = report.find('\n', at);
  return report.replace(at, end - at, std::string(changed_line) + std::string(value));
}

// Every case names ports that do not exist, so each run ends after its paths with 255.
TEST_F(Hostile, ArgumentsNoOneShouldGive) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    int syntax_bad = 0;  ///< How many "syntax bad" lines follow the arg lines.
    std::string rest;    ///< What follows those.
  };
  const std::string huge_number(100000, '9');
  std::vector<std::string> thousands{"s98", "s99"};
  for (int i = 0; i < 3000; ++i) thousands.insert(thousands.end(), {"stopbits=2", "="});
  std::string seven_even_two = report_with("Stopbits = ", "2");
  seven_even_two.replace(seven_even_two.find("Parity = none"), 13, "Parity = even");
  const Case cases[] = {
      {"empty names", {"", ""}, 0, default_report + banner + paths("/dev/tep/a4", "/dev/tep/a5")},
      {"a 100 KB name",
       {"s" + huge_number, "s99"},
       0,
       default_report + banner + paths("/dev/tep/s2147483647", "/dev/tep/s99")},
      {"100 KB values",
       {"s98", "s99", "baudrate=" + huge_number, "parity=" + huge_number,
        "duration=-" + huge_number},
       0,
       default_report + banner + paths("/dev/tep/s98", "/dev/tep/s99")},
      {"thousands of arguments", thousands, 3000,
       report_with("Stopbits = ", "2") + banner + paths("/dev/tep/s98", "/dev/tep/s99")},
      {"bytes that are not text",
       {"s\xff\xfe", "a\x01\x02", "\x80=\xc0", "parity=odd\xff"},
       0,
       default_report + banner + paths("/dev/tep/s0", "/dev/tep/a0")},
      {"embedded newlines",
       {"s9\nx", "a8\n", "parity\neven", "stopbits=2\n1", "\n=\n"},
       1,
       seven_even_two + banner + paths("/dev/tep/s9", "/dev/tep/a8")},
      {"keys that are prefixes of keys",
       {"s98", "s99", "baud=9600", "parit=odd", "durat=1", "baudrate9600", "duration"},
       2,
       default_report + banner + paths("/dev/tep/s98", "/dev/tep/s99")},
  };
  for (const Case& c : cases) {
    const Finished finished = run(c.arguments);
    std::string expected = "arg1 = " + c.arguments[0] + "\narg2 = " + c.arguments[1] + "\n";
    for (int i = 0; i < c.syntax_bad; ++i) expected += "syntax bad\n";
    EXPECT_EQ(finished.output, expected + c.rest) << c.name;
    EXPECT_TRUE(exited_with(finished.status, 255)) << c.name << ": " << finished.status;
  }
}

TEST_F(Hostile, PromptInputThatNeverEndsOrIsNotText) {
  // Endless: the answers come, and more after them, and the input never closes.
  Program& endless = start({}, Input::pipe);
  std::string lines;
  while (lines.size() < 60000) lines += "s98\n";
  ASSERT_EQ(write(endless.input, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  std::string output;
  EXPECT_TRUE(testbench::read_to_end(endless.output, output, patience_ms));
  EXPECT_EQ(output, default_report + banner + prompts + paths("/dev/tep/s98", "/dev/tep/s98"));
  EXPECT_TRUE(exited_with(testbench::wait_for_exit(endless.pid, patience_ms), 255));

  // Binary, NUL bytes included; whatever names it gives, the paths stay paths.
  const std::vector<char> binary = test_pattern(4096, 17);
  const Finished finished = run({}, std::string(binary.begin(), binary.end()));
  EXPECT_TRUE(finished.output.starts_with(default_report + banner + prompts + "tty1=/dev/tep/"))
      << finished.output;
  EXPECT_EQ(count_lines(finished.output, "never"), 0);
  EXPECT_TRUE(WIFEXITED(finished.status)) << finished.status;
}

// A relay that spins takes a whole CPU; one that floods prints far more than one line per
// direction per 5 seconds.
void expect_calm(const Program& looptest, pid_t child, std::string& output) {
  const long before = cpu_ticks(looptest.pid) + cpu_ticks(child);
  testbench::read_until(looptest.output, output, "never printed", 2000);
  EXPECT_LT(cpu_ticks(looptest.pid) + cpu_ticks(child) - before, 50) << "half the CPU";
  EXPECT_LE(count_lines(output, "ERROR writing"), 2) << output;
  EXPECT_TRUE(testbench::is_running(looptest.pid) && testbench::is_running(child));
}

TEST_F(Hostile, AFarEndHangsUpInTheMiddleOfAStream) {
  for (const bool port1_hangs_up : {true, false}) {
    VirtualPort a4 = make_port("a4");
    VirtualPort a5 = make_port("a5");
    Program& looptest = start_relay(a4, a5);
    const pid_t child = testbench::wait_for_child(looptest.pid, patience_ms);
    // Both streams are under way, far more than the ptys hold.
    Flow there{a4.master(), a5.master(), test_pattern(std::size_t{4} << 20, 1)};
    Flow back{a5.master(), a4.master(), test_pattern(std::size_t{4} << 20, 2)};
    EXPECT_FALSE(transfer({&there, &back}, 30)) << "the streams ended before the fault";
    (port1_hangs_up ? a4 : a5).hang_up();

    std::string output;
    expect_calm(looptest, child, output);
    // Whatever did arrive before the fault arrived whole and in order.
    for (const Flow* flow : {&there, &back}) {
      EXPECT_TRUE(std::equal(flow->received.begin(), flow->received.end(), flow->data.begin()));
    }
    ASSERT_EQ(kill(looptest.pid, SIGTERM), 0);
    EXPECT_TRUE(testbench::read_to_end(looptest.output, output, patience_ms));
    const int status = testbench::wait_for_exit(looptest.pid, patience_ms);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_NE(output.find(" read errors"), std::string::npos) << output;
    EXPECT_TRUE(testbench::has_ended(child, patience_ms));
  }
}

TEST_F(Hostile, APortThatChangesBetweenRuns) {
  const VirtualPort a5 = make_port("a5");
  {
    const VirtualPort a4 = make_port("a4");
    EXPECT_TRUE(exited_with(run({"a4", "a5", "duration=0"}).status, 0));
  }  // a4 is gone: its node removed

  const std::string start = "arg1 = a4\narg2 = a5\n" + default_report + "Duration = 0\n" + banner +
                            paths("/dev/tep/a4", "/dev/tep/a5");
  Finished finished = run({"a4", "a5", "duration=0"});
  EXPECT_EQ(finished.output, start);
  EXPECT_TRUE(exited_with(finished.status, 255));

  ASSERT_EQ(mkdir("/dev/tep/a4", 0755), 0);
  finished = run({"a4", "a5", "duration=0"});
  EXPECT_EQ(finished.output, start);
  EXPECT_TRUE(exited_with(finished.status, 255));
  ASSERT_EQ(rmdir("/dev/tep/a4"), 0);

  // A plain file takes no line settings: the run goes on, yet cannot pass.
  std::ofstream{"/dev/tep/a4"}.close();
  finished = run({"a4", "a5", "duration=0"});
  EXPECT_TRUE(finished.output.starts_with(start + "ERROR configuring /dev/tep/a4\n"))
      << finished.output;
  EXPECT_TRUE(exited_with(finished.status, 1));
  std::filesystem::remove("/dev/tep/a4");
}

// Fills both directions so the relays are busy, without reading what comes out.
void flood(const VirtualPort& a4, const VirtualPort& a5) {
  const std::vector<char> data = test_pattern(std::size_t{256} * 1024, 5);
  for (const int far_end : {a4.master(), a5.master()}) {
    EXPECT_GT(write(far_end, data.data(), data.size()), 0);
  }
}

TEST_F(Hostile, EitherRelayKilledInTheMiddleOfAStreamLeavesNothingBehind) {
  for (const bool kill_parent : {true, false}) {
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    const std::string result = new_result_path();
    Program& looptest = start_relay(a4, a5, {"result=" + result});
    const pid_t child = testbench::wait_for_child(looptest.pid, patience_ms);
    flood(a4, a5);
    ASSERT_EQ(kill(kill_parent ? looptest.pid : child, SIGKILL), 0);

    std::string output;
    EXPECT_TRUE(testbench::read_to_end(looptest.output, output, patience_ms));
    const int status = testbench::wait_for_exit(looptest.pid, patience_ms);
    EXPECT_TRUE(testbench::has_ended(child, patience_ms));
    EXPECT_FALSE(held_open(a4) || held_open(a5)) << (kill_parent ? "parent" : "child");
    // Killed outright, the run leaves every line so far and no end: no pass.
    expect_result(result, kill_parent ? "" : "fail", {"second-relay"});
    if (kill_parent) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    } else {
      // The run cannot go on with one direction: it reports, and fails.
      EXPECT_TRUE(exited_with(status, 1)) << status;
      EXPECT_NE(output.find("ERROR relay /dev/tep/a5 -> /dev/tep/a4 ended: killed by signal 9 "
                            "(Killed)\n/dev/tep/a4 -> "),
                std::string::npos)
          << output;
    }
  }
}

TEST_F(Hostile, OutputNoOneCanReadChangesNothingButTheOutput) {
  // Standard output a pipe whose reader is gone, then a full disk: the relay goes on, the
  // lost lines are dropped, and the status still says how the line did.
  for (const bool closed_pipe : {true, false}) {
    const char* const where = closed_pipe ? "closed pipe" : "full disk";
    VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    Program full_disk;
    pid_t looptest = -1;
    if (closed_pipe) {
      Program& started = start_relay(a4, a5, {"duration=2"});
      close(std::exchange(started.output, -1));
      looptest = started.pid;
    } else {
      std::vector<std::string> command{"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"};
      for (std::string& word : testbench::looptest_command({"a4", "a5", "duration=2"})) {
        command.push_back(std::move(word));
      }
      full_disk = testbench::start_program(command, Input::empty);
      looptest = full_disk.pid;
    }
    Flow there{a4.master(), a5.master(), test_pattern(100000, 9)};
    EXPECT_TRUE(transfer({&there}, patience_ms)) << where;
    a4.hang_up();  // an error to report, and to fail the run with
    EXPECT_TRUE(exited_with(testbench::wait_for_exit(looptest, patience_ms), 1)) << where;
    testbench::stop_program(full_disk);
  }
}

}  // namespace
}  // namespace e2e
