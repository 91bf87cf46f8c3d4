#include "driver/loop_test.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <new>
#include <optional>

#include "driver/relay.h"
#include "driver/summary.h"
#include "line/line_config.h"
#include "settings/options.h"

namespace looptest {

namespace {

struct Port {
  const PortPath& path;
  int fd = -1;
  std::optional<termios> saved{};
  std::optional<LineErrors> errors_at_start{};
};

// Each direction's counts, written by the process that relays it and read by the parent.
struct SharedCounts {
  DirectionCounts forward;   // port 1 to port 2, relayed by the parent
  DirectionCounts backward;  // port 2 to port 1, relayed by the child
};

// The signals the parent takes through its control descriptor instead of dying of them.
constexpr std::array handled_signals{SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGUSR1};
constexpr std::array ending_signals{SIGINT, SIGTERM, SIGHUP, SIGALRM};
// How long the end waits for pending output to drain.
constexpr int drain_seconds = 1;

template <std::size_t count>
sigset_t signal_set(const std::array<int, count>& signals) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : signals) sigaddset(&set, signal_number);
  return set;
}

template <typename Call>
int retry_interrupted(Call call) {
  int result = 0;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

int open_port(const char* path) {
  // Never wait for carrier, and never make the port the controlling terminal. The port stays
  // non-blocking: the relay waits with poll, where a stop can always reach it.
  return retry_interrupted(
      [path] { return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
}

// Two names, or a link, may lead to one device.
bool same_port(int fd1, int fd2) {
  struct stat first {};
  struct stat second {};
  if (fstat(fd1, &first) != 0 || fstat(fd2, &second) != 0) return false;
  if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Only another holder refuses the port; a file system without locks does not.
bool lock_port(int fd) {
  return retry_interrupted([fd] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0 ||
         errno != EWOULDBLOCK;
}

void configure_port(Port& port, const LineSettings& settings) {
  port.saved = save_line(port.fd);
  if (!configure_line(port.fd, settings, settings.baudrate)) {
    std::printf("ERROR configuring %s\n", port.path.data());
  }
  port.errors_at_start = read_line_errors(port.fd);
}

SharedCounts* map_shared_counts() {
  void* memory = mmap(nullptr, sizeof(SharedCounts), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : new (memory) SharedCounts{};
}

DirectionTotals totals_of(const DirectionCounts& counts, const Port& input) {
  DirectionTotals totals{counts.bytes.load(std::memory_order_relaxed),
                         counts.read_errors.load(std::memory_order_relaxed),
                         counts.write_errors.load(std::memory_order_relaxed), std::nullopt};
  const std::optional<LineErrors> now = read_line_errors(input.fd);
  if (input.errors_at_start && now) {
    totals.line_errors = line_errors_since(*input.errors_at_start, *now);
  }
  return totals;
}

// Prints both directions; true when either had an error.
bool report(const Port& port1, const Port& port2, const SharedCounts& counts) {
  const DirectionTotals forward = totals_of(counts.forward, port1);
  const DirectionTotals backward = totals_of(counts.backward, port2);
  write_summary(stdout, port1.path, port2.path, forward);
  write_summary(stdout, port2.path, port1.path, backward);
  return has_errors(forward) || has_errors(backward);
}

// The child relays port 2 to port 1 until the parent asks it to stop, and ends with the
// parent however the parent ends, so no orphan keeps a port open.
[[noreturn]] void relay_backward(Direction& backward, pid_t parent, int parent_control) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);   // cannot fail with a valid signal
  if (getppid() != parent) _exit(1);  // the parent died before the request took effect
  close(parent_control);
  // The other handled signals stay blocked here: the parent answers them for both.
  const sigset_t stop = signal_set(std::array{SIGTERM});
  const int control = signalfd(-1, &stop, SFD_CLOEXEC);
  if (control == -1) sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  relay_direction(backward, control);
  _exit(0);
}

void stop_child(pid_t child) {
  if (child <= 0) return;
  kill(child, SIGTERM);
  constexpr timespec step{0, 5'000'000};
  for (int waited = 0; waited < 200; ++waited) {  // a second at most
    if (waitpid(child, nullptr, WNOHANG) != 0) return;
    nanosleep(&step, nullptr);
  }
  kill(child, SIGKILL);
  retry_interrupted([child] { return static_cast<int>(waitpid(child, nullptr, 0)); });
}

// The next signal the control descriptor holds; 0 if it holds none.
int take_signal(int control) {
  signalfd_siginfo info{};
  const ssize_t got =
      retry_interrupted([&] { return static_cast<int>(read(control, &info, sizeof info)); });
  return got == sizeof info ? static_cast<int>(info.ssi_signo) : 0;
}

// Relays port 1 to port 2 until the run ends; 0 for the end of its duration, else the signal
// that ended it.
int relay_until_ended(Direction& forward, int control, const Port& port1, const Port& port2,
                      const SharedCounts& counts, bool timed) {
  for (;;) {
    relay_direction(forward, control);
    const int signal_number = take_signal(control);
    if (signal_number == SIGUSR1) {
      report(port1, port2, counts);
    } else if (signal_number == SIGALRM && timed) {
      return 0;
    } else if (signal_number != 0) {
      return signal_number;
    }
  }
}

}  // namespace

void claim_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd, as those below it are open by now.
    if (open("/dev/null", O_RDWR) == -1) return;
  }
}

void set_up_run(std::span<char* const> arguments, std::FILE* in, std::FILE* out, PortPath& port1,
                PortPath& port2, LineSettings& settings) {
  if (!arguments.empty()) {
    port_path_from_name(port1, arguments[0]);
    std::fprintf(out, "arg1 = %s\n", arguments[0]);
    if (arguments.size() >= 2) {
      port_path_from_name(port2, arguments[1]);
      std::fprintf(out, "arg2 = %s\n", arguments[1]);
      read_options(settings, arguments.subspan(2), out);
    }
  }
  print_settings_report(out, settings);
  write_banner(out);
  if (arguments.empty()) ask_port_paths(in, out, port1, port2);
}

int run_loop_test(const PortPath& port1_path, const PortPath& port2_path,
                  const LineSettings& settings) {
  std::printf("tty1=%s\ntty2=%s\n", port1_path.data(), port2_path.data());
  Port port1{.path = port1_path};
  Port port2{.path = port2_path};
  port1.fd = open_port(port1.path.data());
  if (port1.fd == -1) return -1;
  port2.fd = open_port(port2.path.data());
  if (port2.fd == -1) return -1;
  if (same_port(port1.fd, port2.fd)) {
    std::printf("ERROR %s and %s are the same port\n", port1.path.data(), port2.path.data());
    return -1;
  }
  for (const Port* port : {&port1, &port2}) {
    if (!lock_port(port->fd)) {
      std::printf("ERROR %s is in use\n", port->path.data());
      return -1;
    }
  }
  SharedCounts* counts = map_shared_counts();
  if (counts == nullptr) {
    std::printf("ERROR no memory\n");
    return -1;
  }

  // From here a stop arrives as a readable control descriptor, so the run can end cleanly.
  const sigset_t handled = signal_set(handled_signals);
  sigset_t unhandled;
  sigprocmask(SIG_BLOCK, &handled, &unhandled);
  const int control = signalfd(-1, &handled, SFD_CLOEXEC);
  if (control == -1) sigprocmask(SIG_SETMASK, &unhandled, nullptr);  // signals end it at once

  configure_port(port1, settings);
  configure_port(port2, settings);

  int end_signal = 0;
  pid_t child = -1;
  if (!settings.duration || *settings.duration > 0) {
    Direction forward{.in = port1.fd, .out = port2.fd, .counts = &counts->forward};
    Direction backward{.in = port2.fd, .out = port1.fd, .counts = &counts->backward};
    // Should the split fail, this process still relays port 1 to port 2.
    const pid_t parent = getpid();
    child = fork();
    if (child == 0) relay_backward(backward, parent, control);
    if (settings.duration) alarm(static_cast<unsigned>(*settings.duration));
    end_signal =
        relay_until_ended(forward, control, port1, port2, *counts, settings.duration.has_value());
  }

  // A second stop while the run cleans up ends it at once.
  alarm(0);
  const sigset_t ending = signal_set(ending_signals);
  sigprocmask(SIG_UNBLOCK, &ending, nullptr);
  stop_child(child);
  const bool failed = report(port1, port2, *counts);
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += drain_seconds;
  for (const Port* port : {&port1, &port2}) {
    if (port->saved) restore_line(port->fd, *port->saved, deadline);
  }
  if (end_signal != 0) {
    signal(end_signal, SIG_DFL);
    raise(end_signal);
  }
  return failed ? 1 : 0;
}

}  // namespace looptest
