#include "driver/verdict.h"

#include <gtest/gtest.h>

#include <string>

namespace looptest {
namespace {

TEST(HasErrors, AnyErrorOfAnyKindCounts) {
  EXPECT_TRUE(has_errors({0, 1, 0, std::nullopt}));
  EXPECT_TRUE(has_errors({0, 0, 1, std::nullopt}));
  for (std::uint32_t LineErrors::*counter :
       {&LineErrors::frame, &LineErrors::overrun, &LineErrors::parity, &LineErrors::breaks,
        &LineErrors::buffer_overrun}) {
    LineErrors errors;
    errors.*counter = 1;
    EXPECT_TRUE(has_errors({5, 0, 0, errors}));
  }
}

TEST(HeldAtEnd, AUartIsHeldWhenItsTransmitterStandsStillWithBytesForIt) {
  const DirectionTotals delivered{.bytes = 100, .line_errors = std::nullopt};
  const DirectionTotals short_of_10{.bytes = 90, .line_errors = std::nullopt, .undelivered = 10};
  // Queued behind XOFF or a driver's own CTS check: the transmitter is empty.
  EXPECT_TRUE(held_at_end(short_of_10, {.discarded = 10, .transmitter_empty = true}, 0));
  // A slow line: its transmitter was busy when the rest of the queue was thrown away.
  EXPECT_FALSE(held_at_end(short_of_10, {.discarded = 10, .transmitter_empty = false}, 5000));
  // Held in the UART's own FIFO by its CTS: nothing queued, so nothing counted as undelivered,
  // but the transmitter never emptied.
  EXPECT_TRUE(held_at_end(delivered, {.transmitter_empty = false, .transmitter_stalled = true}, 0));
  EXPECT_TRUE(held_at_end(
      short_of_10, {.discarded = 10, .transmitter_empty = false, .transmitter_stalled = true}, 0));
  EXPECT_FALSE(held_at_end(delivered, {.transmitter_empty = true}, 0));
}

TEST(HeldAtEnd, ElsewhereItIsHeldWhenItsOutputTookNothingForTwoSeconds) {
  const DirectionTotals short_of_10{.bytes = 90, .line_errors = std::nullopt, .undelivered = 10};
  EXPECT_TRUE(held_at_end(short_of_10, {}, held_milliseconds));
  EXPECT_FALSE(held_at_end(short_of_10, {}, held_milliseconds - 1));
  EXPECT_FALSE(held_at_end({.bytes = 100, .line_errors = std::nullopt}, {}, held_milliseconds));
}

TEST(HasErrors, UndeliveredBytesAloneAreNoErrorAsTheLineMayBeSlow) {
  EXPECT_FALSE(has_errors({.bytes = 5, .line_errors = LineErrors{}, .undelivered = 4095}));
}

// One fact changed at a time from a run that passes: each must fail it, and only its own line
// of the verdict says why.
TEST(Judge, EachFactThatFailsARunFailsItAlone) {
  const DirectionTotals clean{.bytes = 100, .line_errors = std::nullopt};
  const DirectionTotals short_of_10{.bytes = 90, .line_errors = std::nullopt, .undelivered = 10};
  const DirectionTotals read_error{.bytes = 100, .read_errors = 1, .line_errors = std::nullopt};
  const DirectionTotals line_error{.bytes = 100, .line_errors = LineErrors{.breaks = 1}};
  const EndFacts passing{.forward = {clean, {}, 0}, .backward = {clean, {}, 0}};
  struct Case {
    std::string what;
    EndFacts facts;
    Verdict expected;
  };
  const auto with = [&](auto change) {
    EndFacts facts = passing;
    change(facts);
    return facts;
  };
  const Case cases[] = {
      {"a run that passes", passing, {}},
      {"a read error forward",
       with([&](EndFacts& f) { f.forward.totals = read_error; }),
       {.failed = true}},
      {"a line error backward",
       with([&](EndFacts& f) { f.backward.totals = line_error; }),
       {.failed = true}},
      {"forward held two seconds",
       with([&](EndFacts& f) {
         f.forward = {short_of_10, {}, held_milliseconds};
       }),
       {.forward_held = true, .failed = true}},
      {"backward waiting, not yet held",
       with([&](EndFacts& f) {
         f.backward = {short_of_10, {}, held_milliseconds - 1};
       }),
       {}},
      {"backward held by a UART's CTS",
       with([&](EndFacts& f) { f.backward.output.transmitter_stalled = true; }),
       {.backward_held = true, .failed = true}},
      {"bytes wait at the backward input, its relay moving nothing for two seconds",
       with([](EndFacts& f) { f.backward.input = {.unread = 400, .idle_ms = held_milliseconds}; }),
       {.backward_held = true, .failed = true}},
      {"bytes just arrived at the forward input, its relay busy",
       with([](EndFacts& f) { f.forward.input = {.unread = 400, .idle_ms = 100}; }),
       {}},
      {"bytes wait at the forward input while its relay waits for its output",
       with([](EndFacts& f) {
         f.forward.input = {.unread = 400, .idle_ms = 5000, .waiting_for_output = true};
       }),
       {}},
      {"the second relay never started, bytes waiting for it",
       with([](EndFacts& f) {
         f.second_missing = true;
         f.backward.input = {.unread = 7, .idle_ms = 5000};
       }),
       {.failed = true}},
      {"a port still lost, bytes waiting for it",
       with([](EndFacts& f) {
         f.port_lost = f.lost_at_end = true;
         f.forward.input = {.unread = 7, .idle_ms = 5000};
       }),
       {.failed = true}},
      {"the second relay had to be killed",
       with([](EndFacts& f) { f.second_killed = true; }),
       {.failed = true}},
      {"the second relay never started",
       with([](EndFacts& f) { f.second_missing = true; }),
       {.failed = true}},
      {"the second relay ended on its own",
       with([](EndFacts& f) { f.second_lost = true; }),
       {.failed = true}},
      {"a port refused the settings",
       with([](EndFacts& f) { f.configured = false; }),
       {.failed = true}},
      {"a port was lost and came back",
       with([](EndFacts& f) { f.port_lost = true; }),
       {.failed = true}},
  };
  for (const Case& c : cases) {
    const Verdict verdict = judge(c.facts);
    EXPECT_EQ(verdict.failed, c.expected.failed) << c.what;
    EXPECT_EQ(verdict.forward_held, c.expected.forward_held) << c.what;
    EXPECT_EQ(verdict.backward_held, c.expected.backward_held) << c.what;
  }
}

std::string words_of(const FailReasons& found) {
  std::string words;
  for (std::size_t i = 0; i < found.count; ++i) {
    words += (words.empty() ? "" : " ") + std::string(fail_reason_word(found.reasons[i]));
  }
  return words;
}

// Each way to fail names its reason, and only a run that does not pass has any: the reasons
// and the exit status never disagree.
TEST(FailReasons, NameWhatFailedTheRunAndNothingForAPass) {
  const DirectionTotals clean{.bytes = 100, .line_errors = std::nullopt};
  const DirectionTotals checked{
      .bytes = 100, .line_errors = std::nullopt, .check = CheckCounts{100}};
  const EndFacts passing{.forward = {clean, {}, 0}, .backward = {clean, {}, 0}};
  const EndFacts checking{
      .forward = {checked, {}, 0}, .backward = {checked, {}, 0}, .checking = true};
  const auto with = [](EndFacts facts, auto change) {
    change(facts);
    return facts;
  };
  const struct {
    EndFacts facts;
    std::string words;
  } cases[] = {
      {passing, ""},
      {checking, ""},
      {with(passing, [](EndFacts& f) { f.stop = 15; }), ""},
      {with(passing, [](EndFacts& f) { f.opened = false; }), "not-opened"},
      {with(passing, [](EndFacts& f) { f.backward.totals.write_errors = 1; }), "errors"},
      {with(passing,
            [](EndFacts& f) {
              f.forward.totals.undelivered = 10;
              f.forward.waited_ms = held_milliseconds;
            }),
       "held not-delivered"},
      {with(passing, [](EndFacts& f) { f.forward.totals.undelivered = 10; }), ""},
      {with(passing, [](EndFacts& f) { f.second_killed = true; }), "second-relay"},
      {with(passing, [](EndFacts& f) { f.configured = false; }), "not-configured"},
      {with(passing,
            [](EndFacts& f) {
              f.port_lost = true;
              f.stop = 2;
            }),
       "lost-port"},
      {with(checking,
            [](EndFacts& f) {
              f.wiring_failed = true;
              f.forward.totals.check = CheckCounts{};
            }),
       "no-wiring no-check"},
      {with(checking, [](EndFacts& f) { f.backward.totals.check->lost = 3; }), "wrong-bytes"},
      {with(passing, [](EndFacts& f) { f.checking = true; }), "no-check"},
      {with(passing, [](EndFacts& f) { f.told = false; }), "unread-verdict"},
  };
  for (const auto& c : cases) {
    const Verdict verdict = judge(c.facts);
    const FailReasons found = fail_reasons(c.facts, verdict);
    EXPECT_EQ(words_of(found), c.words);
    EXPECT_EQ(found.count > 0, verdict.exit_status != 0) << c.words;
  }
}

}  // namespace
}  // namespace looptest
