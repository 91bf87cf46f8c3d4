// A long stream at full speed: every byte checked, and the relay's memory never grows.
#include <array>
#include <cstdint>

#include "e2e.h"

namespace e2e {
namespace {

class Soak : public LoopTest {};

constexpr std::uint64_t stream_size = std::uint64_t{1} << 30;

TEST_F(Soak, AGibibyteEachWayEveryByteCheckedAndMemoryUnchanged) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  Program& looptest = start_relay(a4, a5);
  const pid_t child = testbench::wait_for_child(looptest.pid, patience_ms);
  // Warm up every path of the relay before the first reading of its memory.
  Flow there{a4.master(), a5.master(), test_pattern(std::size_t{1} << 20, 1)};
  Flow back{a5.master(), a4.master(), test_pattern(std::size_t{1} << 20, 2)};
  ASSERT_TRUE(transfer({&there, &back}, patience_ms));
  const long parent_before = testbench::resident_kib(looptest.pid);
  const long child_before = testbench::resident_kib(child);

  std::array<Stream, 2> streams{Stream{a4.master(), a5.master(), 41, stream_size},
                                Stream{a5.master(), a4.master(), 43, stream_size}};
  EXPECT_TRUE(testbench::move_streams(streams, patience_ms));
  for (const Stream& stream : streams) {
    EXPECT_EQ(stream.received, stream_size);
    EXPECT_TRUE(stream.intact);
  }
  EXPECT_EQ(testbench::resident_kib(looptest.pid), parent_before);
  EXPECT_EQ(testbench::resident_kib(child), child_before);
  std::printf("resident memory: parent %ld KiB, child %ld KiB\n", parent_before, child_before);
}

}  // namespace
}  // namespace e2e
