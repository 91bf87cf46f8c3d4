// settings.h: the line settings that both ports are given, and their report.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

namespace looptest {

enum class Parity : std::int32_t { none = 1, even = 2, odd = 3, mark = 4, space = 5 };
enum class FlowControl : std::int32_t { none = 1, hardware = 2, software = 3 };
/// Whether the run sends a test stream of its own round the ports and checks every byte.
enum class Check : std::int32_t { off = 1, on = 2, internal = 3 };
/// Whether the two ports may send at once (full) or only one at a time (half), as on an RS-485
/// pair or a radio link.
enum class Duplex : std::int32_t { full = 1, half = 2 };
/// The level of a port's RTS while it sends in RS-485 mode; the other level after.
enum class RtsLevel : std::int32_t { high = 1, low = 2 };

/// Where result=PATH asks for the result file; an empty path for none.
struct ResultPath {
  std::array<char, 256> path{};  ///< NUL-terminated.
  /// The path given did not fit: the run refuses it before it touches a port.
  bool too_long = false;
};

/// Rate, character size, stop bits, parity and flow control. The numbers are kept as given,
/// also where a line cannot honour them; the line configuration decides what they become.
struct LineSettings {
  std::int32_t baudrate = 115200;
  Parity parity = Parity::none;
  std::int32_t databits = 8;
  FlowControl flowcontrol = FlowControl::hardware;
  std::int32_t stopbits = 1;
  /// Not the line's but the run's: seconds until it ends by itself; empty, it runs until
  /// stopped.
  std::optional<std::int32_t> duration{};
  /// Seconds between progress lines; empty, or 0 or less, none are printed.
  std::optional<std::int32_t> interval{};
  /// on: a test stream through what is wired to the ports; internal: through the UARTs'
  /// own loopback; off: only relay what the far ends send.
  Check check = Check::off;
  /// Not the line's either: where the run also writes its result as JSON Lines.
  ResultPath result{};
  /// RS-485 mode for both ports: on or off; empty, each port's mode is left as it is.
  std::optional<bool> rs485{};
  RtsLevel rtsonsend = RtsLevel::high;
  /// Milliseconds RTS is raised before a port sends, and kept after it has sent.
  std::int32_t delaybefore = 0;
  std::int32_t delayafter = 0;
  /// Whether a port in RS-485 mode receives while it sends (hears itself).
  bool rxduringtx = false;
  /// Given by duplex=; half_duplex() says what the run does.
  Duplex duplex = Duplex::full;
};

/// What a line runs at for a baudrate that is no rate, 0 or less.
inline constexpr std::int32_t no_rate_runs_at = 9600;

/// Whether a baudrate is a rate a line can be asked for: every number above 0.
constexpr bool is_rate(std::int32_t baudrate) { return baudrate > 0; }

// settings.cpp
/// The bits a character carries on the line: databits where it is 5, 6 or 7, else 8.
int data_bits_in_force(const LineSettings& settings);
/// The word the options accept and the report prints; "none" for a value out of range.
std::string_view parity_keyword(Parity parity);
/// The parity a word names; none for any other word, as case matters.
Parity parity_of_keyword(std::string_view keyword);
/// The word the options accept and the report prints; "none" for a value out of range.
std::string_view flow_control_keyword(FlowControl flow_control);
/// The flow control a word names; none for any other word.
FlowControl flow_control_of_keyword(std::string_view keyword);
/// The word the options accept and the report prints; "off" for a value out of range.
std::string_view check_keyword(Check check);
/// The check a word names; off for any other word.
Check check_of_keyword(std::string_view keyword);
/// The word the options accept and the report prints for a switch: "on" or "off".
std::string_view on_off_keyword(bool on);
/// Whether a word says "on"; any other word is off.
bool on_of_keyword(std::string_view keyword);
/// "high" or "low"; "high" for a value out of range.
std::string_view rts_level_keyword(RtsLevel level);
/// The level a word names; high for any other word.
RtsLevel rts_level_of_keyword(std::string_view keyword);
/// "full" or "half"; "full" for a value out of range.
std::string_view duplex_keyword(Duplex duplex);
/// The duplex a word names; full for any other word.
Duplex duplex_of_keyword(std::string_view keyword);
/// Whether the ports take turns on the line: duplex=half, or rs485=on.
bool half_duplex(const LineSettings& settings);
/// Writes the six lines of the "Installed values" report, the duration and the interval
/// when they were given, the check when it is on, the RS-485 settings when rs485= was given,
/// and the duplex when it is half.
void print_settings_report(std::FILE* out, const LineSettings& settings);
/// For a baudrate that is no rate, the line that says what the ports run at instead; nothing
/// for a rate.
void print_rate_note(std::FILE* out, const LineSettings& settings);

}  // namespace looptest
