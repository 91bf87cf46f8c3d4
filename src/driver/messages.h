// messages.h: the lines the run prints once the ports are open. Each goes out whole in one
// write, and while the relays run none waits for a reader: a relay or a stop must not be
// held up by a pipe nobody reads or a terminal whose output is stopped. Only the end's own
// lines, the verdict, wait for the output, for a bounded time that a further stop cuts short.
#pragma once

#include <time.h>

#include <array>
#include <atomic>
#include <cstdint>

namespace looptest {

/// Room for the longest line the run prints (a progress line, under 512 characters), with
/// its newline.
using MessageLine = std::array<char, 640>;

// messages.cpp
/// Sends the run's lines to standard output through an open file description of the tool's
/// own that never blocks, so the caller's description (a shell's terminal) keeps its flags.
/// Lines that cannot be written at once are counted in dropped, which both relay processes
/// share.
void open_message_output(std::atomic<std::uint64_t>& dropped);
/// Prints one line (format ends with its newline) if the output takes it at once; otherwise
/// drops it and counts it.
[[gnu::format(printf, 1, 2)]] void print_message(const char* format, ...);

enum class Printed {
  whole,      ///< The output took the whole line.
  timed_out,  ///< The output did not take it all by the deadline.
  stopped,    ///< stop became readable first.
};

/// Prints one line (format ends with its newline), waiting for the output to take all of it
/// until deadline, or until stop becomes readable.
[[gnu::format(printf, 3, 4)]] Printed print_message_waiting(timespec deadline, int stop,
                                                            const char* format, ...);

}  // namespace looptest
