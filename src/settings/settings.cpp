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

constexpr std::array<std::pair<bool, std::string_view>, 2> on_off_keywords{{
    {false, "off"},
    {true, "on"},
}};

constexpr std::array<std::pair<RtsLevel, std::string_view>, 2> rts_level_keywords{{
    {RtsLevel::high, "high"},
    {RtsLevel::low, "low"},
}};

constexpr std::array<std::pair<Duplex, std::string_view>, 2> duplex_keywords{{
    {Duplex::full, "full"},
    {Duplex::half, "half"},
}};

void print_keyword(std::FILE* out, const char* label, std::string_view keyword) {
  std::fprintf(out, "%s = %.*s\n", label, static_cast<int>(keyword.size()), keyword.data());
}

// The RS-485 lines, which a run without rs485= neither needs nor prints.
void print_rs485_settings(std::FILE* out, const LineSettings& settings) {
  if (!settings.rs485) return;
  print_keyword(out, "Rs485", on_off_keyword(*settings.rs485));
  print_keyword(out, "Rtsonsend", rts_level_keyword(settings.rtsonsend));
  std::fprintf(out, "Delaybefore = %d\nDelayafter = %d\n", settings.delaybefore,
               settings.delayafter);
  print_keyword(out, "Rxduringtx", on_off_keyword(settings.rxduringtx));
}

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

std::string_view on_off_keyword(bool on) { return keyword_of(on_off_keywords, on); }

bool on_of_keyword(std::string_view keyword) { return value_of(on_off_keywords, keyword); }

std::string_view rts_level_keyword(RtsLevel level) { return keyword_of(rts_level_keywords, level); }

RtsLevel rts_level_of_keyword(std::string_view keyword) {
  return value_of(rts_level_keywords, keyword);
}

std::string_view duplex_keyword(Duplex duplex) { return keyword_of(duplex_keywords, duplex); }

Duplex duplex_of_keyword(std::string_view keyword) { return value_of(duplex_keywords, keyword); }

bool half_duplex(const LineSettings& settings) {
  return settings.duplex == Duplex::half || settings.rs485.value_or(false);
}

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
  print_rs485_settings(out, settings);
  if (settings.duplex == Duplex::half) print_keyword(out, "Duplex", duplex_keyword(Duplex::half));
}

void print_rate_note(std::FILE* out, const LineSettings& settings) {
  if (is_rate(settings.baudrate)) return;
  std::fprintf(out, "Baudrate %d is no rate: the ports run at %d\n", settings.baudrate,
               no_rate_runs_at);
}

}  // namespace looptest
