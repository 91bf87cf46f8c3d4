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

bool check_passed(const DirectionTotals& totals) {
  const std::optional<CheckCounts>& check = totals.check;
  return check && check->checked > 0 && check->wrong == 0 && check->lost == 0 && check->extra == 0;
}

bool input_held_at_end(const DirectionAtEnd& direction) {
  return direction.input.unread > 0 && direction.input.idle_ms >= held_milliseconds &&
         !direction.input.waiting_for_output;
}

namespace {

bool held(const DirectionAtEnd& direction, bool relayed_to_the_end) {
  return held_at_end(direction.totals, direction.output, direction.waited_ms) ||
         (relayed_to_the_end && input_held_at_end(direction));
}

}  // namespace

Verdict judge(const EndFacts& facts) {
  if (!facts.opened) return {.failed = true, .exit_status = 255};
  const bool relayed = facts.relays_ran && !facts.lost_at_end;
  const bool second_relayed = relayed && !facts.second_missing && !facts.second_lost;
  Verdict verdict{.forward_held = held(facts.forward, relayed),
                  .backward_held = held(facts.backward, second_relayed)};
  // A port that never had the line settings makes the test worthless however the bytes went.
  verdict.failed = has_errors(facts.forward.totals) || has_errors(facts.backward.totals) ||
                   verdict.forward_held || verdict.backward_held || facts.second_missing ||
                   facts.second_lost || facts.second_killed || !facts.configured || facts.port_lost;
  if (facts.checking) {
    verdict.failed = verdict.failed || facts.wiring_failed || !check_passed(facts.forward.totals) ||
                     !check_passed(facts.backward.totals);
  }
  verdict.exit_status = verdict.failed || !facts.told ? 1 : 0;
  verdict.end_signal = facts.stop;
  return verdict;
}

}  // namespace looptest
