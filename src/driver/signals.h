// signals.h: the signals a run answers. A stop (SIGINT, SIGTERM, SIGHUP, SIGALRM) ends the run
// with its summary and the ports put back, then ends the tool as the signal would have;
// SIGUSR1 asks for the summary; SIGCHLD tells of the second relay's end. A signal that was
// ignored when the tool started stays ignored, as nohup and shells expect.
#pragma once

#include <signal.h>

#include <array>

namespace looptest {

inline constexpr std::array stop_signals{SIGINT, SIGTERM, SIGHUP, SIGALRM};

// signals.cpp
/// Sets the signals up before anything else: SIGPIPE ignored, so that output nobody reads
/// cannot end the tool; SIGCHLD back to its default, as an ignored one would hide the end of
/// the second relay; SIGUSR1 held until the run can answer it.
void prepare_signals();
/// Whether signal_number stops a run: a stop signal not ignored at start.
bool is_stop(int signal_number);
/// Blocks the signals the run answers and returns a non-blocking descriptor that reads them;
/// -1 if it cannot be made, and then they are not blocked, so a stop still ends the tool.
int take_signals();
/// The next signal the descriptor holds; 0 when it holds none.
int next_signal(int signals);
/// Ends the tool by signal_number, with its default action.
[[noreturn]] void end_by(int signal_number);

}  // namespace looptest
