#include "driver/run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <utility>

#include "driver/clock.h"
#include "driver/link.h"
#include "driver/messages.h"
#include "driver/ports.h"
#include "driver/relay.h"
#include "driver/signals.h"
#include "driver/summary.h"
#include "line/retry.h"

namespace looptest {

namespace {

// What both relay processes write and the first one reports.
struct SharedCounts {
  DirectionCounts forward;   // port 1 to port 2, relayed by the first process
  DirectionCounts backward;  // port 2 to port 1, relayed by the second
  std::atomic<std::uint64_t> dropped_lines{0};
};

// What interrupts the first relay: a signal, the end of the duration, the time for progress,
// or a note from the second relay.
struct Control {
  int signals = -1;   // the signals the run answers
  int timer = -1;     // readable once the duration is over
  int progress = -1;  // readable every interval
  int any = -1;       // readable when any of them is: what the relay watches
};

// Where progress was last reported.
struct ProgressMark {
  timespec at{};
  std::uint64_t forward = 0;
  std::uint64_t backward = 0;
};

struct Run {
  const LineSettings* settings = nullptr;
  Port port1;
  Port port2;
  SharedCounts* counts = nullptr;
  Control control;
  Direction forward;    // port 1 to port 2, relayed by this process
  bool relays = false;  // false for a duration of 0 or less: the ports are only set up
  pid_t second = -1;    // the second relay process, while it runs
  int link = -1;        // to the other relay process; closing it asks the second to stop now
  bool second_started = false;
  bool port_lost = false;  // a port was lost at some time: the run cannot pass
  timespec next_search{};  // when lost ports are looked for again
  timespec started{};
  ProgressMark progress{};
};

// cppcheck-suppress constParameter ; the port it returns is changed through it
Port& port_numbered(Run& run, int number) { return number == 1 ? run.port1 : run.port2; }

// The ports a direction uses, as they are now.
void point_at_ports(Direction& direction, const Port& in, const Port& out) {
  direction.in = in.fd;
  direction.out = out.fd;
  direction.retry_at.reset();
}

struct RunEnd {
  int stop = 0;              // the stop signal that ended the run; 0 when it ended by itself
  bool second_lost = false;  // the second relay ended on its own
  bool hurried = false;      // a second stop cut the end's waits short
  timespec deadline{};       // when the relays and the drivers' queues are given up on
  std::int32_t rate = 0;     // the line's, for how long a transmitter may take to empty
  OutputAtEnd at_port1{};
  OutputAtEnd at_port2{};
};

SharedCounts* map_shared_counts() {
  void* memory = mmap(nullptr, sizeof(SharedCounts), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  return new (memory) SharedCounts{};
}

bool watch(const Control& control, int fd) {
  epoll_event readable{.events = EPOLLIN, .data = {.fd = fd}};
  return epoll_ctl(control.any, EPOLL_CTL_ADD, fd, &readable) == 0;
}

bool take_control(Control& control) {
  control.signals = take_signals();
  control.timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  control.progress = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  control.any = epoll_create1(EPOLL_CLOEXEC);
  return control.signals != -1 && control.timer != -1 && control.progress != -1 &&
         control.any != -1 && watch(control, control.signals) && watch(control, control.timer) &&
         watch(control, control.progress);
}

// Timers no one can send, unlike SIGALRM.
void start_timer(int timer, std::int32_t seconds, bool repeats) {
  const timespec period{seconds, 0};
  const itimerspec times{.it_interval = repeats ? period : timespec{}, .it_value = period};
  timerfd_settime(timer, 0, &times, nullptr);
}

bool timer_expired(int timer) {
  std::uint64_t expirations = 0;
  return read(timer, &expirations, sizeof expirations) == sizeof expirations;
}

// Waits up to timeout_ms (-1: without end) for fd to become readable.
bool wait_readable(int fd, int timeout_ms) {
  pollfd watched{fd, POLLIN, 0};
  return poll(&watched, 1, timeout_ms) > 0;
}

DirectionTotals totals_so_far(const DirectionCounts& counts, const Port& input) {
  DirectionTotals totals{.bytes = counts.bytes.load(std::memory_order_relaxed),
                         .read_errors = counts.read_errors.load(std::memory_order_relaxed),
                         .write_errors = counts.write_errors.load(std::memory_order_relaxed),
                         .line_errors = std::nullopt};
  const std::optional<LineErrors> now = read_line_errors(input.fd);
  if (input.errors_at_start && now) {
    totals.line_errors = line_errors_since(*input.errors_at_start, *now);
  }
  return totals;
}

// Bytes that the output's driver threw away at the end were written, yet never delivered.
DirectionTotals totals_at_end(const DirectionCounts& counts, const Port& input,
                              const OutputAtEnd& output) {
  DirectionTotals totals = totals_so_far(counts, input);
  const std::uint64_t discarded = std::min(output.discarded, totals.bytes);
  totals.bytes -= discarded;
  totals.undelivered = counts.pending.load(std::memory_order_relaxed) + discarded;
  return totals;
}

// How long the direction's relay has waited for room at its output; 0 when it does not wait.
std::int64_t waited_milliseconds(const DirectionCounts& counts) {
  const std::int64_t since = counts.waiting_since.load(std::memory_order_relaxed);
  return since == 0 ? 0 : (nanoseconds_of(monotonic_now()) - since) / 1'000'000;
}

void print_summary(const Port& from, const Port& to, const DirectionTotals& totals) {
  print_message("%s\n", summary_line(*from.path, *to.path, totals).data());
}

void report_so_far(const Run& run) {
  print_summary(run.port1, run.port2, totals_so_far(run.counts->forward, run.port1));
  print_summary(run.port2, run.port1, totals_so_far(run.counts->backward, run.port2));
}

// After a failed pass: tells the first relay of each port that has gone; true if any has.
bool tell_lost_ports(const Run& run, int link) {
  bool lost = false;
  for (const int number : {1, 2}) {
    if (port_gone(number == 1 ? run.port1 : run.port2)) {
      send_note(link, Note::lost, number);
      lost = true;
    }
  }
  return lost;
}

// The second relay: port 2 to port 1 until the first process asks it over the link to finish
// the block in hand and end, or closes the link, which asks it to end at once. A port that has
// gone holds it until the first process sends the port again. It is never killed while it
// relays, so its counts are whole. It ends with the first process however that ends, so no
// orphan keeps a port open; it answers no signal, as the first process answers them for both.
[[noreturn]] void relay_second(Run& run, Direction& backward, pid_t first) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // cannot fail with a valid signal
  if (getppid() != first) _exit(1);  // the first died before the request took effect
  for (;;) {
    if (relay_direction(backward, run.link) == RelayEnd::failed) {
      if (!tell_lost_ports(run, run.link)) continue;
      wait_readable(run.link, -1);
    }
    const LinkMessage message = receive_note(run.link);
    if (message.note == Note::none || message.note == Note::kept) continue;
    if (message.note == Note::port) {
      Port& port = port_numbered(run, message.port);
      if (port.fd != -1) close(port.fd);
      port.fd = message.fd;
      point_at_ports(backward, run.port2, run.port1);
      continue;
    }
    if (message.note == Note::finish) write_pending(backward, run.link, drain_milliseconds);
    _exit(0);
  }
}

// Should the split fail, the first process still relays port 1 to port 2, and the end says
// that the other direction never ran.
void start_second_relay(Run& run, Direction& backward) {
  std::array<int, 2> link{-1, -1};
  if (!make_link(link)) return;
  const pid_t first = getpid();
  run.second = fork();
  if (run.second == 0) {
    for (const int fd :
         {link[0], run.control.signals, run.control.timer, run.control.progress, run.control.any}) {
      close(fd);
    }
    run.link = link[1];
    relay_second(run, backward, first);
  }
  close(link[1]);
  run.link = link[0];
  run.second_started = run.second > 0;
  if (!run.second_started) close(std::exchange(run.link, -1));
  // Should this fail, the first relay's own failures still find a lost port.
  if (run.second_started) watch(run.control, run.link);
}

// The second relay ended, if it did, and is no more to be waited for.
bool reap_second(Run& run) {
  if (run.second <= 0 || waitpid(run.second, nullptr, WNOHANG) != run.second) return false;
  run.second = -1;
  return true;
}

// Each direction's counts and its rate since the last progress lines.
void report_progress(Run& run) {
  const timespec now = monotonic_now();
  const std::int64_t elapsed_ms = std::max<std::int64_t>(
      1, (nanoseconds_of(now) - nanoseconds_of(run.progress.at)) / 1'000'000);
  const std::int64_t seconds =
      (nanoseconds_of(now) - nanoseconds_of(run.started) + 500'000'000) / 1'000'000'000;
  const DirectionTotals forward = totals_so_far(run.counts->forward, run.port1);
  const DirectionTotals backward = totals_so_far(run.counts->backward, run.port2);
  const auto rate = [elapsed_ms](std::uint64_t bytes, std::uint64_t before) {
    return (bytes - before) * 1000 / static_cast<std::uint64_t>(elapsed_ms);
  };
  print_message("%s\n", progress_line(seconds, *run.port1.path, *run.port2.path, forward,
                                      rate(forward.bytes, run.progress.forward))
                            .data());
  print_message("%s\n", progress_line(seconds, *run.port2.path, *run.port1.path, backward,
                                      rate(backward.bytes, run.progress.backward))
                            .data());
  run.progress = {now, forward.bytes, backward.bytes};
}

// A lost port is looked for again at the pace of a failed relay's retries.
void search_later(Run& run) { run.next_search = later_by(monotonic_now(), wait_milliseconds); }

void mark_lost(Run& run, Port& port) {
  if (port.lost) return;
  print_message("ERROR %s lost\n", port.path->data());
  lose_port(port);
  run.port_lost = true;
  point_at_ports(run.forward, run.port1, run.port2);
  search_later(run);
}

void look_for_lost_ports(Run& run) {
  for (Port* port : {&run.port1, &run.port2}) {
    if (!port->lost && port_gone(*port)) mark_lost(run, *port);
  }
}

// Opens each lost port again where a device is there again, and gives it to the second relay.
void search_lost_ports(Run& run) {
  for (const int number : {1, 2}) {
    Port& port = port_numbered(run, number);
    if (!port.lost || !reopen_port(port, port_numbered(run, 3 - number), *run.settings)) continue;
    print_message("%s back\n", port.path->data());
    if (run.link != -1) send_note(run.link, Note::port, number, port.fd);
  }
  point_at_ports(run.forward, run.port1, run.port2);
  search_later(run);
}

// What the second relay said: a port it found gone is checked here, as it may be back by now;
// if it is there as before, the second relay is told to carry on.
void take_notes(Run& run) {
  for (LinkMessage message = receive_note(run.link); message.note != Note::none;
       message = receive_note(run.link)) {
    if (message.note == Note::ended) {
      epoll_ctl(run.control.any, EPOLL_CTL_DEL, run.link, nullptr);
      return;
    }
    if (message.note == Note::lost) {
      Port& port = port_numbered(run, message.port);
      if (port.lost) continue;  // it gets the port when it is back
      if (port_gone(port)) {
        mark_lost(run, port);
      } else {
        send_note(run.link, Note::kept, message.port);
      }
    }
  }
}

// Relays port 1 to port 2 until a stop, the end of the duration or the end of the second
// relay ends the run; answers SIGUSR1 and the progress timer on the way, and looks for a lost
// port until it is back. While a port is lost neither direction relays.
RunEnd relay_until_ended(Run& run) {
  for (;;) {
    if (run.port1.lost || run.port2.lost) {
      if (!wait_readable(run.control.any, milliseconds_until(run.next_search))) {
        search_lost_ports(run);
        continue;
      }
    } else if (relay_direction(run.forward, run.control.any) == RelayEnd::failed) {
      look_for_lost_ports(run);
      continue;
    }
    if (timer_expired(run.control.timer)) return {};
    if (timer_expired(run.control.progress)) report_progress(run);
    if (run.link != -1) take_notes(run);
    while (const int signal_number = next_signal(run.control.signals)) {
      if (is_stop(signal_number)) return {.stop = signal_number};
      if (signal_number == SIGUSR1) report_so_far(run);
      // Only its end matters; a second relay that was stopped or continued signals too.
      if (signal_number == SIGCHLD && reap_second(run)) {
        print_message("ERROR relay %s -> %s ended\n", run.port2.path->data(),
                      run.port1.path->data());
        return {.second_lost = true};
      }
    }
  }
}

// Takes what signals arrived while the run ends: a stop hurries the end.
void take_signals_at_end(const Run& run, RunEnd& end) {
  while (const int signal_number = next_signal(run.control.signals)) {
    if (is_stop(signal_number)) end.hurried = true;
  }
}

// Waits up to timeout_ms for a signal.
void wait_at_end(const Run& run, RunEnd& end, int timeout_ms) {
  pollfd signals{run.control.signals, POLLIN, 0};
  if (poll(&signals, 1, timeout_ms) > 0) take_signals_at_end(run, end);
}

void finish_first_relay(Run& run, RunEnd& end) {
  if (run.port2.lost) return;  // what it holds is not delivered
  while (!end.hurried && !run.forward.pending.empty()) {
    const int left = milliseconds_until(end.deadline);
    if (write_pending(run.forward, run.control.signals, left) != Pass::stopped) return;
    take_signals_at_end(run, end);
  }
}

void ask_second_to_finish(const Run& run) {
  if (run.link != -1) send_note(run.link, Note::finish, 0);
}

// The second relay has until the deadline to finish its block, and a moment more to end; a
// second stop asks it to end at once. Only one that does not end is killed.
void end_second_relay(Run& run, RunEnd& end) {
  const timespec give_up = later_by(end.deadline, drain_milliseconds);
  while (run.second > 0 && !reap_second(run) && milliseconds_until(give_up) > 0) {
    if (end.hurried && run.link != -1) close(std::exchange(run.link, -1));
    wait_at_end(run, end, milliseconds_until(give_up));
  }
  if (run.link != -1) close(std::exchange(run.link, -1));
  if (run.second <= 0) return;
  kill(run.second, SIGKILL);
  retry_interrupted([&] { return static_cast<int>(waitpid(run.second, nullptr, 0)); });
  run.second = -1;
}

// Waits until done() or until, unless a second stop hurries the end. A driver tells no one
// when its queue or its transmitter runs empty, so it is asked every few milliseconds.
template <typename Done>
void wait_at_end_for(const Run& run, RunEnd& end, timespec until, Done done) {
  constexpr int poll_interval_ms = 10;
  while (!end.hurried && !done() && milliseconds_until(until) > 0) {
    wait_at_end(run, end, std::min(milliseconds_until(until), poll_interval_ms));
  }
}

// What a driver still holds once the deadline has come is thrown away, so that a line held by
// flow control cannot hold up the close; only that, as all the rest reaches the far end. What
// its transmitter holds already then leaves at the line's rate, before the restore changes it;
// a transmitter that still holds characters after that stands still. A UART that does flow
// control itself (a PL011, a 16550 with auto-CTS) holds them there, where the queue that the
// driver counts and throws away is empty.
OutputAtEnd drain_output(const Run& run, const Port& port, RunEnd& end) {
  wait_at_end_for(run, end, end.deadline, [&] { return output_queued(port.fd) == 0; });
  OutputAtEnd output{.discarded = output_queued(port.fd),
                     .transmitter_empty = transmitter_empty(port.fd)};
  if (output.discarded > 0) discard_output(port.fd);
  const int fifo = transmit_fifo_size(port.fd).value_or(16);
  const timespec sent_by = later_by(
      end.deadline, std::max(transmitter_milliseconds(end.rate, fifo), drain_milliseconds));
  const auto sent = [&] { return transmitter_empty(port.fd).value_or(true); };
  wait_at_end_for(run, end, sent_by, sent);
  output.transmitter_stalled = !end.hurried && !sent();
  return output;
}

// Both relays until the run ends; none for a duration of 0 or less.
RunEnd relay_both_ways(Run& run, const LineSettings& settings) {
  run.forward = {.in = run.port1.fd, .out = run.port2.fd, .counts = &run.counts->forward};
  run.relays = !settings.duration || *settings.duration > 0;
  if (!run.relays) return {};
  Direction backward{.in = run.port2.fd, .out = run.port1.fd, .counts = &run.counts->backward};
  start_second_relay(run, backward);
  run.started = monotonic_now();
  run.progress.at = run.started;
  if (settings.duration) start_timer(run.control.timer, *settings.duration, false);
  if (settings.interval && *settings.interval > 0) {
    start_timer(run.control.progress, *settings.interval, true);
  }
  return relay_until_ended(run);
}

// Both relays finish their blocks and the drivers send what they hold, for a bounded time.
// Every stop signal stays in the control descriptor meanwhile: a second one only hurries this.
void end_relays(Run& run, RunEnd& end, const LineSettings& settings) {
  end.deadline = later_by(monotonic_now(), drain_milliseconds);
  end.rate = settings.baudrate;
  ask_second_to_finish(run);
  finish_first_relay(run, end);
  end_second_relay(run, end);
  end.at_port2 = drain_output(run, run.port2, end);
  end.at_port1 = drain_output(run, run.port1, end);
}

// Prints what the run did and whether it can pass; true when it cannot.
bool report_end(const Run& run, const RunEnd& end) {
  const char* const path1 = run.port1.path->data();
  const char* const path2 = run.port2.path->data();
  const bool second_missing = run.relays && !run.second_started;
  if (second_missing) print_message("ERROR relay %s -> %s never started\n", path2, path1);
  const DirectionTotals forward = totals_at_end(run.counts->forward, run.port1, end.at_port2);
  const DirectionTotals backward = totals_at_end(run.counts->backward, run.port2, end.at_port1);
  const bool forward_held =
      held_at_end(forward, end.at_port2, waited_milliseconds(run.counts->forward));
  const bool backward_held =
      held_at_end(backward, end.at_port1, waited_milliseconds(run.counts->backward));
  if (forward_held) print_message("ERROR %s -> %s held at the end\n", path1, path2);
  if (backward_held) print_message("ERROR %s -> %s held at the end\n", path2, path1);
  if (const std::uint64_t dropped = run.counts->dropped_lines.load(); dropped > 0) {
    print_message("%llu lines of output dropped\n", static_cast<unsigned long long>(dropped));
  }
  print_summary(run.port1, run.port2, forward);
  print_summary(run.port2, run.port1, backward);
  // A port that never had the line settings makes the test worthless however the bytes went.
  return has_errors(forward) || has_errors(backward) || forward_held || backward_held ||
         end.second_lost || second_missing || !run.port1.configured || !run.port2.configured ||
         run.port_lost;
}

}  // namespace

int run_loop_test(const PortPath& port1_path, const PortPath& port2_path,
                  const LineSettings& settings) {
  std::printf("tty1=%s\ntty2=%s\n", port1_path.data(), port2_path.data());
  Run run;
  run.settings = &settings;
  run.port1.path = &port1_path;
  run.port2.path = &port2_path;
  if (!open_ports(run.port1, run.port2)) return -1;
  run.counts = map_shared_counts();
  if (run.counts == nullptr || !take_control(run.control)) {
    print_message("ERROR no memory\n");
    return -1;
  }
  open_message_output(run.counts->dropped_lines);
  // From here a stop arrives through the control descriptors, so the run can end cleanly.
  configure_port(run.port1, settings);
  configure_port(run.port2, settings);
  RunEnd end = relay_both_ways(run, settings);
  end_relays(run, end, settings);
  const bool failed = report_end(run, end);
  restore_port(run.port1);
  restore_port(run.port2);
  if (end.stop != 0) end_by(end.stop);
  return failed ? 1 : 0;
}

}  // namespace looptest
