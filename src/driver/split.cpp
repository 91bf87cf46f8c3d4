#include "driver/split.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <utility>

#include "driver/link.h"
#include "system/clock.h"
#include "system/retry.h"

namespace looptest {

namespace {

SecondRelay not_started(const char* call) { return {.failed_call = call, .error = errno}; }

void took_status(SecondRelay& second, int status) {
  second.pid = -1;
  second.status = status;
  second.ended_badly = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
}

// Kills a second relay that would not end, and reaps it.
void kill_second(SecondRelay& second) {
  if (second.pid <= 0) return;
  kill(second.pid, SIGKILL);
  int status = 0;
  if (retry_interrupted([&] { return static_cast<int>(waitpid(second.pid, &status, 0)); }) ==
      second.pid) {
    took_status(second, status);
  }
  second.pid = -1;
}

}  // namespace

SecondRelay start_second_relay(const Ports& ports, SecondRelayPart& part,
                               std::initializer_list<int> close_in_second) {
  std::array<int, 2> link{-1, -1};
  if (!make_link(link)) return not_started("socketpair");
  const pid_t first = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    close(link[0]);
    for (const int fd : close_in_second) close(fd);
    run_second_relay(ports, part, link[1], first);
  }
  close(link[1]);
  if (pid == -1) {
    SecondRelay failed = not_started("fork");
    close(link[0]);
    return failed;
  }
  return {.pid = pid, .link = link[0], .started = true};
}

bool reap_second(SecondRelay& second) {
  int status = 0;
  if (second.pid <= 0 || waitpid(second.pid, &status, WNOHANG) != second.pid) return false;
  took_status(second, status);
  return true;
}

TextLine second_relay_reason(const SecondRelay& second) {
  if (!second.started) {
    return second.failed_call == nullptr
               ? TextLine{}
               : text_line(": %s: %s", second.failed_call, std::strerror(second.error));
  }
  if (WIFSIGNALED(second.status)) {
    return text_line(": killed by signal %d (%s)", WTERMSIG(second.status),
                     strsignal(WTERMSIG(second.status)));
  }
  if (WIFEXITED(second.status) && WEXITSTATUS(second.status) != 0) {
    return text_line(": exit status %d", WEXITSTATUS(second.status));
  }
  return {};
}

void ask_second_to_finish(const SecondRelay& second) {
  if (second.link != -1) send_note(second.link, Note::finish, PortNumber::one);
}

void hurry_second(SecondRelay& second) {
  if (second.link != -1) close(std::exchange(second.link, -1));
}

bool end_second_relay(SecondRelay& second, EndWaits& end) {
  const timespec give_up = later_by(end.ring_deadline, drain_milliseconds);
  while (second.pid > 0 && !reap_second(second) && milliseconds_until(give_up) > 0) {
    if (end.hurried) hurry_second(second);
    wait_for_signal_at_end(end, milliseconds_until(give_up));
  }
  hurry_second(second);
  if (second.pid <= 0) return false;
  kill_second(second);
  return true;
}

}  // namespace looptest
