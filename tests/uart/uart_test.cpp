// looptest on a real Linux serial driver: 16550 UARTs in an emulated machine. What virtual
// ports cannot show: character size, parity, stop bits and rate as the UART is programmed,
// flow control that holds a line, breaks, and the driver's own counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

#include "guest.h"

namespace uart {
namespace {

// One value of uart_probe's line, by its name: the flags and registers in hexadecimal, the
// rest in decimal.
long field(const std::string& probe, const std::string& name, int base = 16) {
  std::istringstream words(probe);
  for (std::string word; words >> word;) {
    if (word.starts_with(name + "=")) {
      return std::strtol(word.c_str() + name.size() + 1, nullptr, base);
    }
  }
  return -1000;
}
long decimal_field(const std::string& probe, const std::string& name) {
  return field(probe, name, 10);
}

class RealUart : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    guest_ = new Guest;
    why_not_ = guest_->boot();
  }
  static void TearDownTestSuite() {
    guest_->shut_down();
    delete guest_;
  }
  void SetUp() override {
    if (!why_not_.empty()) GTEST_SKIP() << "no emulated UARTs, so no test on them: " << why_not_;
  }
  void TearDown() override {
    if (why_not_.empty()) guest_->run("killall -KILL looptest; sleep 0.3; rm -f /tmp/*");
  }
  Guest& guest() { return *guest_; }

  /// Starts looptest in the guest in the background; its process id goes to /tmp/pid, its
  /// output to /tmp/out and its exit status, once it ends, to /tmp/status.
  void start(const std::string& arguments) {
    guest().run("rm -f /tmp/*");
    const Reply reply = guest().run("sh -c 'looptest " + arguments +
                                    " >/tmp/out 2>&1 & echo $! >/tmp/pid; wait $!; "
                                    "echo $? >/tmp/status' & sleep 1");
    ASSERT_EQ(reply.status, 0) << reply.output;
  }
  /// Stops it with signal (or lets it end) and returns its output and status.
  Reply finish(const std::string& signal = "") {
    if (!signal.empty()) guest().run("kill -" + signal + " $(cat /tmp/pid)");
    guest().run("while [ ! -e /tmp/status ]; do sleep 0.1; done", 20000);
    return {guest().run("cat /tmp/out").output, guest().run("exit $(cat /tmp/status)").status};
  }
  std::string probe(const std::string& port) { return guest().run("uart_probe " + port).output; }

  static Guest* guest_;
  static std::string why_not_;
};

Guest* RealUart::guest_ = nullptr;
std::string RealUart::why_not_;

TEST_F(RealUart, TheUartIsProgrammedAsTheOptionsSay) {
  struct Case {
    const char* options;
    long line_control;  ///< The 16550's LCR: size, stop bits, parity enable, even, stick.
    long divisor;       ///< 115200 / rate.
  };
  const Case cases[] = {
      // The driver sets the even-parity bit whenever PARODD is clear, parity or not.
      {"", 0x13, 1},
      {"baudrate=9600 databits=7 parity=even stopbits=2 flowcontrol=software", 0x1e, 12},
      {"parity=mark", 0x2b, 1},
      {"parity=space", 0x3b, 1},
      {"databits=5 parity=odd", 0x08, 1},
      {"databits=6 stopbits=2 baudrate=57600", 0x15, 2},
  };
  const std::string before = probe("/dev/ttyS1");
  for (const Case& c : cases) {
    start(std::string("a4 a5 ") + c.options);
    for (const char* port : {"/dev/ttyS1", "/dev/ttyS2"}) {
      const std::string line = probe(port);
      EXPECT_EQ(field(line, "lcr"), c.line_control) << c.options << ": " << line;
      EXPECT_EQ(decimal_field(line, "divisor"), c.divisor) << c.options << ": " << line;
    }
    const Reply ended = finish("TERM");
    EXPECT_EQ(ended.output.find("ERROR"), std::string::npos) << c.options << ": " << ended.output;
    // Put back as found, on the UART too.
    const std::string after = probe("/dev/ttyS1");
    EXPECT_EQ(field(after, "cflag"), field(before, "cflag")) << c.options;
    EXPECT_EQ(field(after, "lcr"), field(before, "lcr")) << c.options;
  }
  start("a4 a5 baudrate=9600 flowcontrol=software");
  const std::string software = probe("/dev/ttyS2");
  EXPECT_EQ(field(software, "iflag") & 0x1400, 0x1400) << "IXON and IXOFF: " << software;
  EXPECT_EQ(decimal_field(software, "ospeed"), 9600);
}

