#include "driver/signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "system/retry.h"

namespace looptest {

namespace {

// The tool sets no stop signal's action before its very end, so the action it has is the one
// it started with.
bool ignored_at_start(int signal_number) {
  struct sigaction action {};
  return sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

void block(int signal_number) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

void prepare_signals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGCHLD, SIG_DFL);
  // Until the run reads it, a request for the summary waits instead of ending the tool.
  if (!ignored_at_start(SIGUSR1)) block(SIGUSR1);
}

bool is_stop(int signal_number) {
  for (const int stop : stop_signals) {
    if (stop == signal_number) return !ignored_at_start(stop);
  }
  return false;
}

int take_signals() {
  sigset_t taken;
  sigemptyset(&taken);
  for (const int stop : stop_signals) {
    if (is_stop(stop)) sigaddset(&taken, stop);
  }
  if (!ignored_at_start(SIGUSR1)) sigaddset(&taken, SIGUSR1);
  sigaddset(&taken, SIGCHLD);
  sigset_t before;
  sigprocmask(SIG_BLOCK, &taken, &before);
  const int signals = signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signals == -1) sigprocmask(SIG_SETMASK, &before, nullptr);
  return signals;
}

int next_signal(int signals) {
  signalfd_siginfo info{};
  const int got =
      retry_interrupted([&] { return static_cast<int>(read(signals, &info, sizeof info)); });
  return got == static_cast<int>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

void end_by(int signal_number) {
  std::signal(signal_number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);  // one still pending ends the tool here
  kill(getpid(), signal_number);
  std::abort();  // not reached: the default action of every stop signal ends the process
}

}  // namespace looptest
