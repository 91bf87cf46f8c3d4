// wiring.h: what is wired to the two ports, decided from where the start of the test stream,
// sent out of each, came back (a loop plug on each port, a cable between them, or the UARTs'
// own loopback), and which handshake inputs follow which outputs through it. Pure: the driver
// sends, reads and prints (driver/probe.h).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "check/stream.h"
#include "line/modem_lines.h"
#include "settings/port_number.h"
#include "settings/settings.h"
#include "system/text_line.h"

namespace looptest {

enum class Wiring {
  none,      ///< The stream does not come back round: the run cannot check, and fails.
  loops,     ///< A loop on each port: what leaves a port comes back into it.
  cable,     ///< A cable: what leaves one port comes into the other.
  internal,  ///< Each UART's own loopback, as a loop on each port.
  /// Half duplex: one pair between the ports, which each may also hear itself on (its echo).
  /// What leaves one port comes into the other, one frame on the pair at a time.
  pair,
};

/// The start of the test stream, sent out of a port to see where it comes back.
inline constexpr std::size_t probe_length = 16;
using Probe = std::array<char, probe_length>;
/// What a port's input keeps of what arrives while a probe is out: more than the probe, so
/// that what arrives before it (noise, a far end's own bytes) does not hide it.
inline constexpr std::size_t seen_length = 256;

/// What arrived at one port while a probe was out, the last seen_length bytes.
struct Seen {
  std::array<char, seen_length> bytes{};
  std::size_t size = 0;
};

/// Where each port's probe came back, by index_of() the port it was sent out of; empty for
/// nowhere in time. Half duplex, a probe that came back on both ports (an echo) is said to have
/// come back on the other.
using ProbesBack = std::array<std::optional<PortNumber>, 2>;

/// What the probes say of the wiring.
struct WiringDecision {
  Wiring wiring = Wiring::none;  ///< none unless both probes went round as it says.
  /// By index_of() the port: whether its probe came back where the wiring brings it.
  std::array<bool, 2> came_round{};
};

/// For one port: the inputs of the port its outputs come back to that follow its RTS, and
/// those that follow its DTR.
struct Handshake {
  ModemLines after_rts = 0;
  ModemLines after_dtr = 0;
};

// wiring.cpp
/// Where what leaves a port comes back: the port itself or the other one; empty for neither.
std::optional<PortNumber> returning_port(Wiring wiring, PortNumber port);
/// The wiring as the "wiring: ..." line names it.
std::string_view wiring_text(Wiring wiring);
/// Port 1's probe says what the wiring must be (check=internal makes it the UARTs' own
/// loopback; half duplex makes a link between the ports a pair); port 2's must then go round
/// as it does.
WiringDecision decide_wiring(Check check, bool half, const ProbesBack& back);
/// The probe: the first probe_length symbols of the stream.
Probe make_probe(const StreamAlphabet& alphabet);
/// How long a probe is given to come back: its way out and back at the line's rate, twice
/// over, and half a second for drivers and whatever a far end does on the way.
int probe_milliseconds(const LineSettings& settings);
/// Adds what arrived to what was seen, keeping the last seen_length bytes.
void keep_seen(Seen& seen, std::span<const char> arrived);
/// Whether the probe is among what was seen, compared in the bits the line carries (mask).
bool probe_seen(const Seen& seen, std::span<const char> probe, unsigned char mask);
/// The line that says which inputs follow each output of the port at path: "PATH: RTS -> CTS,
/// DTR not looped".
TextLine handshake_line(std::string_view path, const Handshake& handshake);
/// Under hardware flow control, whether CTS follows none of the outputs, so that the port's
/// data could not flow.
bool cts_follows_nothing(const LineSettings& settings, const Handshake& handshake);

}  // namespace looptest
