// messages.h: the lines the run prints once the ports are open. Each goes out whole in one
// write, and none ever waits for a reader: a relay or a stop must not be held up by a pipe
// nobody reads or a terminal whose output is stopped.
#pragma once

#include <atomic>
#include <cstdint>

namespace looptest {

// messages.cpp
/// Sends the run's lines to standard output through an open file description of the tool's
/// own that never blocks, so the caller's description (a shell's terminal) keeps its flags.
/// Lines that cannot be written at once are counted in dropped, which both relay processes
/// share.
void open_message_output(std::atomic<std::uint64_t>& dropped);
/// Prints one line (format ends with its newline) if the output takes it at once; otherwise
/// drops it and counts it.
[[gnu::format(printf, 1, 2)]] void print_message(const char* format, ...);

}  // namespace looptest
