// The check on a half-duplex pair: the ring takes turns, one frame on the pair at a time, with
// or without each port hearing itself; the same ring run full duplex talks over itself, which
// the pair garbles and the check catches.
#include "e2e.h"
#include "pair_far_ends.h"

namespace e2e {
namespace {

class HalfDuplex : public LoopTest {};

constexpr std::string_view a4 = "/dev/tep/a4";
constexpr std::string_view a5 = "/dev/tep/a5";

TEST_F(HalfDuplex, TheRingTakesTurnsOnAPairAndARingThatTalksOverItselfIsCaught) {
  struct Case {
    const char* duplex;
    bool echo;
    const char* wiring;
    bool passes;
  };
  const Case cases[] = {
      {"duplex=half", false, "wiring: a pair between the ports\n", true},
      {"duplex=half", true, "wiring: a pair between the ports\n", true},
      {"duplex=full", false, "wiring: a cable between the ports\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.duplex) + (c.echo ? " echo" : ""));
    const VirtualPort port4 = make_port("a4");
    const VirtualPort port5 = make_port("a5");
    const testbench::PairFarEnds pair(port4, port5, c.echo);
    const std::string result = new_result_path();
    const Finished finished =
        run({"a4", "a5", "check=on", c.duplex, "duration=2", "result=" + result});
    expect_result(result, c.passes ? "pass" : "fail");
    EXPECT_TRUE(exited_with(finished.status, c.passes ? 0 : 1)) << finished.output;
    EXPECT_NE(finished.output.find(std::string(paths(a4, a5)) + c.wiring), std::string::npos)
        << finished.output;
    std::uint64_t faults = 0;
    for (const auto& [from, to] : {std::pair{a4, a5}, std::pair{a5, a4}}) {
      const std::optional<testbench::Summary> line =
          testbench::summary_of(finished.output, from, to);
      ASSERT_TRUE(line && line->check) << finished.output;
      const std::vector<std::uint64_t>& check = *line->check;  // checked, wrong, lost, extra
      EXPECT_GT(check[0], 1000u) << from << " -> " << to << "\n" << finished.output;
      for (std::size_t i = 1; i < check.size(); ++i) faults += check[i];
      if (c.passes) {
        EXPECT_EQ(std::vector(check.begin() + 1, check.end()),
                  (std::vector<std::uint64_t>{0, 0, 0}))
            << finished.output;
      }
    }
    if (c.passes) {
      EXPECT_EQ(pair.garbled(), 0u) << "the ports sent at once";
    } else {
      EXPECT_GT(pair.garbled(), 0u);
      EXPECT_GT(faults, 0u) << finished.output;
    }
    std::printf("%s", finished.output.c_str());
  }
}

}  // namespace
}  // namespace e2e
