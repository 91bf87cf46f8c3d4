// check=on and check=internal: the tool's own test stream round what is wired to the ports,
// which the far ends play here: a loop plug on each port, a cable, a plug on one, nothing; and
// a far end that harms the stream once, as a bad line would.
#include "e2e.h"
#include "wired_far_ends.h"

namespace e2e {
namespace {

using testbench::Harm;
using testbench::Wired;
using testbench::WiredFarEnds;

class Check : public LoopTest {
 protected:
  // Starts "looptest a4 a5 options..." with the far ends wired so.
  Program& start_wired(Wired wired, const std::vector<std::string>& options, Harm harm = {},
                       int delay_ms = 0) {
    wires_.reset();
    a4_.reset();
    a5_.reset();
    a4_.emplace(make_port("a4"));
    a5_.emplace(make_port("a5"));
    wires_.emplace(*a4_, *a5_, wired, harm, delay_ms);
    std::vector<std::string> arguments{"a4", "a5"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return start(arguments);
  }
  // Runs it to its end.
  Finished run_wired(Wired wired, const std::vector<std::string>& options, Harm harm = {}) {
    return wait_for_end(start_wired(wired, options, harm));
  }
  // The check counts of from -> to: checked, wrong, lost, extra.
  static std::vector<std::uint64_t> counts(const Finished& finished, std::string_view from,
                                           std::string_view to) {
    const std::optional<testbench::Summary> line = testbench::summary_of(finished.output, from, to);
    EXPECT_TRUE(line && line->check) << finished.output;
    return line && line->check ? *line->check : std::vector<std::uint64_t>(4, 0);
  }

  std::optional<VirtualPort> a4_;
  std::optional<VirtualPort> a5_;
  std::optional<WiredFarEnds> wires_;
};

constexpr std::string_view a4 = "/dev/tep/a4";
constexpr std::string_view a5 = "/dev/tep/a5";

TEST_F(Check, ALoopOnEachPortOrACableCarriesTheStreamBothWaysAndPasses) {
  for (const auto& [wired, said] :
       {std::pair{Wired::loops, "wiring: a loop on each port\n"},
        std::pair{Wired::cable, "wiring: a cable between the ports\n"}}) {
    SCOPED_TRACE(said);
    const std::string result = new_result_path();
    const Finished finished = run_wired(wired, {"check=on", "duration=2", "result=" + result});
    EXPECT_TRUE(exited_with(finished.status, 0)) << finished.output;
    testbench::ResultLines lines;
    expect_result(result, "pass", {}, &lines);
    EXPECT_EQ(lines.types,
              (std::vector<std::string>{"start", "wiring", "handshake", "handshake", "end"}));
    EXPECT_NE(finished.output.find(std::string(paths(a4, a5)) + said +
                                   "/dev/tep/a4: no modem lines\n"
                                   "/dev/tep/a5: no modem lines\n"),
              std::string::npos)
        << finished.output;
    for (const auto& [from, to] : {std::pair{a4, a5}, std::pair{a5, a4}}) {
      const std::vector<std::uint64_t> check = counts(finished, from, to);
      EXPECT_GT(check[0], 10000u) << "checked, " << from << " -> " << to;
      EXPECT_EQ(std::vector(check.begin() + 1, check.end()), (std::vector<std::uint64_t>{0, 0, 0}))
          << finished.output;
      EXPECT_NE(finished.output.find(std::string(from) + " -> " + std::string(to) + ": "),
                std::string::npos);
    }
    EXPECT_NE(finished.output.find(" bytes/s checked, "), std::string::npos) << finished.output;
    std::printf("%s", finished.output.c_str());
  }
}

TEST_F(Check, AStreamThatDoesNotComeBackFailsTheRunAndSaysWhereItWasSent) {
  struct Case {
    Wired wired;
    std::string said;
  };
  const Case cases[] = {
      {Wired::nothing,
       "ERROR nothing sent out of /dev/tep/a4 came back\n"
       "ERROR nothing sent out of /dev/tep/a5 came back\n"},
      {Wired::loop_on_first, "ERROR nothing sent out of /dev/tep/a5 came back\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    const std::string result = new_result_path();
    const Finished finished = run_wired(c.wired, {"check=on", "duration=1", "result=" + result});
    EXPECT_TRUE(exited_with(finished.status, 1)) << finished.output;
    expect_result(result, "fail", {"no-wiring", "no-check"});
    EXPECT_NE(finished.output.find(paths(a4, a5) + c.said), std::string::npos) << finished.output;
    EXPECT_EQ(finished.output.find("wiring:"), std::string::npos) << finished.output;
    EXPECT_EQ(counts(finished, a4, a5)[0], 0u);
  }
}

// Each harm done once by one far end is counted on the direction that reads that hop, with
// its count, and nowhere else; the ring goes on after it, and the run fails.
TEST_F(Check, EachHarmIsCountedOnceOnItsDirectionAndTheRingGoesOn) {
  struct Case {
    const char* what;
    Wired wired;
    Harm harm;
    std::vector<std::uint64_t> wrong_lost_extra;
  };
  const Case cases[] = {
      {"a bit flipped, a loop on a4", Wired::loops, {Harm::Kind::flip, 1, 20000, 2}, {1, 0, 0}},
      {"40 bytes dropped, a loop on a5",
       Wired::loops,
       {Harm::Kind::drop, 2, 20000, 40},
       {0, 40, 0}},
      {"10 bytes twice, a cable from a4",
       Wired::cable,
       {Harm::Kind::repeat, 1, 20000, 10},
       {0, 0, 10}},
      {"20 bytes of noise, a cable from a5",
       Wired::cable,
       {Harm::Kind::noise, 2, 20000, 20},
       {0, 0, 20}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Finished finished = run_wired(c.wired, {"check=on", "duration=2"}, c.harm);
    ASSERT_TRUE(wires_->harmed());
    EXPECT_TRUE(exited_with(finished.status, 1)) << finished.output;
    // With a loop, a far end's bytes come back into its own port; with a cable, the other's.
    const bool port1_reads_it = (c.wired == Wired::loops) == (c.harm.far_end == 1);
    const auto [from, to] = port1_reads_it ? std::pair{a4, a5} : std::pair{a5, a4};
    const std::vector<std::uint64_t> harmed = counts(finished, from, to);
    const std::vector<std::uint64_t> clean = counts(finished, to, from);
    EXPECT_EQ(std::vector(harmed.begin() + 1, harmed.end()), c.wrong_lost_extra) << finished.output;
    EXPECT_EQ(std::vector(clean.begin() + 1, clean.end()), (std::vector<std::uint64_t>{0, 0, 0}))
        << finished.output;
    // The ring went on: far more was checked than had passed when the harm was done.
    EXPECT_GT(harmed[0], 3 * c.harm.at) << finished.output;
    std::printf("-- %s:\n%s", c.what, finished.output.c_str());
  }
}

TEST_F(Check, TheStreamKeepsToWhatTheLineCarries) {
  {
    const Finished finished =
        run_wired(Wired::loops, {"check=on", "flowcontrol=software", "duration=1"});
    EXPECT_TRUE(exited_with(finished.status, 0)) << finished.output;
    EXPECT_FALSE(wires_->saw_flow_characters()) << "XON or XOFF in the stream";
  }
  {
    const Finished finished = run_wired(Wired::loops, {"check=on", "databits=7", "duration=1"});
    EXPECT_TRUE(exited_with(finished.status, 0)) << finished.output;
    EXPECT_EQ(wires_->bits_seen() & 0x80u, 0u) << "an 8th bit on a 7-bit line";
    EXPECT_GT(counts(finished, a4, a5)[0], 1000u);
  }
}

TEST_F(Check, ARunThatChecksNothingCannotPass) {
  const Finished finished = run_wired(Wired::loops, {"check=on", "duration=0"});
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.output;
  EXPECT_EQ(counts(finished, a4, a5), (std::vector<std::uint64_t>{0, 0, 0, 0}));
}

TEST_F(Check, APtyHasNoInternalLoopback) {
  const Finished finished = run_wired(Wired::nothing, {"check=internal", "duration=1"});
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.output;
  EXPECT_NE(finished.output.find(paths(a4, a5) + "ERROR /dev/tep/a4 has no internal loopback\n"
                                                 "ERROR /dev/tep/a5 has no internal loopback\n"),
            std::string::npos)
      << finished.output;
}

// A report asked for while the ports are set up or probed waits for the relays; the probes go
// on, and the run passes.
TEST_F(Check, AReportAskedForDuringTheProbesNeitherEndsNorSkipsThem) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    Program& looptest = start_wired(Wired::loops, {"check=on", "duration=1"});
    std::string output;
    ASSERT_TRUE(testbench::read_until(looptest.output, output, "tty2=/dev/tep/a5\n", patience_ms));
    ASSERT_EQ(kill(looptest.pid, SIGUSR1), 0);
    const Finished finished = wait_for_end(looptest);
    output += finished.output;
    EXPECT_TRUE(exited_with(finished.status, 0)) << output;
    EXPECT_NE(output.find("wiring: a loop on each port\n"), std::string::npos) << output;
  }
}

// Far ends that take a tenth of a second, and a stop just after a timed run has ended: the
// end's wait for what is still on its way round is cut short, and that is in flight, not lost.
TEST_F(Check, WhatAStopAtTheEndDidNotWaitForIsNotLost) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    Program& looptest = start_wired(Wired::loops, {"check=on", "duration=1"}, {}, 100);
    std::string output;
    ASSERT_TRUE(testbench::read_until(looptest.output, output, "wiring: a loop on each port\n",
                                      patience_ms));
    // The duration starts with the relays, which send the stream on at once.
    const auto probed = wires_->passed(1);
    while (wires_->passed(1) == probed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1010 + 5 * attempt));
    ASSERT_EQ(kill(looptest.pid, SIGINT), 0);
    const Finished finished = wait_for_end(looptest);
    EXPECT_TRUE(exited_with(finished.status, 0) || ended_by(finished.status, SIGINT))
        << finished.status << "\n"
        << finished.output;
    for (const auto& [from, to] : {std::pair{a4, a5}, std::pair{a5, a4}}) {
      const std::vector<std::uint64_t> check = counts(finished, from, to);
      EXPECT_GT(check[0], 0u) << finished.output;
      EXPECT_EQ(std::vector(check.begin() + 1, check.end()), (std::vector<std::uint64_t>{0, 0, 0}))
          << finished.output;
    }
  }
}

// Where the stream did not come round, neither relay runs: what arrives is not sent round
// the plug, and the run waits for its end, and fails.
TEST_F(Check, AFailedProbeLeavesTheRelaysIdle) {
  Program& looptest = start_wired(Wired::loop_on_first, {"check=on", "duration=1"});
  std::string output;
  ASSERT_TRUE(testbench::read_until(
      looptest.output, output, "ERROR nothing sent out of /dev/tep/a5 came back\n", patience_ms));
  const std::uint64_t probed = wires_->passed(1);
  ASSERT_EQ(write(a5_->master(), "stray", 5), 5);
  const Finished finished = wait_for_end(looptest);
  EXPECT_TRUE(exited_with(finished.status, 1)) << finished.output;
  EXPECT_EQ(wires_->passed(1), probed) << "relayed round port 1's plug";
  EXPECT_EQ(finished.output.find("ERROR"), std::string::npos)
      << "no held lines: " << finished.output;
}

}  // namespace
}  // namespace e2e
