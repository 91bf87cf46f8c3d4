// result_file.h: the result file that result=PATH asks for: JSON Lines beside the text on
// standard output. Each line is written whole by one write to a file opened for appending,
// so the two relay processes never split each other's lines; nothing is buffered, so a run
// killed outright leaves every line so far. The events of a run are written from where they
// happen, by the calls below; without a result file they do nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "check/wiring.h"
#include "system/failure.h"
#include "system/json_line.h"

namespace looptest {

/// How many ERROR lines the end of a run repeats; each is also an object of its own.
inline constexpr std::size_t kept_error_lines = 4;

/// The ERROR lines kept for the end, as printed, and how many there were in all.
struct KeptErrors {
  std::array<std::string_view, kept_error_lines> lines{};
  std::size_t kept = 0;
  std::uint64_t all = 0;
};

// result_file.cpp
/// Creates or empties the file at path and keeps it open for the run, for this process and
/// the second relay it forks; the call that failed, and why, when it cannot.
Failure open_result_file(const char* path);
/// Whether a result file is open.
bool result_open();
/// Writes line, whole, with one write; a line that was cut is not written.
void write_result_line(const JsonLine& line);
/// Writes the file out to its disk and closes it; the call that failed, when one did.
Failure close_result_file();
/// The ERROR lines printed so far by either relay process, the first few kept.
KeptErrors kept_errors();

/// A line the run printed (with its newline): an ERROR line becomes an "error" object, and
/// the first few are kept for the end.
void result_printed(std::string_view line);
/// A port lost, or back.
void result_port(std::string_view path, std::string_view state);
/// A port that refused the line settings; error is errno of the call that refused (0: none).
void result_refused(std::string_view path, int error);
/// The wiring the test stream found.
void result_wiring(Wiring wiring);
/// A port's handshake; none: the port has no modem lines.
void result_handshake(std::string_view path, const std::optional<Handshake>& handshake);

}  // namespace looptest
