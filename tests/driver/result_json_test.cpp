#include "driver/result_json.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/result_end_json.h"
#include "driver/result_file.h"
#include "settings/port_names.h"

namespace looptest {
namespace {

bool has(const JsonLine& line, std::string_view text) {
  return line.view().find(text) != std::string_view::npos;
}

// The verdict word and the exit status of every ending, as the end object gives them.
TEST(EndObject, GivesEachEndingItsVerdictExitStatusAndReasons) {
  const DirectionTotals clean{.bytes = 100, .line_errors = std::nullopt};
  const EndFacts passing{.forward = {clean, {}, 0}, .backward = {clean, {}, 0}};
  const auto with = [](EndFacts facts, auto change) {
    change(facts);
    return facts;
  };
  const struct {
    EndFacts facts;
    std::string_view expected;
  } cases[] = {
      {passing, R"("verdict":"pass","exit_status":0,"seconds":0.000,"reasons":[],)"},
      {with(passing, [](EndFacts& f) { f.second_lost = true; }),
       R"("verdict":"fail","exit_status":1,"seconds":0.000,"reasons":["second-relay"],)"},
      {with(passing, [](EndFacts& f) { f.opened = false; }),
       R"("verdict":"fail","exit_status":255,"seconds":0.000,"reasons":["not-opened"],)"},
      {with(passing,
            [](EndFacts& f) {
              f.stop = 15;
              f.relayed_ms = 2500;
            }),
       R"("verdict":"stopped","exit_status":143,"signal":15,"seconds":2.500,"reasons":[],)"},
      {with(passing,
            [](EndFacts& f) {
              f.stop = 2;
              f.port_lost = true;
            }),
       R"("verdict":"stopped","exit_status":130,"signal":2,"seconds":0.000,"reasons":["lost-port"],)"},
  };
  for (const auto& c : cases) {
    const JsonLine line = end_object({.facts = &c.facts,
                                      .verdict = judge(c.facts),
                                      .forward = {"/dev/tep/a4", "/dev/tep/a5", clean},
                                      .backward = {"/dev/tep/a5", "/dev/tep/a4", clean},
                                      .error_lines = {}});
    EXPECT_TRUE(has(line, c.expected)) << line.view();
    EXPECT_EQ(has(line, R"("from":"/dev/tep/a4")"), c.facts.opened) << line.view();
  }
}

// The largest end there can be fits its line: every counter, the check, the system's reason,
// and the ERROR lines kept, each of the longest text escaped at its worst.
TEST(EndObject, TheLargestEndFitsItsLine) {
  const std::string worst(text_line_size - 1, '\x01');
  std::array<std::string_view, kept_error_lines> errors{};
  errors.fill(worst);
  const std::string path(std::tuple_size_v<PortPath> - 1, '\x01');
  const DirectionTotals most{
      .bytes = UINT64_MAX,
      .read_errors = UINT64_MAX,
      .write_errors = UINT64_MAX,
      .line_errors = LineErrors{UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX},
      .undelivered = UINT64_MAX,
      .check = CheckCounts{UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX}};
  EndFacts facts{.forward = {most, {}, INT64_MAX},
                 .backward = {most, {}, INT64_MAX},
                 .second_killed = true,
                 .configured = false,
                 .port_lost = true,
                 .checking = true,
                 .wiring_failed = true,
                 .relayed_ms = INT64_MAX,
                 .characters_per_second = INT32_MAX,
                 .stop = 64,
                 .told = false};
  const JsonLine line = end_object({.facts = &facts,
                                    .verdict = judge(facts),
                                    .forward = {path, path, most, 1},
                                    .backward = {path, path, most, 1},
                                    .error_lines = errors,
                                    .error_count = UINT64_MAX,
                                    .dropped_lines = UINT64_MAX});
  EXPECT_FALSE(line.cut);
  EXPECT_FALSE(error_object(worst, true).cut);
}

}  // namespace
}  // namespace looptest
