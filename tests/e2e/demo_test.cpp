// The demo starts the real looptest on its own virtual ports; however the demo ends, the
// looptest it started ends with it.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "e2e.h"

namespace e2e {
namespace {

class Demo : public LoopTest {};

// Stops the demo at a moment when the looptest it started runs; that looptest, or -1 if the
// demo was over before such a moment came.
pid_t stop_while_the_tool_runs(const Program& demo) {
  for (;;) {
    if (kill(demo.pid, SIGSTOP) != 0 || testbench::wait_for_exit(demo.pid, 0) != -1) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // let the stop take effect
    const std::vector<pid_t> children = testbench::children_of(demo.pid);
    if (!children.empty()) return children[0];
    kill(demo.pid, SIGCONT);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST_F(Demo, HoweverTheDemoEndsTheToolItStartedEndsToo) {
  struct Case {
    const char* how;
    int signal;  ///< 0: its output is closed, as by "| head -3".
  };
  for (const Case& c :
       {Case{"output closed", 0}, Case{"SIGINT", SIGINT}, Case{"SIGTERM", SIGTERM}}) {
    SCOPED_TRACE(c.how);
    pid_t tool = -1;
    Program demo;
    for (int attempt = 0; tool == -1 && attempt < 20; ++attempt) {
      testbench::stop_program(demo);
      demo = testbench::start_program(
          testbench::command_for(testbench::beside_this_program("looptest-demo")), Input::empty);
      std::string output;
      ASSERT_TRUE(testbench::read_until(demo.output, output, "$ looptest", patience_ms)) << output;
      tool = stop_while_the_tool_runs(demo);
    }
    ASSERT_NE(tool, -1) << "the demo was always over before it could be stopped";
    if (c.signal == 0) {
      close(std::exchange(demo.output, -1));
    } else {
      ASSERT_EQ(kill(demo.pid, c.signal), 0);
    }
    ASSERT_EQ(kill(demo.pid, SIGCONT), 0);
    EXPECT_TRUE(testbench::has_ended(demo.pid, patience_ms));
    EXPECT_TRUE(testbench::has_ended(tool, patience_ms)) << "looptest outlived the demo";
    testbench::stop_program(demo);
  }
}

}  // namespace
}  // namespace e2e
