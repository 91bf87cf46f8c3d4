// looptest on real Linux serial drivers in emulated machines, what virtual ports cannot show:
// the driver's own counters, breaks, flow control that holds a line, a port without carrier.
// These hold on every board; each board's program adds its UART's own tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "real_uart.h"

namespace uart {
namespace {

TEST_F(RealUart, EveryByteValueBothWaysAtOnceAndTheDriverCountsThem) {
  std::string there;
  std::string back;
  for (int i = 0; i < 8192; ++i) {
    there += static_cast<char>(i);
    back += static_cast<char>(255 - i % 256);
  }
  const std::string a4_before = probe("/dev/tep/a4");
  const std::string a5_before = probe("/dev/tep/a5");
  start("a4 a5");
  guest().send_a4(there);
  guest().send(guest().a5(), back);
  // Compared whole, as a mismatch would print kilobytes.
  const std::string at_a5 = guest().receive(guest().a5(), there.size(), 10000);
  const std::string at_a4 = guest().receive(guest().a4(), back.size(), 10000);
  EXPECT_TRUE(at_a5 == there) << at_a5.size() << " of " << there.size() << " bytes, "
                              << std::mismatch(at_a5.begin(), at_a5.end(), there.begin()).first -
                                     at_a5.begin()
                              << " of them right";
  EXPECT_TRUE(at_a4 == back) << at_a4.size() << " of " << back.size() << " bytes, "
                             << std::mismatch(at_a4.begin(), at_a4.end(), back.begin()).first -
                                    at_a4.begin()
                             << " of them right";
  const std::string a4_after = probe("/dev/tep/a4");
  const std::string a5_after = probe("/dev/tep/a5");
  for (const char* counter : {"rx", "tx"}) {
    EXPECT_EQ(field(a4_after, counter) - field(a4_before, counter), 8192) << counter << " of a4";
    EXPECT_EQ(field(a5_after, counter) - field(a5_before, counter), 8192) << counter << " of a5";
  }
  const Reply ended = finish("TERM");
  EXPECT_NE(ended.output.find("/dev/tep/a4 -> /dev/tep/a5: 8192 bytes, 0 read errors, 0 write "
                              "errors, 0 frame errors, 0 overruns, 0 parity errors, 0 breaks, "
                              "0 buffer overruns\n"),
            std::string::npos)
      << ended.output;
  EXPECT_EQ(ended.status, 128 + 15);
}

TEST_F(RealUart, ABreakIsCountedAndNotRelayed) {
  start("a4 a5 duration=3");
  guest().send_a4_break();
  guest().send_a4("after");
  EXPECT_EQ(guest().receive(guest().a5(), 5, 3000), "after") << "the break came through";
  const Reply ended = finish();
  EXPECT_NE(ended.output.find("/dev/tep/a4 -> /dev/tep/a5: 5 bytes, 0 read errors, 0 write "
                              "errors, 0 frame errors, 0 overruns, 0 parity errors, 1 breaks"),
            std::string::npos)
      << ended.output;
  EXPECT_EQ(ended.status, 1) << "a break is a line error";
}

TEST_F(RealUart, XonXoffFromTheFarEndHoldAndReleaseOutput) {
  start("a4 a5 flowcontrol=software");
  guest().send(guest().a5(), "\x13");  // XOFF: a5 must send nothing more
  guest().run("sleep 0.5");
  guest().send_a4("held back");
  EXPECT_EQ(guest().receive(guest().a5(), 1, 1500), "") << "output went on after XOFF";
  guest().send(guest().a5(), "\x11");  // XON
  EXPECT_EQ(guest().receive(guest().a5(), 9, 5000), "held back");
  EXPECT_EQ(guest().receive(guest().a4(), 1, 500), "") << "XON or XOFF was relayed";
}

TEST_F(RealUart, OutputHeldByXoffNeitherDelaysAStopNorPassesATimedRun) {
  // Closing a port with output held waits 30 s in the driver, unless the end discards it.
  start("a4 a5 flowcontrol=software");
  guest().send(guest().a5(), "\x13");
  guest().run("sleep 0.5");
  guest().send_a4("held back");
  EXPECT_LT(seconds_to_stop("/dev/tep/a5"), 2.0) << "the stop waited for the held line";

  start("a4 a5 flowcontrol=software duration=3");
  guest().send(guest().a5(), "\x13");
  guest().run("sleep 0.5");
  guest().send_a4("never sent");
  expect_ten_bytes_held(finish(), "/dev/tep/a4", "/dev/tep/a5");
}

// check=on with a loop plug on each port: the tool's own stream, every byte checked both ways.
// The far ends loop data only, not the modem lines, so flow control is off here.
TEST_F(RealUart, TheToolsOwnStreamRoundALoopPlugOnEachPortIsCheckedWhole) {
  guest().loop_back(guest().a4(), true);
  guest().loop_back(guest().a5(), true);
  start("a4 a5 check=on flowcontrol=none duration=3");
  const Reply ended = finish();
  guest().loop_back(guest().a4(), false);
  guest().loop_back(guest().a5(), false);
  EXPECT_EQ(ended.status, 0) << ended.output;
  EXPECT_NE(ended.output.find("wiring: a loop on each port\n"
                              "/dev/tep/a4: RTS not looped, DTR not looped\n"
                              "/dev/tep/a5: RTS not looped, DTR not looped\n"),
            std::string::npos)
      << ended.output;
  for (const char* direction : {"/dev/tep/a4 -> /dev/tep/a5: ", "/dev/tep/a5 -> /dev/tep/a4: "}) {
    const std::size_t line = ended.output.rfind(direction);
    ASSERT_NE(line, std::string::npos) << ended.output;
    const std::string summary = ended.output.substr(line, ended.output.find('\n', line) - line);
    EXPECT_NE(summary.find(" bytes checked, 0 wrong, 0 lost, 0 extra"), std::string::npos)
        << summary;
    EXPECT_EQ(summary.find(" 0 bytes checked"), std::string::npos) << summary;
  }
  std::printf("%s", ended.output.c_str());
}

TEST_F(RealUart, APortWithoutCarrierOpensWithoutHanging) {
  // a6's far end is a pty through qemu's serial backend: the guest reads DCD low.
  const Reply reply = guest().run("looptest a6 a5 duration=1 | tail -2", 20000);
  EXPECT_EQ(reply.status, 0) << reply.output;
  EXPECT_NE(reply.output.find("/dev/tep/a6 -> /dev/tep/a5: 0 bytes"), std::string::npos)
      << reply.output;
}

}  // namespace
}  // namespace uart
