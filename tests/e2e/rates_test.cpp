// Every kind of rate reaches the line as asked, read back from the kernel's own record
// through the far end while the run goes on, and a rate another program left is put back.
#include <signal.h>

#include "e2e.h"
#include "port_rate.h"

namespace e2e {
namespace {

class Rates : public LoopTest {};

TEST_F(Rates, EachKindReachesTheLineAndARateOnlyTermios2HoldsIsPutBack) {
  if (!testbench::termios2_works()) {
    GTEST_SKIP() << "TCGETS2 fails here (qemu-user 7.2 does not pass termios2 on), so "
                    "no rate beyond the speed codes can be set or read";
  }
  // The ports are found at 74880 bit/s, a rate no speed code has, as a program that sets any
  // rate leaves them.
  constexpr long found_at = 74880;
  const std::pair<const char*, long> cases[] = {
      {"baudrate=115200", 115200},    // a speed code of old
      {"baudrate=3000000", 3000000},  // one of the kernel's codes above 460800
      {"baudrate=250000", 250000},    // no speed code: through termios2 only
      {"baudrate=0", 9600},           // no rate
  };
  for (const auto& [option, rate] : cases) {
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    for (const VirtualPort* port : {&a4, &a5}) {
      ASSERT_TRUE(testbench::give_port_rate(port->master(), found_at));
    }
    Program& looptest = start_relay(a4, a5, {option});
    for (const VirtualPort* port : {&a4, &a5}) {
      EXPECT_EQ(testbench::port_rate(port->master()), rate) << option << " " << port->path();
    }
    ASSERT_EQ(kill(looptest.pid, SIGTERM), 0);
    const Finished finished = wait_for_end(looptest);
    EXPECT_EQ(finished.output.find("ERROR"), std::string::npos) << option << finished.output;
    for (const VirtualPort* port : {&a4, &a5}) {
      EXPECT_EQ(testbench::port_rate(port->master()), found_at) << "after " << option;
    }
  }
}

}  // namespace
}  // namespace e2e
