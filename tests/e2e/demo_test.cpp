// The demo starts the real looptest on its own virtual ports; however the demo ends, the
// looptest it started ends with it.
#include <unistd.h>

#include <csignal>

#include "e2e.h"

namespace e2e {
namespace {

class Demo : public LoopTest {};

std::string demo_binary() {
  const std::string tool = testbench::looptest_binary();
  return tool.substr(0, tool.rfind('/') + 1) + "looptest-demo";
}

TEST_F(Demo, HoweverTheDemoEndsTheToolItStartedEndsToo) {
  struct Case {
    const char* how;
    int signal;  ///< 0: its output is closed after the first lines, as by "| head -3".
  };
  for (const Case& c :
       {Case{"output closed", 0}, Case{"SIGINT", SIGINT}, Case{"SIGTERM", SIGTERM}}) {
    SCOPED_TRACE(c.how);
    Program demo = testbench::start_program({demo_binary()}, Input::empty);
    std::string output;
    ASSERT_TRUE(testbench::read_until(demo.output, output, "$ looptest", patience_ms)) << output;
    const pid_t tool = testbench::wait_for_child(demo.pid, patience_ms);
    ASSERT_NE(tool, -1);
    if (c.signal == 0) {
      close(std::exchange(demo.output, -1));
    } else {
      ASSERT_EQ(kill(demo.pid, c.signal), 0);
    }
    EXPECT_TRUE(testbench::has_ended(demo.pid, patience_ms));
    EXPECT_TRUE(testbench::has_ended(tool, patience_ms)) << "looptest outlived the demo";
    testbench::stop_program(demo);
  }
}

}  // namespace
}  // namespace e2e
