// The 16550, the PC's UART, on its 1.8432 MHz clock: an integer divisor of 115200, so no
// rate above it. Its driver holds output itself while CTS is low, and qemu's model reads
// CTS, DSR and DCD from a serial backend: a6's far end keeps them low.
#include <gtest/gtest.h>

#include <string>

#include "real_uart.h"

namespace uart {

const Board& board_under_test() { return pc_with_16550; }

namespace {

using Uart16550 = RealUart;

TEST_F(Uart16550, TheUartIsProgrammedAsTheOptionsSay) {
  // lcr: size, stop bits, parity enable, even, stick; divisor: 115200 / rate. The driver sets
  // the even-parity bit whenever PARODD is clear, parity or not.
  const Programming cases[] = {
      {"", {{"lcr", 0x13}, {"divisor", 1}}},
      {"baudrate=9600 databits=7 parity=even stopbits=2 flowcontrol=software",
       {{"lcr", 0x1e}, {"divisor", 12}}},
      {"parity=mark", {{"lcr", 0x2b}, {"divisor", 1}}},
      {"parity=space", {{"lcr", 0x3b}, {"divisor", 1}}},
      {"databits=5 parity=odd", {{"lcr", 0x08}, {"divisor", 1}}},
      {"databits=6 stopbits=2 baudrate=57600", {{"lcr", 0x15}, {"divisor", 2}}},
  };
  expect_programmed_and_restored(cases);

  start("a4 a5 baudrate=9600 flowcontrol=software");
  const std::string software = probe("/dev/tep/a5");
  EXPECT_EQ(field(software, "iflag") & 0x1400, 0x1400) << "IXON and IXOFF: " << software;
  EXPECT_EQ(field(software, "ospeed"), 9600);
}

TEST_F(Uart16550, RtsCtsHoldsOutputWhileInputFlowsAndAStopStillEndsItAtOnce) {
  start("a6 a4");
  guest().send(guest().a6(), "from a6");
  EXPECT_EQ(guest().receive(guest().a4(), 7, 5000), "from a6") << "input stopped with CTS low";
  guest().send_a4("for a6");
  EXPECT_EQ(guest().receive(guest().a6(), 1, 1500), "") << "output went on with CTS low";
  EXPECT_LT(seconds_to_stop("/dev/tep/a6"), 2.0) << "the stop waited for the held line";
}

TEST_F(Uart16550, OutputHeldByCtsToTheEndFailsATimedRunAndIsNotCountedAsDelivered) {
  // What the relay writes for a6 stays in its queue.
  start("a4 a6 duration=3");
  guest().send_a4("never sent");
  expect_ten_bytes_held(finish(), "/dev/tep/a4", "/dev/tep/a6");
  EXPECT_EQ(guest().receive(guest().a6(), 1, 1000), "") << "held bytes left after the end";
}

TEST_F(Uart16550, ARateTheUartRefusesIsReported) {
  for (const char* rate : {"230400", "460800"}) {
    const Reply reply = guest().run(std::string("looptest a4 a5 duration=0 baudrate=") + rate);
    EXPECT_NE(reply.output.find("ERROR configuring /dev/tep/a4\nERROR configuring /dev/tep/a5\n"),
              std::string::npos)
        << rate << ": " << reply.output;
    EXPECT_EQ(reply.status, 1) << rate;
  }
}

// Its clock makes 115200 divided by a whole number: faster rates are refused (the driver keeps
// the rate the port had, and reports that one), and a rate it can only come near runs at the
// nearest divisor's, while the driver reports the rate asked, which no program can tell:
// 74880 runs at 57600 (divisor 2). 28800 (divisor 4) runs as asked, through termios2.
TEST_F(Uart16550, FasterRatesAreRefusedAndOthersRunAtTheNearestDivisor) {
  const long rates[] = {50, 9600, 115200, 230400, 1000000, 28800, 74880};
  for (const RateOutcome& outcome : run_at_rates(rates)) {
    const long rate = outcome.asked;
    const bool faster = rate > 115200;
    EXPECT_EQ(outcome.refused, faster) << rate << ": " << outcome.probe;
    EXPECT_EQ(outcome.read_back == rate, !faster) << rate << ": " << outcome.probe;
    const long runs_at = faster ? outcome.read_back : 115200 / ((115200 + rate / 2) / rate);
    EXPECT_EQ(outcome.emulated, runs_at) << rate << ": " << outcome.probe;
  }
}

// check=internal: qemu's 16550 in loopback mode loops the data, RTS to CTS and DTR to DSR,
// and holds DCD up whatever DTR does (a real 16550 joins OUT2 to it), which this pins down.
TEST_F(Uart16550, TheUartsOwnLoopbackCarriesTheStreamAndItsHandshake) {
  start("a4 a5 check=internal duration=3");
  const Reply ended = finish();
  EXPECT_EQ(ended.status, 0) << ended.output;
  EXPECT_NE(ended.output.find("wiring: internal loopback\n"
                              "/dev/tep/a4: RTS -> CTS, DTR -> DSR\n"
                              "/dev/tep/a5: RTS -> CTS, DTR -> DSR\n"),
            std::string::npos)
      << ended.output;
  EXPECT_EQ(ended.output.find(" 0 bytes checked"), std::string::npos) << ended.output;
  EXPECT_EQ(ended.output.find("ERROR"), std::string::npos) << ended.output;
  EXPECT_EQ(guest().receive(guest().a4(), 1, 500), "") << "the loopback sent to the line";
  // Cleared again at the end: the port sends to its far end once more.
  EXPECT_EQ(field(probe("/dev/tep/a4"), "modem") & 0x8000, 0) << "TIOCM_LOOP still on";
  std::printf("%s", ended.output.c_str());
}

// The 8250 driver gives a 16550 no RS-485 mode: it reads one (off) but refuses to set it.
TEST_F(Uart16550, HasNoRs485Mode) {
  start("a4 a5 rs485=on duration=1");
  const Reply ended = finish();
  EXPECT_EQ(ended.status, 1) << ended.output;
  EXPECT_NE(ended.output.find("ERROR /dev/tep/a4 has no RS-485 mode\n"
                              "ERROR /dev/tep/a5 has no RS-485 mode\n"),
            std::string::npos)
      << ended.output;
  start("a4 a5 rs485=off duration=1");
  EXPECT_EQ(finish().status, 0) << "off is what it is";
}

}  // namespace
}  // namespace uart
