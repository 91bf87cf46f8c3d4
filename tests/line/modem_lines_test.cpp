#include "line/modem_lines.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "pty_pair.h"

namespace looptest {
namespace {

// An input follows an output only if it went up with it and down with it again: one stuck up
// (qemu's 16550 holds DCD up in loopback) or stuck down follows nothing.
TEST(ModemLines, AnInputFollowsAnOutputOnlyIfItRisesAndFallsWithIt) {
  const ModemLines dcd_stuck_up = TIOCM_CAR;
  EXPECT_EQ(inputs_following(dcd_stuck_up, TIOCM_CTS | dcd_stuck_up, dcd_stuck_up), TIOCM_CTS);
  EXPECT_EQ(inputs_following(0, TIOCM_DSR | TIOCM_CAR, 0), TIOCM_DSR | TIOCM_CAR);
  EXPECT_EQ(inputs_following(0, 0, 0), 0) << "stuck down";
  EXPECT_EQ(inputs_following(0, TIOCM_CTS, TIOCM_CTS), 0) << "up, and not down again";
  EXPECT_EQ(inputs_following(0, TIOCM_CTS | TIOCM_RTS | TIOCM_RI, 0), TIOCM_CTS)
      << "outputs and RI are no inputs a test reads";
  EXPECT_STREQ(modem_line_name(TIOCM_CAR), "DCD");
  EXPECT_STREQ(modem_line_name(TIOCM_RTS), "RTS");
}

TEST(ModemLines, APtyHasNoneAndNoLoopback) {
  const PtyPair pty;
  ASSERT_NE(pty.slave, -1);
  const int slave = pty.slave;
  EXPECT_EQ(read_modem_lines(slave), std::nullopt);
  EXPECT_FALSE(drive_modem_lines(slave, modem_outputs(), true));
  EXPECT_FALSE(set_internal_loopback(slave, true));
  EXPECT_FALSE(internal_loopback_on(slave));
}

}  // namespace
}  // namespace looptest
