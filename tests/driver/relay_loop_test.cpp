#include "driver/relay_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <thread>

#include "driver/link.h"
#include "pty_pair.h"
#include "system/wait.h"

namespace looptest {
namespace {

// The second relay's loop on two ptys: port 1's far end goes, and with it its node.
TEST(RelayLoop, TheSecondRelayKeepsTheBlockForAGonePortAndWaitsForWord) {
  std::signal(SIGPIPE, SIG_IGN);
  PtyPair port1_pty;
  const PtyPair port2_pty;
  ASSERT_NE(port1_pty.slave, -1);
  ASSERT_NE(port2_pty.slave, -1);
  const PortPath path1 = make_port_path(ptsname(port1_pty.master));
  const PortPath path2 = make_port_path(ptsname(port2_pty.master));
  Ports ports{.port1 = {.path = &path1, .fd = port1_pty.slave},
              .port2 = {.path = &path2, .fd = port2_pty.slave}};
  std::array<int, 2> link{-1, -1};
  ASSERT_TRUE(make_link(link));
  DirectionCounts counts;
  Direction backward{.in = port2_pty.slave, .out = port1_pty.slave, .counts = &counts};
  RelayLoop loop{.process = RelayProcess::second,
                 .direction = &backward,
                 .ports = &ports,
                 .input = PortNumber::two,
                 .control = link[1],
                 .link = link[1]};
  for (const int slave : {port1_pty.slave, port2_pty.slave}) {
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
    ASSERT_EQ(fcntl(slave, F_SETFL, O_NONBLOCK), 0);
  }
  close(std::exchange(port1_pty.master, -1));  // the node goes with it
  ASSERT_EQ(write(port2_pty.master, "for port 1", 10), 10);

  std::thread relay([&] { relay_until_control(loop); });
  EXPECT_TRUE(wait_readable(link[0], 5000)) << "no word of the lost port";
  const LinkMessage told = receive_note(link[0]);
  EXPECT_EQ(told.note, Note::lost);
  EXPECT_EQ(told.port, PortNumber::one);
  EXPECT_TRUE(send_note(link[0], Note::drop, PortNumber::one));
  relay.join();  // returns once word came

  EXPECT_TRUE(loop.awaiting_word) << "until the caller takes the word";
  EXPECT_EQ(backward.pending.size(), 10u) << "kept for the port when it is back";
  EXPECT_EQ(counts.write_errors.load(), 0u);
  for (const int fd : link) close(fd);
}

}  // namespace
}  // namespace looptest
