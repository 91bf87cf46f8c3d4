#include "driver/verdict.h"

namespace looptest {

bool has_errors(const DirectionTotals& totals) {
  return totals.read_errors != 0 || totals.write_errors != 0 ||
         (totals.line_errors && total_line_errors(*totals.line_errors) != 0);
}

bool held_at_end(const DirectionTotals& totals, const OutputAtEnd& output, std::int64_t waited_ms) {
  if (output.transmitter_stalled) return true;
  if (totals.undelivered == 0) return false;
  // At a low rate a UART's queue drains for many seconds between writes, which is no hold.
  if (output.transmitter_empty) return *output.transmitter_empty && output.discarded > 0;
  return waited_ms >= held_milliseconds;
}

Verdict judge(const EndFacts& facts) {
  Verdict verdict{.forward_held = held_at_end(facts.forward.totals, facts.forward.output,
                                              facts.forward.waited_ms),
                  .backward_held = held_at_end(facts.backward.totals, facts.backward.output,
                                               facts.backward.waited_ms)};
  // A port that never had the line settings makes the test worthless however the bytes went.
  verdict.failed = has_errors(facts.forward.totals) || has_errors(facts.backward.totals) ||
                   verdict.forward_held || verdict.backward_held || facts.second_missing ||
                   facts.second_lost || !facts.configured || facts.port_lost;
  return verdict;
}

}  // namespace looptest
