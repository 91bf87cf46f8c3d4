#include "driver/report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <tuple>

#include "driver/messages.h"
#include "driver/result_file.h"
#include "system/clock.h"

namespace looptest {

namespace {

void append_summary(TextLine& line, const PortPath& from, const PortPath& to,
                    const DirectionTotals& totals) {
  append(line, "%s -> %s: %llu bytes, %llu read errors, %llu write errors", from.data(), to.data(),
         static_cast<unsigned long long>(totals.bytes),
         static_cast<unsigned long long>(totals.read_errors),
         static_cast<unsigned long long>(totals.write_errors));
  if (const std::optional<LineErrors>& errors = totals.line_errors) {
    append(line, ", %u frame errors, %u overruns, %u parity errors, %u breaks, %u buffer overruns",
           errors->frame, errors->overrun, errors->parity, errors->breaks, errors->buffer_overrun);
  }
  if (totals.undelivered != 0) {
    append(line, ", %llu bytes not delivered", static_cast<unsigned long long>(totals.undelivered));
  }
  if (const std::optional<CheckCounts>& check = totals.check) {
    append(line, ", %llu bytes checked, %llu wrong, %llu lost, %llu extra",
           static_cast<unsigned long long>(check->checked),
           static_cast<unsigned long long>(check->wrong),
           static_cast<unsigned long long>(check->lost),
           static_cast<unsigned long long>(check->extra));
  }
}

}  // namespace

SummaryLine summary_line(const PortPath& from, const PortPath& to, const DirectionTotals& totals) {
  TextLine line;
  append_summary(line, from, to, totals);
  return line;
}

SummaryLine progress_line(std::int64_t seconds, const PortPath& from, const PortPath& to,
                          const DirectionTotals& totals, std::uint64_t rate) {
  TextLine line = text_line("progress %lld s: ", static_cast<long long>(seconds));
  append_summary(line, from, to, totals);
  append(line, ", %llu bytes/s", static_cast<unsigned long long>(rate));
  return line;
}

SummaryLine checked_rate_line(const PortPath& from, const PortPath& to, std::uint64_t checked,
                              std::int64_t relayed_ms, std::int32_t characters_per_second) {
  const auto milliseconds = static_cast<std::uint64_t>(std::max<std::int64_t>(1, relayed_ms));
  const std::uint64_t rate = checked * 1000 / milliseconds;
  const std::uint64_t most = static_cast<std::uint64_t>(std::max(1, characters_per_second));
  return text_line("%s -> %s: %llu bytes/s checked, %llu %% of the line's %llu characters/s",
                   from.data(), to.data(), static_cast<unsigned long long>(rate),
                   static_cast<unsigned long long>(rate * 100 / most),
                   static_cast<unsigned long long>(most));
}

void print_summaries(const Ports& ports, const DirectionTotals& forward,
                     const DirectionTotals& backward) {
  const PortPath& path1 = *ports.port1.path;
  const PortPath& path2 = *ports.port2.path;
  print_message("%s\n", summary_line(path1, path2, forward).data());
  print_message("%s\n", summary_line(path2, path1, backward).data());
}

void print_progress(ProgressMark& mark, timespec started, const Ports& ports,
                    const DirectionTotals& forward, const DirectionTotals& backward) {
  const timespec now = monotonic_now();
  const auto elapsed_ms =
      static_cast<std::uint64_t>(std::max<std::int64_t>(1, milliseconds_between(mark.at, now)));
  const auto rate = [elapsed_ms](std::uint64_t bytes, std::uint64_t before) {
    return (bytes - before) * 1000 / elapsed_ms;
  };
  const std::int64_t seconds = rounded_seconds_between(started, now);
  const PortPath& path1 = *ports.port1.path;
  const PortPath& path2 = *ports.port2.path;
  print_message(
      "%s\n",
      progress_line(seconds, path1, path2, forward, rate(forward.bytes, mark.forward)).data());
  print_message(
      "%s\n",
      progress_line(seconds, path2, path1, backward, rate(backward.bytes, mark.backward)).data());
  mark = {now, forward.bytes, backward.bytes};
}

namespace {

// The end's lines, each waiting for the output until the deadline or a stop.
struct EndLines {
  EndWaits& end;
  timespec deadline;
  bool all_written = true;
};

[[gnu::format(printf, 2, 3)]] void print_end_line(EndLines& lines, const char* format, ...) {
  TextLine line;
  va_list arguments;
  va_start(arguments, format);
  append_v(line, format, arguments);
  va_end(arguments);
  result_printed(line.view());
  std::span<const char> left(line.data(), line.length);
  for (;;) {
    // Once the end is hurried, or a line could not be written, the rest only try once.
    const bool wait = !lines.end.hurried && lines.all_written;
    const Printed printed =
        print_line_waiting(left, wait ? lines.deadline : monotonic_now(), lines.end.signals);
    if (printed == Printed::whole) return;
    if (printed == Printed::timed_out) break;
    take_signals_at_end(lines.end);  // a signal that is no stop (SIGUSR1) lets it wait on
    if (lines.end.hurried) break;
  }
  lines.all_written = false;
}

}  // namespace

bool print_end(const Ports& ports, const EndFacts& facts, const Verdict& verdict,
               std::uint64_t dropped_lines, const char* second_reason, EndWaits& end) {
  EndLines lines{end, later_by(monotonic_now(), end_lines_milliseconds)};
  const PortPath& path1 = *ports.port1.path;
  const PortPath& path2 = *ports.port2.path;
  if (facts.second_missing) {
    print_end_line(lines, "ERROR relay %s -> %s never started%s\n", path2.data(), path1.data(),
                   second_reason);
  }
  if (facts.second_killed) {
    print_end_line(lines, "ERROR relay %s -> %s killed at the end\n", path2.data(), path1.data());
  }
  if (verdict.forward_held) {
    print_end_line(lines, "ERROR %s -> %s held at the end\n", path1.data(), path2.data());
  }
  if (verdict.backward_held) {
    print_end_line(lines, "ERROR %s -> %s held at the end\n", path2.data(), path1.data());
  }
  if (dropped_lines > 0) {
    print_end_line(lines, "%llu lines of output dropped\n",
                   static_cast<unsigned long long>(dropped_lines));
  }
  const std::array directions{std::tuple{&path1, &path2, &facts.forward.totals},
                              std::tuple{&path2, &path1, &facts.backward.totals}};
  if (facts.checking) {
    for (const auto& [from, to, totals] : directions) {
      const std::uint64_t checked = totals->check ? totals->check->checked : 0;
      print_end_line(
          lines, "%s\n",
          checked_rate_line(*from, *to, checked, facts.relayed_ms, facts.characters_per_second)
              .data());
    }
  }
  for (const auto& [from, to, totals] : directions) {
    print_end_line(lines, "%s\n", summary_line(*from, *to, *totals).data());
  }
  return lines.all_written;
}

}  // namespace looptest
