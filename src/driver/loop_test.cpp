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
#include "line/retry.h"
#include "settings/options.h"

namespace looptest {

namespace {

struct Port {
  const PortPath& path;
  int fd = -1;
  std::optional<termios> saved{};
  std::optional<LineErrors> errors_at_start{};
  bool configured = false;
};

// Each direction's counts, written by the process that relays it and read by the parent.
struct SharedCounts {
  DirectionCounts forward;   // port 1 to port 2, relayed by the parent
  DirectionCounts backward;  // port 2 to port 1, relayed by the child
};

// The signals the parent takes through its control descriptor instead of dying of them.
constexpr std::array handled_signals{SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGUSR1, SIGCHLD};
constexpr std::array ending_signals{SIGINT, SIGTERM, SIGHUP, SIGALRM};
// How long the end waits for pending output to drain, so that a stop ends the run within a
// second even when flow control holds the line.
constexpr long drain_nanoseconds = 500'000'000;

template <std::size_t count>
sigset_t signal_set(const std::array<int, count>& signals) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : signals) sigaddset(&set, signal_number);
  return set;
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
  port.configured = configure_line(port.fd, settings, settings.baudrate);
  if (!port.configured) std::printf("ERROR configuring %s\n", port.path.data());
  port.errors_at_start = read_line_errors(port.fd);
}

// What the parent holds while the ports are in use.
struct Run {
  Port port1;
  Port port2;
  SharedCounts* counts = nullptr;
  int control = -1;  // the signals, as a descriptor
  pid_t child = -1;
  bool timed = false;
};

struct RunEnd {
  int signal_number = 0;    // the signal that ended the run; 0 when it ended by itself
  bool relay_lost = false;  // the child ended on its own
};

SharedCounts* map_shared_counts() {
  void* memory = mmap(nullptr, sizeof(SharedCounts), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  return new (memory) SharedCounts{};
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
bool report(const Run& run) {
  const DirectionTotals forward = totals_of(run.counts->forward, run.port1);
  const DirectionTotals backward = totals_of(run.counts->backward, run.port2);
  write_summary(stdout, run.port1.path, run.port2.path, forward);
  write_summary(stdout, run.port2.path, run.port1.path, backward);
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

// Relays port 1 to port 2 until a signal, the end of the duration or the loss of the other
// relay ends the run.
RunEnd relay_until_ended(Run& run, Direction& forward) {
  for (;;) {
    relay_direction(forward, run.control);
    switch (const int signal_number = take_signal(run.control)) {
      case 0:
        break;
      case SIGUSR1:
        report(run);
        break;
      case SIGCHLD:
        // Only its end matters; a child that was stopped or continued signals too.
        if (run.child > 0 && waitpid(run.child, nullptr, WNOHANG) == run.child) {
          run.child = -1;
          std::printf("ERROR relay %s -> %s ended\n", run.port2.path.data(), run.port1.path.data());
          return {.signal_number = 0, .relay_lost = true};
        }
        break;
      case SIGALRM:
        if (run.timed) return {};
        [[fallthrough]];
      default:
        return {.signal_number = signal_number};
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
  Run run{.port1 = {.path = port1_path}, .port2 = {.path = port2_path}};
  Port& port1 = run.port1;
  Port& port2 = run.port2;
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
  run.counts = map_shared_counts();
  if (run.counts == nullptr) {
    std::printf("ERROR no memory\n");
    return -1;
  }

  // From here a stop arrives as a readable control descriptor, so the run can end cleanly.
  const sigset_t handled = signal_set(handled_signals);
  sigset_t unhandled;
  sigprocmask(SIG_BLOCK, &handled, &unhandled);
  run.control = signalfd(-1, &handled, SFD_CLOEXEC);
  if (run.control == -1) sigprocmask(SIG_SETMASK, &unhandled, nullptr);  // signals end it

  configure_port(port1, settings);
  configure_port(port2, settings);

  RunEnd end;
  if (!settings.duration || *settings.duration > 0) {
    Direction forward{.in = port1.fd, .out = port2.fd, .counts = &run.counts->forward};
    Direction backward{.in = port2.fd, .out = port1.fd, .counts = &run.counts->backward};
    // Should the split fail, this process still relays port 1 to port 2.
    const pid_t parent = getpid();
    run.child = fork();
    if (run.child == 0) relay_backward(backward, parent, run.control);
    run.timed = settings.duration.has_value();
    if (run.timed) alarm(static_cast<unsigned>(*settings.duration));
    end = relay_until_ended(run, forward);
  }

  // A second stop while the run cleans up ends it at once.
  alarm(0);
  const sigset_t ending = signal_set(ending_signals);
  sigprocmask(SIG_UNBLOCK, &ending, nullptr);
  stop_child(run.child);
  // A port that never had the line settings makes the test worthless however the bytes went.
  const bool failed = report(run) || end.relay_lost || !port1.configured || !port2.configured;
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_nsec += drain_nanoseconds;
  if (deadline.tv_nsec >= 1'000'000'000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1'000'000'000;
  }
  for (const Port* port : {&port1, &port2}) {
    if (port->saved) restore_line(port->fd, *port->saved, deadline);
  }
  if (end.signal_number != 0) {
    signal(end.signal_number, SIG_DFL);
    raise(end.signal_number);
  }
  return failed ? 1 : 0;
}

}  // namespace looptest
