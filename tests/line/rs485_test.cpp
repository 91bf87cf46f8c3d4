#include "line/rs485.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "pty_pair.h"

namespace looptest {
namespace {

LineSettings rs485_settings(bool on) {
  LineSettings settings;
  settings.rs485 = on;
  return settings;
}

// What the options ask, and what a driver that rewrote part of it (delays clamped, RTS
// levels rewritten, receiving while sending dropped) reads back: the first does not hold.
TEST(Rs485, AskedFromTheSettingsHeldOnlyAsAsked) {
  serial_rs485 found{};
  found.flags = SER_RS485_TERMINATE_BUS | SER_RS485_RTS_AFTER_SEND;
  found.delay_rts_before_send = 9;
  LineSettings settings = rs485_settings(true);
  settings.delaybefore = 200;
  settings.delayafter = -3;
  settings.rxduringtx = true;
  const serial_rs485 asked = rs485_asked(settings, found);
  EXPECT_EQ(asked.flags, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RX_DURING_TX |
                             SER_RS485_TERMINATE_BUS)
      << "the level after sending is the other one; termination as found";
  EXPECT_EQ(asked.delay_rts_before_send, 200u);
  EXPECT_EQ(asked.delay_rts_after_send, 0u) << "a negative delay is none";
  EXPECT_TRUE(holds_rs485(asked, asked));

  struct Case {
    const char* what;
    void (*rewrite)(serial_rs485&);
  };
  const Case rewritten[] = {
      {"delay clamped", [](serial_rs485& m) { m.delay_rts_before_send = 100; }},
      {"RTS rewritten", [](serial_rs485& m) { m.flags ^= SER_RS485_RTS_ON_SEND; }},
      {"rx during tx dropped",
       [](serial_rs485& m) { m.flags &= static_cast<__u32>(~SER_RS485_RX_DURING_TX); }},
      {"left off", [](serial_rs485& m) { m.flags &= static_cast<__u32>(~SER_RS485_ENABLED); }},
  };
  for (const Case& c : rewritten) {
    serial_rs485 kept = asked;
    c.rewrite(kept);
    EXPECT_FALSE(holds_rs485(asked, kept)) << c.what;
  }
  serial_rs485 terminated_anyway = asked;
  terminated_anyway.flags &= static_cast<__u32>(~SER_RS485_TERMINATE_BUS);
  EXPECT_TRUE(holds_rs485(asked, terminated_anyway)) << "no option names the termination";

  settings.rtsonsend = RtsLevel::low;
  EXPECT_EQ(rs485_asked(settings, {}).flags & (SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND),
            SER_RS485_RTS_AFTER_SEND);
  const serial_rs485 off = rs485_asked(rs485_settings(false), asked);
  EXPECT_EQ(off.flags, SER_RS485_TERMINATE_BUS);
  EXPECT_TRUE(holds_rs485(off, serial_rs485{}));
  EXPECT_FALSE(holds_rs485(off, asked));
}

TEST(Rs485, TheLineSaysWhatTheDriverKept) {
  serial_rs485 mode{};
  EXPECT_EQ(std::string(rs485_line("/dev/tep/a4", mode).view()), "/dev/tep/a4: RS-485 off");
  mode.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  EXPECT_EQ(std::string(rs485_line("/dev/tep/a4", mode).view()),
            "/dev/tep/a4: RS-485, RTS high while sending, low after, delays 0/0 ms");
  mode.flags = SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX |
               SER_RS485_TERMINATE_BUS;
  mode.delay_rts_before_send = 1;
  mode.delay_rts_after_send = 100;
  EXPECT_EQ(std::string(rs485_line("/dev/ttyAMA1", mode).view()),
            "/dev/ttyAMA1: RS-485, RTS low while sending, high after, delays 1/100 ms, "
            "receiving while sending, bus terminated");
}

TEST(Rs485, APtyHasNoSuchMode) {
  const PtyPair pty;
  ASSERT_NE(pty.slave, -1);
  serial_rs485 mode{};
  // ENOTTY from the kernel; ENOSYS from a user-mode emulator, which passes neither on.
  for (const int error : {read_rs485(pty.slave, mode), set_rs485(pty.slave, mode)}) {
    EXPECT_TRUE(error == ENOTTY || error == ENOSYS) << std::strerror(error);
  }
}

}  // namespace
}  // namespace looptest
