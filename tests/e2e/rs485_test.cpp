// rs485= on virtual ports: a pty has no RS-485 mode, so rs485=on fails the run, which still
// relays, and checks half duplex; rs485=off is no error on it.
#include "e2e.h"
#include "pair_far_ends.h"

namespace e2e {
namespace {

class Rs485 : public LoopTest {};

TEST_F(Rs485, APortWithoutTheModeFailsARunThatAsksForItAndTheRelayGoesOn) {
  struct Case {
    const char* option;
    std::string said;
    int status;
  };
  const Case cases[] = {
      {"rs485=on", "ERROR /dev/tep/a4 has no RS-485 mode\nERROR /dev/tep/a5 has no RS-485 mode\n",
       1},
      {"rs485=off", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    Program& looptest = start({"a4", "a5", c.option, "duration=2"});
    std::string output;
    EXPECT_TRUE(testbench::read_until(looptest.output, output, paths(a4.path(), a5.path()) + c.said,
                                      patience_ms))
        << output;
    Flow there{a4.master(), a5.master(), {'>'}};
    Flow back{a5.master(), a4.master(), {'<'}};
    EXPECT_TRUE(transfer({&there, &back}, patience_ms)) << "the relay does not start";
    const Finished finished = wait_for_end(looptest);
    output += finished.output;
    EXPECT_TRUE(exited_with(finished.status, c.status)) << output;
    EXPECT_EQ(output.find("RS-485,"), std::string::npos) << output;
    EXPECT_NE(output.find(summary(a4, a5, 1)), std::string::npos) << output;
  }
}

// rs485=on makes the link half duplex: the check takes turns on the pair, and the port
// without the mode still fails the run.
TEST_F(Rs485, TheCheckRunsHalfDuplexOnAPortWithoutTheModeWhichStillFails) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const testbench::PairFarEnds pair(a4, a5, false);
  const Finished finished = run({"a4", "a5", "rs485=on", "check=on", "duration=1"});
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.output;
  EXPECT_NE(finished.output.find("ERROR /dev/tep/a4 has no RS-485 mode\n"), std::string::npos)
      << finished.output;
  EXPECT_NE(finished.output.find("wiring: a pair between the ports\n"), std::string::npos)
      << finished.output;
  EXPECT_EQ(pair.garbled(), 0u) << "the ports sent at once";
}

}  // namespace
}  // namespace e2e
