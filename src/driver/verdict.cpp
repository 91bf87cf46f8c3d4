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

namespace {

bool any_wrong(const DirectionTotals& totals) {
  const std::optional<CheckCounts>& check = totals.check;
  return check && (check->wrong != 0 || check->lost != 0 || check->extra != 0);
}

bool none_checked(const DirectionTotals& totals) {
  return !totals.check || totals.check->checked == 0;
}

}  // namespace

FailReasons fail_reasons(const EndFacts& facts, const Verdict& verdict) {
  FailReasons found;
  const auto add_if = [&found](bool happened, FailReason reason) {
    if (happened) found.reasons[found.count++] = reason;
  };
  const DirectionTotals& forward = facts.forward.totals;
  const DirectionTotals& backward = facts.backward.totals;
  add_if(!facts.opened, FailReason::not_opened);
  if (!facts.opened) return found;  // nothing else was found
  add_if(has_errors(forward) || has_errors(backward), FailReason::errors);
  add_if(verdict.forward_held || verdict.backward_held, FailReason::held);
  add_if(facts.second_missing || facts.second_lost || facts.second_killed,
         FailReason::second_relay);
  add_if(!facts.configured, FailReason::not_configured);
  add_if(facts.port_lost, FailReason::lost_port);
  add_if(facts.checking && facts.wiring_failed, FailReason::no_wiring);
  add_if(facts.checking && (any_wrong(forward) || any_wrong(backward)), FailReason::wrong_bytes);
  add_if(facts.checking && (none_checked(forward) || none_checked(backward)), FailReason::no_check);
  add_if(!facts.told, FailReason::unread_verdict);
  // Bytes left behind are no fault of their own (a stop leaves the block in hand), only a
  // detail of one.
  add_if(found.count > 0 && (forward.undelivered != 0 || backward.undelivered != 0),
         FailReason::not_delivered);
  return found;
}

std::string_view fail_reason_word(FailReason reason) {
  switch (reason) {
    case FailReason::not_opened:
      return "not-opened";
    case FailReason::errors:
      return "errors";
    case FailReason::held:
      return "held";
    case FailReason::second_relay:
      return "second-relay";
    case FailReason::not_configured:
      return "not-configured";
    case FailReason::lost_port:
      return "lost-port";
    case FailReason::no_wiring:
      return "no-wiring";
    case FailReason::wrong_bytes:
      return "wrong-bytes";
    case FailReason::no_check:
      return "no-check";
    case FailReason::unread_verdict:
      return "unread-verdict";
    case FailReason::not_delivered:
      return "not-delivered";
  }
  return "unknown";
}

}  // namespace looptest
