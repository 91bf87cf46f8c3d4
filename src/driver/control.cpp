#include "driver/control.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <csignal>
#include <utility>

#include "driver/signals.h"
#include "system/wait.h"

namespace looptest {

namespace {

bool watch(const Control& control, int fd) {
  epoll_event readable{.events = EPOLLIN, .data = {.fd = fd}};
  return epoll_ctl(control.any, EPOLL_CTL_ADD, fd, &readable) == 0;
}

void start_timer(int timer, std::int32_t seconds, bool repeats) {
  const timespec period{seconds, 0};
  const itimerspec times{.it_interval = repeats ? period : timespec{}, .it_value = period};
  timerfd_settime(timer, 0, &times, nullptr);  // cannot fail for a valid timer and time
}

bool expired(int timer) {
  std::uint64_t expirations = 0;
  return read(timer, &expirations, sizeof expirations) == sizeof expirations;
}

}  // namespace

Failure take_control(Control& control) {
  control.signals = take_signals();
  if (control.signals == -1) return failure_of("signalfd");
  control.duration = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (control.duration == -1) return failure_of("timerfd_create");
  control.progress = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (control.progress == -1) return failure_of("timerfd_create");
  control.any = epoll_create1(EPOLL_CLOEXEC);
  if (control.any == -1) return failure_of("epoll_create1");
  for (const int fd : {control.signals, control.duration, control.progress}) {
    if (!watch(control, fd)) return failure_of("epoll_ctl");
  }
  return {};
}

void start_duration(const Control& control, std::int32_t seconds) {
  start_timer(control.duration, seconds, false);
}

void start_progress(const Control& control, std::int32_t seconds) {
  start_timer(control.progress, seconds, true);
}

bool watch_link(Control& control, int link) {
  if (!watch(control, link)) return false;
  control.link = link;
  return true;
}

void stop_watching_link(Control& control) {
  if (control.link == -1) return;
  epoll_ctl(control.any, EPOLL_CTL_DEL, control.link, nullptr);
  control.link = -1;
}

bool stop_came(Control& control) {
  while (const int signal_number = next_signal(control.signals)) {
    if (is_stop(signal_number)) {
      if (control.kept_stop != 0) control.kept_further_stop = true;
      if (control.kept_stop == 0) control.kept_stop = signal_number;
    }
    if (signal_number == SIGUSR1) control.kept_report = true;
  }
  return control.kept_stop != 0;
}

ControlEvent next_event(Control& control) {
  if (const int stop = std::exchange(control.kept_stop, 0)) return {Event::stop, stop};
  if (std::exchange(control.kept_report, false)) return {Event::report};
  if (expired(control.duration)) return {Event::duration};
  if (expired(control.progress)) return {Event::progress};
  if (control.link != -1 && wait_readable(control.link, 0)) return {Event::note};
  while (const int signal_number = next_signal(control.signals)) {
    if (is_stop(signal_number)) return {Event::stop, signal_number};
    if (signal_number == SIGUSR1) return {Event::report};
    if (signal_number == SIGCHLD) return {Event::child};
  }
  return {};
}

}  // namespace looptest
