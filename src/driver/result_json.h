// result_json.h: the objects of the result file, one JSON object a line, each with its
// "type": the start and the events the text reports (result_end_json.h has the counts). Pure:
// what a run found goes in, the line goes out; result_file.h writes it.
#pragma once

#include <array>
#include <ctime>
#include <optional>
#include <string_view>

#include "check/wiring.h"
#include "settings/settings.h"
#include "system/json_line.h"

namespace looptest {

/// The result file's format: it changes only when a field is removed or changes meaning.
inline constexpr int result_format = 1;

/// A time as RFC 3339 writes it, in UTC to the second: "2025-01-31T08:05:09Z".
using Rfc3339 = std::array<char, 24>;

// result_json.cpp
Rfc3339 rfc3339_utc(std::time_t time);
/// A line of its own type: the object is open, for its members and end_line().
JsonLine object_of(std::string_view type);
/// "start": the format, the tool's version, when, the paths and every setting in force.
JsonLine start_object(std::string_view version, std::time_t started, std::string_view port1,
                      std::string_view port2, const LineSettings& settings);
/// "error": an ERROR line's text, without its newline, and which relay process printed it.
JsonLine error_object(std::string_view text, bool second_process);
/// "port": a port lost ("lost") or taken up again ("back").
JsonLine port_object(std::string_view path, std::string_view state);
/// "refused": a port that did not take the line settings, and the system's reason (error 0:
/// it took them, yet did not keep them).
JsonLine refused_object(std::string_view path, int error);
/// "wiring": what the test stream found wired to the ports.
JsonLine wiring_object(Wiring wiring);
/// "handshake": the inputs that follow RTS and DTR of the port at path, with the line the text
/// prints; without a handshake, the port has no modem lines.
JsonLine handshake_object(std::string_view path, const std::optional<Handshake>& handshake);

}  // namespace looptest
