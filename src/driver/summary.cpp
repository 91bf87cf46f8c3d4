#include "driver/summary.h"

#include <array>

namespace looptest {

bool has_errors(const DirectionTotals& totals) {
  return totals.read_errors != 0 || totals.write_errors != 0 ||
         (totals.line_errors && total_line_errors(*totals.line_errors) != 0);
}

void write_summary(std::FILE* out, const PortPath& from, const PortPath& to,
                   const DirectionTotals& totals) {
  // Built whole first: the other relay process may print on the same output at any time.
  std::array<char, 384> line{};  // the longest line is under 300
  int length = std::snprintf(line.data(), line.size(),
                             "%s -> %s: %llu bytes, %llu read errors, "
                             "%llu write errors",
                             from.data(), to.data(), static_cast<unsigned long long>(totals.bytes),
                             static_cast<unsigned long long>(totals.read_errors),
                             static_cast<unsigned long long>(totals.write_errors));
  if (const std::optional<LineErrors>& errors = totals.line_errors) {
    length += std::snprintf(line.data() + length, line.size() - static_cast<std::size_t>(length),
                            ", %u frame errors, %u overruns, %u parity errors, %u breaks, "
                            "%u buffer overruns",
                            errors->frame, errors->overrun, errors->parity, errors->breaks,
                            errors->buffer_overrun);
  }
  line[static_cast<std::size_t>(length)] = '\n';
  std::fwrite(line.data(), 1, static_cast<std::size_t>(length) + 1, out);
}

}  // namespace looptest