TEST_F(RealUart, EveryByteValueBothWaysAtOnceAndTheDriverCountsThem) {
  std::string there;
  std::string back;
  for (int i = 0; i < 8192; ++i) {
    there += static_cast<char>(i);
    back += static_cast<char>(255 - i % 256);
  }
  const std::string a4_before = probe("/dev/ttyS1");
  const std::string a5_before = probe("/dev/ttyS2");
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
  const std::string a4_after = probe("/dev/ttyS1");
  const std::string a5_after = probe("/dev/ttyS2");
  for (const char* counter : {"rx", "tx"}) {
    EXPECT_EQ(decimal_field(a4_after, counter) - decimal_field(a4_before, counter), 8192)
        << counter << " of ttyS1";
    EXPECT_EQ(decimal_field(a5_after, counter) - decimal_field(a5_before, counter), 8192)
        << counter << " of ttyS2";
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
  guest().send(guest().a5(), "\x13");  // XOFF: ttyS2 must send nothing more
  guest().run("sleep 0.5");
  guest().send_a4("held back");
  EXPECT_EQ(guest().receive(guest().a5(), 1, 1500), "") << "output went on after XOFF";
  guest().send(guest().a5(), "\x11");  // XON
  EXPECT_EQ(guest().receive(guest().a5(), 9, 5000), "held back");
  EXPECT_EQ(guest().receive(guest().a4(), 1, 500), "") << "XON or XOFF was relayed";
}

TEST_F(RealUart, RtsCtsHoldsOutputWhileInputFlowsAndAStopStillEndsItAtOnce) {
  // a6's far end keeps CTS low.
  start("a6 a4");
  guest().send(guest().a6(), "from a6");
  EXPECT_EQ(guest().receive(guest().a4(), 7, 5000), "from a6") << "input stopped with CTS low";
  guest().send_a4("for a6");
  EXPECT_EQ(guest().receive(guest().a6(), 1, 1500), "") << "output went on with CTS low";

  // Pending output must not hold up the end: closing a port with output held waits 30 s.
  const Reply timed = guest().run(
      "read start rest </proc/uptime; kill -TERM $(cat /tmp/pid); "
      "while [ ! -e /tmp/status ]; do sleep 0.05; done; read end rest </proc/uptime; "
      "echo \"$start $end\"; pidof looptest; uart_probe /dev/ttyS3 >/dev/null");
  // The shell may first report the end of an earlier job.
  double start_time = 0;
  double end_time = 0;
  std::istringstream lines(timed.output);
  bool timed_ok = false;
  for (std::string line; !timed_ok && std::getline(lines, line);) {
    timed_ok = std::sscanf(line.c_str(), "%lf %lf", &start_time, &end_time) == 2;
  }
  ASSERT_TRUE(timed_ok) << timed.output;
  EXPECT_LT(end_time - start_time, 2.0) << "the stop waited for the held line";
  EXPECT_EQ(timed.status, 0) << "looptest still runs, or ttyS3 would not open: " << timed.output;
}

TEST_F(RealUart, OutputHeldByCtsToTheEndFailsATimedRunAndIsNotCountedAsDelivered) {
  // a6's far end keeps CTS low: what the relay writes for it stays in ttyS3's queue.
  start("a4 a6 duration=3");
  guest().send_a4("never sent");
  const Reply ended = finish();
  EXPECT_NE(ended.output.find("ERROR /dev/tep/a4 -> /dev/tep/a6 held at the end\n"),
            std::string::npos)
      << ended.output;
  EXPECT_NE(ended.output.find("/dev/tep/a4 -> /dev/tep/a6: 0 bytes, 0 read errors, 0 write "
                              "errors, 0 frame errors, 0 overruns, 0 parity errors, 0 breaks, "
                              "0 buffer overruns, 10 bytes not delivered\n"),
            std::string::npos)
      << ended.output;
  EXPECT_EQ(ended.status, 1);
  EXPECT_EQ(guest().receive(guest().a6(), 1, 1000), "") << "held bytes left after the end";
}

TEST_F(RealUart, APortWithoutCarrierOpensWithoutHanging) {
  const Reply reply = guest().run("looptest a6 a5 duration=1 | tail -2", 20000);
  EXPECT_EQ(reply.status, 0) << reply.output;
  EXPECT_NE(reply.output.find("/dev/tep/a6 -> /dev/tep/a5: 0 bytes"), std::string::npos)
      << reply.output;
}

TEST_F(RealUart, ARateTheUartRefusesIsReported) {
  for (const char* rate : {"230400", "460800"}) {
    const Reply reply = guest().run(std::string("looptest a4 a5 duration=0 baudrate=") + rate);
    EXPECT_NE(reply.output.find("ERROR configuring /dev/tep/a4\nERROR configuring /dev/tep/a5\n"),
              std::string::npos)
        << rate << ": " << reply.output;
    EXPECT_EQ(reply.status, 1) << rate;
  }
}

}  // namespace
}  // namespace uart
