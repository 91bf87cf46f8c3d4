#include "driver/result_end_json.h"

#include <algorithm>
#include <cstring>

#include "driver/result_json.h"

namespace looptest {

namespace {

// relayed_ms and characters_per_second give the checked rate; 0, none is written.
void add_direction(JsonLine& line, const DirectionResult& direction, std::int64_t relayed_ms,
                   std::int32_t characters_per_second) {
  const DirectionTotals& totals = direction.totals;
  open_object(line);
  add_string(line, "from", direction.from);
  add_string(line, "to", direction.to);
  add_unsigned(line, "bytes", totals.bytes);
  add_unsigned(line, "read_errors", totals.read_errors);
  add_unsigned(line, "write_errors", totals.write_errors);
  if (const std::optional<LineErrors>& errors = totals.line_errors) {
    add_unsigned(line, "frame_errors", errors->frame);
    add_unsigned(line, "overruns", errors->overrun);
    add_unsigned(line, "parity_errors", errors->parity);
    add_unsigned(line, "breaks", errors->breaks);
    add_unsigned(line, "buffer_overruns", errors->buffer_overrun);
  }
  add_unsigned(line, "not_delivered", totals.undelivered);
  if (direction.last_error != 0) add_string(line, "reason", std::strerror(direction.last_error));
  if (const std::optional<CheckCounts>& check = totals.check) {
    add_unsigned(line, "checked", check->checked);
    add_unsigned(line, "wrong", check->wrong);
    add_unsigned(line, "lost", check->lost);
    add_unsigned(line, "extra", check->extra);
    if (characters_per_second > 0) {
      // As the end's text gives it: per second over the time the relays ran.
      const auto milliseconds = static_cast<std::uint64_t>(std::max<std::int64_t>(1, relayed_ms));
      add_unsigned(line, "checked_bytes_per_second", check->checked * 1000 / milliseconds);
      add_number(line, "line_characters_per_second", characters_per_second);
    }
  }
  close_object(line);
}

std::string_view verdict_word(const Verdict& verdict) {
  if (verdict.end_signal != 0) return "stopped";
  return verdict.exit_status == 0 ? "pass" : "fail";
}

}  // namespace

JsonLine progress_object(std::string_view cause, std::int64_t relayed_ms,
                         const DirectionResult& forward, const DirectionResult& backward) {
  JsonLine line = object_of("progress");
  add_string(line, "cause", cause);
  add_thousandths(line, "seconds", relayed_ms);
  open_array(line, "directions");
  add_direction(line, forward, 0, 0);
  add_direction(line, backward, 0, 0);
  close_array(line);
  end_line(line);
  return line;
}

int exit_status_of(const Verdict& verdict) {
  return verdict.end_signal != 0 ? 128 + verdict.end_signal : verdict.exit_status;
}

JsonLine end_object(const EndResult& end) {
  const EndFacts& facts = *end.facts;
  JsonLine line = object_of("end");
  add_string(line, "verdict", verdict_word(end.verdict));
  add_number(line, "exit_status", exit_status_of(end.verdict));
  if (end.verdict.end_signal != 0) add_number(line, "signal", end.verdict.end_signal);
  add_thousandths(line, "seconds", facts.relayed_ms);
  const FailReasons found = fail_reasons(facts, end.verdict);
  open_array(line, "reasons");
  for (std::size_t i = 0; i < found.count; ++i) {
    add_string(line, {}, fail_reason_word(found.reasons[i]));
  }
  close_array(line);
  open_array(line, "errors");
  for (const std::string_view text : end.error_lines) add_string(line, {}, text);
  close_array(line);
  add_unsigned(line, "error_lines", end.error_count);
  add_unsigned(line, "dropped_lines", end.dropped_lines);
  open_array(line, "directions");
  if (facts.opened) {
    const std::int32_t most = facts.checking ? std::max(1, facts.characters_per_second) : 0;
    add_direction(line, end.forward, facts.relayed_ms, most);
    add_direction(line, end.backward, facts.relayed_ms, most);
  }
  close_array(line);
  end_line(line);
  return line;
}

}  // namespace looptest
