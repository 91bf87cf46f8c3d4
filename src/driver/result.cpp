#include "driver/result.h"

#include <ctime>

#include "driver/result_end_json.h"
#include "driver/result_file.h"
#include "driver/result_json.h"
#include "driver/totals.h"
#include "system/clock.h"

namespace looptest {

namespace {

DirectionResult direction_result(const PortPath& from, const PortPath& to,
                                 const DirectionTotals& totals, const DirectionCounts& counts) {
  return {from.data(), to.data(), totals, counts.last_error.load(std::memory_order_relaxed)};
}

}  // namespace

Failure start_result(const PortPath& port1, const PortPath& port2, const LineSettings& settings) {
  if (settings.result.path[0] == '\0') return {};
  if (settings.result.too_long) return {"open", ENAMETOOLONG};
  if (const Failure failure = open_result_file(settings.result.path.data())) return failure;
  write_result_line(
      start_object(LOOPTEST_VERSION, std::time(nullptr), port1.data(), port2.data(), settings));
  return {};
}

void result_progress(std::string_view cause, timespec started, const Ports& ports,
                     const SharedCounts& counts, bool checking) {
  if (!result_open()) return;
  const PortPath& path1 = *ports.port1.path;
  const PortPath& path2 = *ports.port2.path;
  write_result_line(progress_object(
      cause, milliseconds_between(started, monotonic_now()),
      direction_result(path1, path2, totals_so_far(counts.forward, ports.port1, checking),
                       counts.forward),
      direction_result(path2, path1, totals_so_far(counts.backward, ports.port2, checking),
                       counts.backward)));
}

void end_result(const EndFacts& facts, const Verdict& verdict, const Ports* ports,
                const SharedCounts* counts) {
  if (!result_open()) return;
  const KeptErrors kept = kept_errors();
  EndResult end{.facts = &facts,
                .verdict = verdict,
                .forward = {},
                .backward = {},
                .error_lines = std::span(kept.lines).first(kept.kept),
                .error_count = kept.all};
  if (ports != nullptr && counts != nullptr) {
    const PortPath& path1 = *ports->port1.path;
    const PortPath& path2 = *ports->port2.path;
    end.forward = direction_result(path1, path2, facts.forward.totals, counts->forward);
    end.backward = direction_result(path2, path1, facts.backward.totals, counts->backward);
    end.dropped_lines = counts->dropped_lines.load(std::memory_order_relaxed);
  }
  write_result_line(end_object(end));
  close_result_file();  // a line that did not go out leaves no end: no pass
}

}  // namespace looptest
