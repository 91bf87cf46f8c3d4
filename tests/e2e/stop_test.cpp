// Stopping looptest stops all of it, and leaves no port held.
#include <sys/wait.h>

#include <csignal>

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
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << strsignal(signal);
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
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_TRUE(testbench::has_ended(children[0], patience_ms));
  EXPECT_TRUE(!held_open(a4) && !held_open(a5));
}

}  // namespace
}  // namespace e2e
