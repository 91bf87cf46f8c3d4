#include "check/wiring.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

namespace looptest {
namespace {

constexpr std::optional<PortNumber> nowhere{};
constexpr std::optional<PortNumber> at1{PortNumber::one};
constexpr std::optional<PortNumber> at2{PortNumber::two};

// Port 1's probe says what the wiring must be; port 2's must go round as it does. Each
// port whose probe did not is named on its own ERROR line, so both answers matter.
TEST(DecideWiring, Port1SaysTheWiringAndPort2MustGoRoundAsItDoes) {
  struct Case {
    Check check;
    ProbesBack back;
    Wiring wiring;
    std::array<bool, 2> came_round;
    bool half = false;
  };
  const Case cases[] = {
      {Check::on, {nowhere, nowhere}, Wiring::none, {false, false}},
      // Nothing says where port 2's probe should come back: that it did is enough.
      {Check::on, {nowhere, at1}, Wiring::none, {false, true}},
      {Check::on, {nowhere, at2}, Wiring::none, {false, true}},
      {Check::on, {at1, nowhere}, Wiring::none, {true, false}},
      {Check::on, {at1, at1}, Wiring::none, {true, false}},
      {Check::on, {at1, at2}, Wiring::loops, {true, true}},
      {Check::on, {at2, nowhere}, Wiring::none, {true, false}},
      {Check::on, {at2, at1}, Wiring::cable, {true, true}},
      {Check::on, {at2, at2}, Wiring::none, {true, false}},
      // The UARTs' own loopback brings each probe back to its own port, or the run fails.
      {Check::internal, {nowhere, nowhere}, Wiring::none, {false, false}},
      {Check::internal, {nowhere, at1}, Wiring::none, {false, false}},
      {Check::internal, {nowhere, at2}, Wiring::none, {false, true}},
      {Check::internal, {at1, nowhere}, Wiring::none, {true, false}},
      {Check::internal, {at1, at1}, Wiring::none, {true, false}},
      {Check::internal, {at1, at2}, Wiring::internal, {true, true}},
      {Check::internal, {at2, nowhere}, Wiring::none, {false, false}},
      {Check::internal, {at2, at1}, Wiring::none, {false, false}},
      {Check::internal, {at2, at2}, Wiring::none, {false, true}},
      // Half duplex a link between the ports is a pair; loop plugs stay loop plugs.
      {Check::on, {at2, at1}, Wiring::pair, {true, true}, true},
      {Check::on, {at2, at2}, Wiring::none, {true, false}, true},
      {Check::on, {at1, at2}, Wiring::loops, {true, true}, true},
  };
  for (const Case& c : cases) {
    const WiringDecision decision = decide_wiring(c.check, c.half, c.back);
    const std::string label = std::string(check_keyword(c.check)) + (c.half ? " half" : "") +
                              " back " +
                              std::to_string(c.back[0] ? static_cast<int>(*c.back[0]) : 0) + " " +
                              std::to_string(c.back[1] ? static_cast<int>(*c.back[1]) : 0);
    EXPECT_EQ(decision.wiring, c.wiring) << label;
    EXPECT_EQ(decision.came_round, c.came_round) << label;
  }
}

TEST(HandshakeLine, NamesTheInputsThatFollowEachOutput) {
  const std::pair<Handshake, std::string> cases[] = {
      {{TIOCM_CTS, TIOCM_DSR | TIOCM_CAR}, "/dev/tep/a4: RTS -> CTS, DTR -> DSR DCD"},
      {{0, 0}, "/dev/tep/a4: RTS not looped, DTR not looped"},
      {{TIOCM_CTS | TIOCM_DSR | TIOCM_CAR, 0}, "/dev/tep/a4: RTS -> CTS DSR DCD, DTR not looped"},
  };
  for (const auto& [handshake, expected] : cases) {
    const TextLine line = handshake_line("/dev/tep/a4", handshake);
    EXPECT_EQ(std::string(line.text.data()), expected);
    EXPECT_EQ(line.length, expected.size());
  }
}

// Only hardware flow control needs CTS to follow an output, either of them.
TEST(HandshakeLine, CtsThatFollowsNothingStopsOnlyHardwareFlowControl) {
  const std::tuple<FlowControl, Handshake, bool> cases[] = {
      {FlowControl::hardware, {0, TIOCM_DSR}, true},
      {FlowControl::hardware, {0, TIOCM_CTS}, false},
      {FlowControl::hardware, {TIOCM_CTS, 0}, false},
      {FlowControl::software, {0, 0}, false},
      {FlowControl::none, {0, TIOCM_DSR}, false},
  };
  for (const auto& [flow_control, handshake, stopped] : cases) {
    const LineSettings settings{.flowcontrol = flow_control};
    EXPECT_EQ(cts_follows_nothing(settings, handshake), stopped)
        << flow_control_keyword(flow_control) << " " << handshake.after_rts << " "
        << handshake.after_dtr;
  }
}

// A probe that arrives in two reads, after more noise than the input keeps, is seen once
// its last byte is in.
TEST(ProbeSeen, AProbeSplitAcrossReadsAfterNoiseIsSeenWhole) {
  const StreamAlphabet alphabet = stream_alphabet(LineSettings{});
  const Probe probe = make_probe(alphabet);
  Seen seen;
  keep_seen(seen, std::vector<char>(seen_length + 44, '\x55'));
  keep_seen(seen, std::span(probe).first(10));
  EXPECT_FALSE(probe_seen(seen, probe, alphabet.mask));
  keep_seen(seen, std::span(probe).subspan(10));
  EXPECT_EQ(seen.size, seen_length);
  EXPECT_TRUE(probe_seen(seen, probe, alphabet.mask));
}

// On 7 bits, the bit the line does not carry (a parity bit read as data) is not compared.
TEST(ProbeSeen, SevenBitsCompareOnlyTheBitsTheLineCarries) {
  const StreamAlphabet alphabet = stream_alphabet(LineSettings{.databits = 7});
  const Probe probe = make_probe(alphabet);
  std::vector<char> arrived{'x'};
  for (const char sent : probe) arrived.push_back(static_cast<char>(sent | '\x80'));
  Seen seen;
  keep_seen(seen, arrived);
  EXPECT_TRUE(probe_seen(seen, probe, alphabet.mask));
  EXPECT_FALSE(probe_seen(seen, probe, 0xff));
  arrived[5] = static_cast<char>(arrived[5] ^ 0x01);
  Seen changed;
  keep_seen(changed, arrived);
  EXPECT_FALSE(probe_seen(changed, probe, alphabet.mask));
}

}  // namespace
}  // namespace looptest
