// verdict.h: whether a run passes, decided from the facts its end gathered. Nothing here
// looks at a device or prints: the facts come in, the verdict goes out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "driver/totals.h"

namespace looptest {

/// At the end of a run, a direction whose output has taken none of the bytes waiting for it
/// for this long is held, by flow control or a far end that does not read: the run fails.
inline constexpr int held_milliseconds = 2000;

/// What the end found at a direction's output port.
struct OutputAtEnd {
  std::uint64_t discarded = 0;  ///< What the driver still held to send, thrown away.
  /// Whether the UART's transmitter stood empty when that was thrown away; empty for no UART.
  std::optional<bool> transmitter_empty{};
  /// The transmitter still held characters once they had had time to leave at the line's rate:
  /// flow control in the UART itself (CTS) holds them, where no queue count sees them.
  bool transmitter_stalled = false;
};

/// What the end found at a direction's input, as it began.
struct InputAtEnd {
  std::uint64_t unread = 0;  ///< Bytes its driver held that the relay had not read.
  std::int64_t idle_ms = 0;  ///< Since the relay last moved bytes.
  /// The relay was waiting for room at its output: its output, not its input, is judged.
  bool waiting_for_output = false;
};

/// One direction at the end: what it did, and what its ports held.
struct DirectionAtEnd {
  DirectionTotals totals;
  OutputAtEnd output;
  std::int64_t waited_ms = 0;  ///< How long its relay had waited for room at its output.
  InputAtEnd input{};
};

/// What the end of a run found.
struct EndFacts {
  bool opened = true;       ///< Both ports opened, and the run could be set up.
  DirectionAtEnd forward;   ///< Port 1 to port 2.
  DirectionAtEnd backward;  ///< Port 2 to port 1.
  bool relays_ran = true;   ///< The relays ran: not for a duration of 0, nor after a failed probe.
  bool second_missing = false;  ///< The relays were to run, and the second was never made.
  bool second_lost = false;     ///< The second relay ended on its own.
  bool second_killed = false;   ///< The second relay did not end when asked, and was killed.
  bool configured = true;       ///< Both ports took the line settings.
  bool port_lost = false;       ///< A port was lost at some time in the run.
  bool lost_at_end = false;     ///< A port was still lost when the run ended.
  bool checking = false;        ///< The run sent the test stream (check=on or internal).
  /// The stream did not come round, or a CTS it needs follows nothing: said at the start.
  bool wiring_failed = false;
  std::int64_t relayed_ms = 0;             ///< How long the relays ran.
  std::int32_t characters_per_second = 0;  ///< The most the line carries.
  int stop = 0;      ///< The stop signal that ended the run; 0 when it ended by itself.
  bool told = true;  ///< The end's lines, the verdict, could all be written.
};

struct Verdict {
  bool forward_held = false;
  bool backward_held = false;
  bool failed = false;
  /// 0 for a pass; 1 for a fail, or a verdict no one could read; 255 for a run that never
  /// opened its ports.
  int exit_status = 0;
  /// The stop signal the tool then ends by, as it would have without the run; 0 for none.
  int end_signal = 0;
};

/// Why a run did not pass, in a short fixed word each (fail_reason_word()).
enum class FailReason {
  not_opened,      ///< A port did not open, or the run could not be set up.
  errors,          ///< A read, a write or the line failed.
  held,            ///< A direction was held at the end.
  second_relay,    ///< The second relay never ran, ended on its own, or was killed.
  not_configured,  ///< A port did not take the line settings.
  lost_port,       ///< A port was lost.
  no_wiring,       ///< The test stream did not come round, or a CTS it needs follows nothing.
  wrong_bytes,     ///< The check found bytes wrong, lost or extra.
  no_check,        ///< The check checked nothing in a direction.
  unread_verdict,  ///< The end's lines could not all be written.
  not_delivered,   ///< Bytes were read and never delivered: listed only beside another reason.
};
inline constexpr std::size_t fail_reason_count = 11;

/// The reasons of one run, in the order of the enumeration.
struct FailReasons {
  std::array<FailReason, fail_reason_count> reasons{};
  std::size_t count = 0;
};

// verdict.cpp
/// True when a read, a write or the line failed.
bool has_errors(const DirectionTotals& totals);
/// True when the direction's output was held at the end: its UART's transmitter stood still
/// with bytes queued for it, or with bytes in it; where the port is no UART, bytes waited for
/// its output and it took none of them for the last waited_ms (the relay waited that long).
bool held_at_end(const DirectionTotals& totals, const OutputAtEnd& output, std::int64_t waited_ms);
/// True when the direction's input was held at the end: bytes waited there, and its relay,
/// not waiting for its output, had moved nothing, neither read nor written, for the last
/// held_milliseconds. Bytes that just
/// arrived, with the relay reading, are not held. (Where the relay never ran or died, or a
/// port is lost, the run fails for that, and the input is not judged.)
bool input_held_at_end(const DirectionAtEnd& direction);
/// Whether a direction's check passed: it checked bytes, and none was wrong, lost or extra.
bool check_passed(const DirectionTotals& totals);
/// A run fails when a direction had errors or was held at either end, when the second relay
/// never ran, ended on its own or had to be killed, when a port never had the line settings,
/// or when a port was lost; with the test stream, also when its wiring failed or a
/// direction's check did not pass. A verdict no one could read is no pass; a run that was
/// stopped ends by its signal; one that never opened its ports exits with 255.
Verdict judge(const EndFacts& facts);
/// What made judge() give this verdict no pass; none for a pass. A stopped run has those of
/// what went wrong before the stop.
FailReasons fail_reasons(const EndFacts& facts, const Verdict& verdict);
/// "not-opened", "errors", "held", "second-relay", "not-configured", "lost-port", "no-wiring",
/// "wrong-bytes", "no-check", "unread-verdict", "not-delivered".
std::string_view fail_reason_word(FailReason reason);

}  // namespace looptest
