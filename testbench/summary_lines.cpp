#include "summary_lines.h"

#include <charconv>
#include <sstream>

namespace testbench {

namespace {

// Takes a decimal number off the front of text.
template <typename Number>
std::optional<Number> take_number(std::string_view& text) {
  Number number{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc{} || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return number;
}

bool take(std::string_view& text, std::string_view expected) {
  if (!text.starts_with(expected)) return false;
  text.remove_prefix(expected.size());
  return true;
}

// Takes the text up to separator, and the separator.
std::optional<std::string> take_until(std::string_view& text, std::string_view separator) {
  const std::size_t at = text.find(separator);
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  std::string taken(text.substr(0, at));
  text.remove_prefix(at + separator.size());
  return taken;
}

// One ", N name" field into summary; false for a name no line has.
bool read_field(std::uint64_t value, std::string_view name, Summary& summary) {
  static constexpr std::string_view line_error_names[] = {
      "frame errors", "overruns", "parity errors", "breaks", "buffer overruns"};
  static constexpr std::string_view check_names[] = {"bytes checked", "wrong", "lost", "extra"};
  if (name == "read errors") {
    summary.read_errors = value;
  } else if (name == "write errors") {
    summary.write_errors = value;
  } else if (name == "bytes not delivered") {
    summary.not_delivered = value;
  } else if (name == "bytes/s" && summary.progress_seconds) {
    summary.rate = value;
  } else if (const std::size_t checks = summary.check ? summary.check->size() : 0;
             checks < std::size(check_names) && name == check_names[checks]) {
    if (!summary.check) summary.check.emplace();
    summary.check->push_back(value);
  } else {
    const std::size_t next = summary.line_errors ? summary.line_errors->size() : 0;
    if (next >= std::size(line_error_names) || name != line_error_names[next]) return false;
    if (!summary.line_errors) summary.line_errors.emplace();
    summary.line_errors->push_back(value);
  }
  return true;
}

}  // namespace

std::optional<Summary> read_summary(std::string_view line) {
  Summary summary;
  if (take(line, "progress ")) {
    summary.progress_seconds = take_number<std::int64_t>(line);
    if (!summary.progress_seconds || !take(line, " s: ")) return std::nullopt;
  }
  std::optional<std::string> from = take_until(line, " -> ");
  std::optional<std::string> to = take_until(line, ": ");
  if (!from || !to || from->find(' ') != std::string::npos) return std::nullopt;
  summary.from = std::move(*from);
  summary.to = std::move(*to);
  const std::optional<std::uint64_t> bytes = take_number<std::uint64_t>(line);
  if (!bytes || !take(line, " bytes")) return std::nullopt;
  summary.bytes = *bytes;
  while (take(line, ", ")) {
    const std::optional<std::uint64_t> value = take_number<std::uint64_t>(line);
    if (!value || !take(line, " ")) return std::nullopt;
    const std::size_t end = line.find(", ");
    const std::string_view name = line.substr(0, end);
    if (!read_field(*value, name, summary)) return std::nullopt;
    line.remove_prefix(name.size());
  }
  const bool whole = (summary.line_errors ? summary.line_errors->size() == 5 : true) &&
                     (summary.check ? summary.check->size() == 4 : true);
  if (!line.empty() || !whole || (summary.progress_seconds && !summary.rate)) return std::nullopt;
  return summary;
}

std::vector<Summary> summaries_in(const std::string& output) {
  std::vector<Summary> found;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (std::optional<Summary> summary = read_summary(line)) found.push_back(std::move(*summary));
  }
  return found;
}

std::optional<Summary> summary_of(const std::string& output, std::string_view from,
                                  std::string_view to) {
  std::optional<Summary> last;
  for (const Summary& summary : summaries_in(output)) {
    if (!summary.progress_seconds && summary.from == from && summary.to == to) last = summary;
  }
  return last;
}

}  // namespace testbench
