#include "settings/settings.h"

#include <array>
#include <utility>

namespace looptest {

namespace {

constexpr std::array<std::pair<Parity, std::string_view>, 5> parity_keywords{{
    {Parity::none, "none"},
    {Parity::even, "even"},
    {Parity::odd, "odd"},
    {Parity::mark, "mark"},
    {Parity::space, "space"},
}};

constexpr std::array<std::pair<FlowControl, std::string_view>, 3> flow_control_keywords{{
    {FlowControl::none, "none"},
    {FlowControl::hardware, "hardware"},
    {FlowControl::software, "software"},
}};

constexpr std::array<std::pair<Check, std::string_view>, 3> check_keywords{{
    {Check::off, "off"},
    {Check::on, "on"},
    {Check::internal, "internal"},
}};

// The tables read both ways; anything they lack is the first row, none or off.
template <typename Value, std::size_t rows>
std::string_view keyword_of(const std::array<std::pair<Value, std::string_view>, rows>& table,
                            Value value) {
  for (const auto& [row_value, keyword] : table) {
    if (row_value == value) return keyword;
  }
  return table[0].second;
}

template <typename Value, std::size_t rows>
Value value_of(const std::array<std::pair<Value, std::string_view>, rows>& table,
               std::string_view keyword) {
  for (const auto& [value, row_keyword] : table) {
    if (row_keyword == keyword) return value;
  }
  return table[0].first;
}

}  // namespace

int data_bits_in_force(const LineSettings& settings) {
  return settings.databits >= 5 && settings.databits <= 7 ? settings.databits : 8;
}

std::string_view parity_keyword(Parity parity) { return keyword_of(parity_keywords, parity); }

Parity parity_of_keyword(std::string_view keyword) { return value_of(parity_keywords, keyword); }

std::string_view flow_control_keyword(FlowControl flow_control) {
  return keyword_of(flow_control_keywords, flow_control);
}

FlowControl flow_control_of_keyword(std::string_view keyword) {
  return value_of(flow_control_keywords, keyword);
}

std::string_view check_keyword(Check check) { return keyword_of(check_keywords, check); }

Check check_of_keyword(std::string_view keyword) { return value_of(check_keywords, keyword); }

void print_settings_report(std::FILE* out, const LineSettings& settings) {
  const std::string_view parity = parity_keyword(settings.parity);
  const std::string_view flow = flow_control_keyword(settings.flowcontrol);
  std::fprintf(out,
               "Installed values\n"
               "Baudrate = %d\n"
               "Databits = %d\n"
               "Stopbits = %d\n"
               "Parity = %.*s\n"
               "Flowcontrol = %.*s\n",
               settings.baudrate, settings.databits, settings.stopbits,
               static_cast<int>(parity.size()), parity.data(), static_cast<int>(flow.size()),
               flow.data());
  if (settings.duration) std::fprintf(out, "Duration = %d\n", *settings.duration);
  if (settings.interval) std::fprintf(out, "Interval = %d\n", *settings.interval);
  if (settings.check != Check::off) {
    const std::string_view check = check_keyword(settings.check);
    std::fprintf(out, "Check = %.*s\n", static_cast<int>(check.size()), check.data());
  }
}

void print_rate_note(std::FILE* out, const LineSettings& settings) {
  if (is_rate(settings.baudrate)) return;
  std::fprintf(out, "Baudrate %d is no rate: the ports run at %d\n", settings.baudrate,
               no_rate_runs_at);
}

}  // namespace looptest
