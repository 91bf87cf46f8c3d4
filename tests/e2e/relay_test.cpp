// Bytes through the real looptest, and the line attributes it gives the ports.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "e2e.h"

namespace e2e {
namespace {

struct LineCase {
  std::vector<std::string> options;
  tcflag_t cflag;
  tcflag_t iflag;
};

class Relay : public LoopTest {
 protected:
  // Each case on a fresh pair of ports: what a pty keeps of the options, read from both.
  void expect_lines(const std::vector<LineCase>& cases);
};

TEST_F(Relay, BothWaysAtOnceEveryByteInOrder) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  start_relay(a4, a5);
  constexpr std::size_t mebibyte = 1 << 20;
  Flow there{a4.master(), a5.master(), test_pattern(mebibyte, 3)};
  Flow back{a5.master(), a4.master(), test_pattern(mebibyte, 5)};
  EXPECT_TRUE(transfer({&there, &back}, 60000))
      << "a4 -> a5: " << there.received.size() << " of " << there.data.size()
      << " bytes, a5 -> a4: " << back.received.size() << " of " << back.data.size();
}

TEST_F(Relay, PrintsEachLineOnceThroughAPipeAndThenNothingWhileIdle) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start({"a4", "a5"});
  std::string output;
  testbench::read_until(looptest.output, output, "tty2=/dev/tep/a5\n", patience_ms);
  // Once a byte has crossed each way both relays run, so anything held in a buffer across
  // the split would have shown up twice by now.
  Flow there{a4.master(), a5.master(), {'>'}};
  Flow back{a5.master(), a4.master(), {'<'}};
  EXPECT_TRUE(transfer({&there, &back}, patience_ms));
  testbench::read_until(looptest.output, output, "never printed", 1000);
  EXPECT_EQ(output, "arg1 = a4\narg2 = a5\n" + default_report + banner +
                        "tty1=/dev/tep/a4\ntty2=/dev/tep/a5\n");
  EXPECT_EQ(testbench::children_of(looptest.pid).size(), 1u);
}

// The kernel's speed codes, written out: the C library's B constants may be the rates instead.
constexpr tcflag_t code_9600 = 0xd;
constexpr tcflag_t code_115200 = 0x1002;
constexpr tcflag_t code_460800 = 0x1004;
constexpr tcflag_t code_other = 0x1000;  // BOTHER: the rate is a number, read in rates_test

// The control flags as the port holds them. Some C libraries (glibc 2.43) also report the
// input speed in CIBAUD where the kernel holds none; that is left out.
tcflag_t control_flags(const termios& t) { return t.c_cflag & ~tcflag_t{0x100F0000}; }

TEST_F(Relay, DefaultAttributesAreRawRtsCts115200) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  start_relay(a4, a5);
  for (const VirtualPort* port : {&a4, &a5}) {
    const termios t = attributes_of(*port);
    EXPECT_EQ(control_flags(t), CRTSCTS | CLOCAL | HUPCL | CREAD | CS8 | code_115200)
        << port->path();
    EXPECT_EQ(t.c_iflag, tcflag_t{IGNBRK | IGNPAR}) << port->path();
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
  }
}

void Relay::expect_lines(const std::vector<LineCase>& cases) {
  for (const LineCase& c : cases) {
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    Program& looptest = start_relay(a4, a5, c.options);
    for (const VirtualPort* port : {&a4, &a5}) {
      const termios t = attributes_of(*port);
      EXPECT_EQ(control_flags(t), c.cflag) << c.options[0] << " " << port->path();
      EXPECT_EQ(t.c_iflag, c.iflag) << c.options[0] << " " << port->path();
      const bool software = (c.iflag & IXON) != 0;
      EXPECT_EQ(t.c_cc[VSTART], software ? 0x11 : 0);
      EXPECT_EQ(t.c_cc[VSTOP], software ? 0x13 : 0);
    }
    testbench::stop_program(looptest);
  }
}

// Whether CMSPAR set on a pty reads back: qemu-user 7.2 translates the terminal flags of the
// programs it runs without it, both ways.
bool stick_parity_survives_here() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  bool kept = master != -1 && tcgetattr(master, &t) == 0;
  t.c_cflag |= CMSPAR | PARENB;
  kept = kept && tcsetattr(master, TCSANOW, &t) == 0 && tcgetattr(master, &t) == 0 &&
         (t.c_cflag & CMSPAR) != 0;
  if (master != -1) close(master);
  return kept;
}

// A pty keeps the speed, stop bits, PARODD, CMSPAR and the flow control it is given, but
// always reports 8 data bits and PARENB clear; the full record is checked in unit tests.
TEST_F(Relay, OptionsReachTheLine) {
  expect_lines({
      {{"baudrate=9600", "databits=7", "parity=even", "stopbits=2", "flowcontrol=software"},
       CLOCAL | HUPCL | CREAD | CS8 | CSTOPB | code_9600,
       IGNBRK | IGNPAR | IXON | IXOFF},
      {{"parity=odd", "baudrate=-5"},
       CRTSCTS | CLOCAL | HUPCL | CREAD | CS8 | PARODD | code_9600,
       IGNBRK | IGNPAR},
  });
}

TEST_F(Relay, MarkAndSpaceParityReachTheLine) {
  if (!stick_parity_survives_here()) {
    GTEST_SKIP() << "CMSPAR does not survive this machine's terminal calls (a user-mode "
                    "emulator that drops it), so mark and space parity cannot be seen";
  }
  expect_lines({
      {{"parity=mark", "flowcontrol=none", "baudrate=460800"},
       CLOCAL | HUPCL | CREAD | CS8 | CMSPAR | PARODD | code_460800,
       IGNBRK | IGNPAR},
      {{"parity=space", "baudrate=100", "stopbits=3"},
       CRTSCTS | CLOCAL | HUPCL | CREAD | CS8 | CMSPAR | code_other,
       IGNBRK | IGNPAR},
  });
}

TEST_F(Relay, AFarEndThatStopsReadingHoldsOnlyItsOwnDirection) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const Program& looptest = start_relay(a4, a5);
  const pid_t child = testbench::wait_for_child(looptest.pid, patience_ms);
  const long resident_before =
      testbench::resident_kib(looptest.pid) + testbench::resident_kib(child);

  // a5's far end reads nothing while far more than the ptys can buffer goes its way.
  const std::vector<char> held = test_pattern(std::size_t{512} * 1024, 7);
  std::size_t sent = 0;
  while (sent < held.size()) {
    const ssize_t written = write(a4.master(), held.data() + sent, held.size() - sent);
    if (written > 0) {
      sent += static_cast<std::size_t>(written);
      continue;
    }
    pollfd room{a4.master(), POLLOUT, 0};
    if (poll(&room, 1, 1000) == 0) break;  // the port takes no more: the line is held
  }
  EXPECT_LT(sent, held.size()) << "nothing held the line back";
  // What is held waits in the ptys, not in the relay.
  EXPECT_LE(testbench::resident_kib(looptest.pid) + testbench::resident_kib(child),
            resident_before + 8);

  // Meanwhile a5 -> a4 still flows.
  Flow back{a5.master(), a4.master(), test_pattern(std::size_t{64} * 1024, 11)};
  EXPECT_TRUE(transfer({&back}, patience_ms));

  // Once a5's far end reads again, every byte arrives, in order.
  Flow rest{a4.master(), a5.master(), held};
  rest.sent = sent;
  EXPECT_TRUE(transfer({&rest}, 60000))
      << rest.received.size() << " of " << held.size() << " bytes arrived";
}

}  // namespace
}  // namespace e2e
