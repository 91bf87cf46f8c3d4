// control.h: what interrupts the first relay, and what it was. The signals the run answers,
// the duration and progress timers and the link to the second relay are joined in one epoll
// descriptor that the relay watches; next_event() then says what happened.
#pragma once

#include <cstdint>

#include "system/failure.h"

namespace looptest {

struct Control {
  int signals = -1;   ///< The signals the run answers.
  int duration = -1;  ///< A timer: readable once the duration is over.
  int progress = -1;  ///< A timer: readable every interval.
  int link = -1;      ///< The link to the second relay, while it is watched.
  int any = -1;       ///< Readable when any of them is: what the first relay watches.
  /// Taken from the signals before the relays ran, and kept for them: the first stop, and a
  /// request for the summary.
  int kept_stop = 0;
  bool kept_report = false;
  bool kept_further_stop = false;  ///< A second stop came too: the end is hurried from its start.
};

enum class Event {
  none,      ///< Nothing more happened.
  duration,  ///< The duration is over.
  progress,  ///< Progress is to be reported.
  note,      ///< The second relay sent a note over the link.
  stop,      ///< A stop signal came.
  report,    ///< SIGUSR1 asked for the summary.
  child,     ///< SIGCHLD: the second relay may have ended.
};

struct ControlEvent {
  Event what = Event::none;
  int signal = 0;  ///< With Event::stop: the signal.
};

// control.cpp
/// Takes the signals and makes the timers and the epoll descriptor; the call that failed when
/// one cannot be had.
Failure take_control(Control& control);
/// Starts the duration's timer: a timer no one can send, unlike SIGALRM.
void start_duration(const Control& control, std::int32_t seconds);
/// Starts the progress timer, which fires every interval.
void start_progress(const Control& control, std::int32_t seconds);
/// Watches the link to the second relay for notes; false when it cannot.
bool watch_link(Control& control, int link);
/// Stops watching the link: the second relay has closed its end.
void stop_watching_link(Control& control);
/// Before the relays run (set-up, the wiring's probes): takes the signals that came, and keeps
/// them for the relays; true once a stop came. A request for the summary ends no wait.
bool stop_came(Control& control);
/// What happened, one thing a call, what was kept before the relays ran first, then the duration
/// first, then progress, notes and signals; Event::none when nothing more did.
ControlEvent next_event(Control& control);

}  // namespace looptest
