// messages.h: the lines the run prints once the ports are open. Each goes out whole, and
// while the relays run none waits for a reader: a relay or a stop must not be held up by a
// pipe nobody reads or a terminal whose output is stopped. Only the end's own lines, the
// verdict, wait for the output, for a bounded time that a further stop cuts short.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "system/text_line.h"

namespace looptest {

// messages.cpp
/// Sends the run's lines to standard output through an open file description of the tool's
/// own that never blocks, so the caller's description (a shell's terminal) keeps its flags.
/// Lines that cannot be written at once are counted in dropped, which both relay processes
/// share.
void open_message_output(std::atomic<std::uint64_t>& dropped);
/// Prints one line (format ends with its newline) if the output takes it now; otherwise drops
/// it and counts it. A line the output took only part of is finished before any other line,
/// so that no two lines are ever glued together.
[[gnu::format(printf, 1, 2)]] void print_message(const char* format, ...);

enum class Printed {
  whole,      ///< The output took the whole line.
  timed_out,  ///< The output did not take it all by the deadline, or failed.
  stopped,    ///< stop became readable first.
};

/// Prints the line left (which ends with its newline), waiting for the output to take all of
/// it until deadline, or until stop becomes readable. Once part of it is out, the rest goes
/// before any other line, and left is emptied: a further call with it finishes that rest.
Printed print_line_waiting(std::span<const char>& left, timespec deadline, int stop);

}  // namespace looptest
