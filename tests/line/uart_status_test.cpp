#include "line/uart_status.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "pty_pair.h"

namespace looptest {
namespace {

TEST(LineErrors, CountWhatWasGainedAcrossAWrap) {
  const LineErrors start{4294967295u, 7, 0, 1, 2};
  const LineErrors now{1, 7, 3, 1, 2};
  EXPECT_EQ(line_errors_since(start, now), (LineErrors{2, 0, 3, 0, 0}));
  EXPECT_EQ(total_line_errors(LineErrors{4294967295u, 4294967295u, 0, 0, 1}), 8589934591u);
}

TEST(Transmitter, TakesItsFifoAndShiftRegisterAt12BitsACharacter) {
  EXPECT_EQ(transmitter_milliseconds(50, 16), 4080);    // the slowest rate, a 16550's FIFO
  EXPECT_EQ(transmitter_milliseconds(300, 128), 5160);  // a 16950's 128 characters
  EXPECT_EQ(transmitter_milliseconds(115200, 32), 4);   // rounded up, never 0
  EXPECT_EQ(transmitter_milliseconds(12345, 16), 17);   // any rate runs as asked
  EXPECT_EQ(transmitter_milliseconds(1, 16), 204000);   // even the slowest
  EXPECT_EQ(transmitter_milliseconds(0, 16), 22);       // no rate runs at 9600
}

TEST(UartStatus, APtyIsNoUartAndSaysSo) {
  const PtyPair pty;
  ASSERT_NE(pty.slave, -1);
  const int slave = pty.slave;
  ASSERT_EQ(write(slave, "queued", 6), 6);
  // Nothing the end can hold on to: it then waits for its output by what the relay saw.
  EXPECT_EQ(output_queued(slave), 0u);
  EXPECT_EQ(transmitter_empty(slave), std::nullopt);
  EXPECT_EQ(transmit_fifo_size(slave), std::nullopt);
  EXPECT_EQ(read_line_errors(slave), std::nullopt);
}

}  // namespace
}  // namespace looptest
