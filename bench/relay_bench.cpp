// relay_bench: looptest against socat, against the least relay its design allows and against
// a bare pty, each started afresh on its own virtual ports and measured interleaved; and
// looptest's own checked ring (check=on with a loop plug on each port): its rate, and its CPU
// per GiB against the plain relay's.
//
//   relay_bench [--quick] [--rounds N] [--seed N]
//
// Any byte lost, changed or added fails the run (exit 1), whatever the speed; 2 when virtual
// ports cannot be made. --quick only proves that every subject runs and loses nothing.
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "check/ring.h"
#include "far_end.h"
#include "line/line_config.h"
#include "process.h"
#include "summary_lines.h"
#include "virtual_ports.h"
#include "wired_far_ends.h"

namespace {

using Clock = std::chrono::steady_clock;
using testbench::Program;
using testbench::Stream;
using testbench::VirtualPort;

constexpr double mebibyte = 1024.0 * 1024.0;
constexpr double gibibyte = 1024.0 * mebibyte;
constexpr int stall_ms = 10000;

enum class Kind { looptest, socat, least_relay, pty_alone };

struct Subject {
  const char* name;
  Kind kind;
};

constexpr std::array<Subject, 4> subjects{{{"looptest", Kind::looptest},
                                           {"socat", Kind::socat},
                                           {"least relay", Kind::least_relay},
                                           {"pty alone", Kind::pty_alone}}};

struct Plan {
  std::uint64_t stream_bytes;
  int round_trips;
  std::array<std::pair<std::size_t, std::uint64_t>, 4> write_sizes;  // write size, bytes
  int rounds;
  int idle_seconds;
  int ring_seconds;  ///< How long the checked ring is measured for.
};

constexpr Plan full_plan{std::uint64_t{64} << 20,
                         2000,
                         {{{1, 256 << 10}, {64, 8 << 20}, {4096, 64 << 20}, {65536, 64 << 20}}},
                         5,
                         12,
                         4};
constexpr Plan quick_plan{std::uint64_t{2} << 20,
                          100,
                          {{{1, 8 << 10}, {64, 256 << 10}, {4096, 2 << 20}, {65536, 2 << 20}}},
                          1,
                          1,
                          1};

// ---- the least relay of the design: per direction, select for 5 s, read 4096, write all.

void least_direction(int in, int out) {
  std::array<char, 4096> buffer;
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(in, &readable);
    timeval wait{5, 0};
    select(in + 1, &readable, nullptr, nullptr, &wait);
    const ssize_t count = read(in, buffer.data(), buffer.size());
    for (ssize_t done = 0; done < count;) {
      const ssize_t written =
          write(out, buffer.data() + done, static_cast<std::size_t>(count - done));
      if (written <= 0) break;
      done += written;
    }
  }
}

Program start_least_relay() {
  const pid_t pid = fork();
  if (pid != 0) return {pid, -1, -1};
  setsid();
  const int port1 = open("/dev/tep/a4", O_RDWR | O_NOCTTY);
  const int port2 = open("/dev/tep/a5", O_RDWR | O_NOCTTY);
  const termios raw = looptest::line_attributes(looptest::LineSettings{}, 115200);
  if (port1 == -1 || port2 == -1 || tcsetattr(port1, TCSANOW, &raw) != 0 ||
      tcsetattr(port2, TCSANOW, &raw) != 0) {
    _exit(1);
  }
  if (fork() == 0) least_direction(port2, port1);
  least_direction(port1, port2);
  _exit(0);
}

// ---- a subject at work on its own ports.

struct Running {
  std::optional<VirtualPort> a4;
  std::optional<VirtualPort> a5;
  Program program;
  std::vector<pid_t> processes;  ///< Those whose CPU, memory and wake-ups count.
  int slave = -1;                ///< The bare pty's own end.
  // The two directions: written at *_in, read at *_out.
  int forward_in = -1;
  int forward_out = -1;
  int backward_in = -1;
  int backward_out = -1;
};

// One byte each way, so the subject has its ports open and configured.
bool passes_a_byte_each_way(const Running& running) {
  testbench::Flow there{running.forward_in, running.forward_out, {'>'}};
  testbench::Flow back{running.backward_in, running.backward_out, {'<'}};
  return testbench::transfer({&there, &back}, stall_ms);
}

bool start(Kind kind, Running& running) {
  running.a4.emplace("a4");
  running.a5.emplace("a5");
  if (!running.a4->ok() || !running.a5->ok()) return false;
  for (const VirtualPort* port : {&*running.a4, &*running.a5}) {
    fcntl(port->master(), F_SETFL, O_NONBLOCK);
  }
  running.forward_in = running.a4->master();
  running.forward_out = running.a5->master();
  running.backward_in = running.a5->master();
  running.backward_out = running.a4->master();
  switch (kind) {
    case Kind::looptest:
      running.program = testbench::start_program(testbench::looptest_command({"a4", "a5"}),
                                                 testbench::Input::empty);
      break;
    case Kind::socat:
      running.program = testbench::start_program(
          {"/usr/bin/socat", "-b4096", "/dev/tep/a4,rawer", "/dev/tep/a5,rawer"},
          testbench::Input::empty);
      break;
    case Kind::least_relay:
      running.program = start_least_relay();
      break;
    case Kind::pty_alone: {
      running.slave = open("/dev/tep/a4", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      termios raw{};
      if (running.slave == -1 || tcgetattr(running.slave, &raw) != 0) return false;
      cfmakeraw(&raw);
      if (tcsetattr(running.slave, TCSANOW, &raw) != 0) return false;
      running.forward_out = running.slave;
      running.backward_in = running.slave;
      return passes_a_byte_each_way(running);
    }
  }
  if (running.program.pid <= 0 || !passes_a_byte_each_way(running)) return false;
  running.processes.push_back(running.program.pid);
  if (kind != Kind::socat)
    running.processes.push_back(testbench::wait_for_child(running.program.pid, stall_ms));
  return true;
}

void stop(Running& running) {
  testbench::stop_program(running.program);
  if (running.slave != -1) close(running.slave);
  running.processes.clear();
  running.a4.reset();
  running.a5.reset();
}

long long cpu_of(const Running& running) {
  long long sum = 0;
  for (const pid_t pid : running.processes) sum += testbench::cpu_nanoseconds(pid);
  return sum;
}

// ---- the measures: one value per subject per round.

using Samples =
    std::map<std::string, std::map<std::string, std::vector<double>>>;  // measure, subject

struct Round {
  const Plan& plan;
  Samples& samples;
  bool intact = true;
  void add(const std::string& measure, const Subject& subject, double value) {
    samples[measure][subject.name].push_back(value);
  }
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Streams one way or both, every byte checked; records throughput and CPU per GiB.
void measure_streams(Round& round, const Subject& subject, const Running& running, bool both,
                     std::size_t write_size, std::uint64_t bytes, const std::string& label) {
  std::vector<Stream> streams{{running.forward_in, running.forward_out, 1, bytes, write_size}};
  if (both) streams.emplace_back(running.backward_in, running.backward_out, 2, bytes, write_size);
  const long long cpu_before = cpu_of(running);
  const auto start = Clock::now();
  const bool moved = testbench::move_streams(streams, stall_ms);
  const double seconds = seconds_since(start);
  const double cpu = static_cast<double>(cpu_of(running) - cpu_before) / 1e9;
  if (!moved) {
    std::fprintf(stderr, "%s: %s lost, changed or added bytes\n", subject.name, label.c_str());
    round.intact = false;
    return;
  }
  const double total = static_cast<double>(bytes) * static_cast<double>(streams.size());
  round.add(label + ", MiB/s per direction", subject,
            static_cast<double>(bytes) / mebibyte / seconds);
  if (both) round.add(label + ", MiB/s in all", subject, total / mebibyte / seconds);
  if (subject.kind != Kind::pty_alone) {
    round.add(label + ", CPU s per GiB", subject, cpu / (total / gibibyte));
  }
}

bool read_exactly(int fd, std::span<char> into) {
  std::size_t got = 0;
  while (got < into.size()) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, stall_ms) <= 0) return false;
    const ssize_t count = read(fd, into.data() + got, into.size() - got);
    if (count > 0) got += static_cast<std::size_t>(count);
  }
  return true;
}

// Round trips of size bytes, there and back; records p50 and p99 in microseconds.
void measure_latency(Round& round, const Subject& subject, const Running& running,
                     std::size_t size) {
  std::vector<char> message(size);
  std::vector<char> echoed(size);
  std::vector<double> microseconds;
  for (int trip = 0; trip < round.plan.round_trips; ++trip) {
    for (std::size_t i = 0; i < size; ++i) message[i] = static_cast<char>(trip + i);
    const auto start = Clock::now();
    const bool whole =
        write(running.forward_in, message.data(), size) == static_cast<ssize_t>(size) &&
        read_exactly(running.forward_out, echoed) &&
        write(running.backward_in, echoed.data(), size) == static_cast<ssize_t>(size) &&
        read_exactly(running.backward_out, echoed);
    microseconds.push_back(seconds_since(start) * 1e6);
    if (!whole || echoed != message) {
      std::fprintf(stderr, "%s: a %zu-byte round trip went wrong\n", subject.name, size);
      round.intact = false;
      return;
    }
  }
  std::sort(microseconds.begin(), microseconds.end());
  const std::string label = "round trip " + std::to_string(size) + " B, µs";
  round.add(label + " p50", subject, microseconds[microseconds.size() / 2]);
  round.add(label + " p99", subject, microseconds[microseconds.size() * 99 / 100]);
}

// What a run's two summary lines say now, asked for with SIGUSR1: the bytes both directions
// moved (with the check on, checked), and whether the check counted no fault.
struct Moved {
  std::uint64_t bytes = 0;
  bool faultless = false;
};

Moved moved_so_far(Program& looptest, bool checking) {
  kill(looptest.pid, SIGUSR1);
  std::string output;
  int lines = 0;
  while (lines < 2) {
    std::string more;
    if (!testbench::read_until(looptest.output, more, "\n", stall_ms)) break;
    for (const testbench::Summary& line : testbench::summaries_in(more)) {
      if (line.progress_seconds) continue;
      ++lines;
      output += more;
    }
  }
  Moved moved{.faultless = lines == 2};
  for (const testbench::Summary& line : testbench::summaries_in(output)) {
    if (!checking) {
      moved.bytes += line.bytes;
      continue;
    }
    const std::vector<std::uint64_t> counts = line.check.value_or(std::vector<std::uint64_t>(4));
    moved.bytes += counts[0];
    moved.faultless = moved.faultless && line.check && counts[1] + counts[2] + counts[3] == 0;
  }
  return moved;
}

// A ring round a loop plug on each port: looptest's own checked stream (check=on), or, for the
// plain relay, as many bytes as the checked ring holds, sent in once, going round and round.
// Records what it moves a second, and the CPU of looptest's two processes per GiB: the same
// traffic either way, so the two tell what checking costs.
void measure_ring(Round& round, const Subject& subject, bool checking) {
  const std::string name = checking ? "checked ring" : "plain ring";
  VirtualPort a4("a4");
  VirtualPort a5("a5");
  if (!a4.ok() || !a5.ok()) {
    round.intact = false;
    return;
  }
  const testbench::WiredFarEnds plugs(a4, a5, testbench::Wired::loops);
  std::vector<std::string> arguments{"a4", "a5"};
  if (checking) arguments.emplace_back("check=on");
  Program looptest =
      testbench::start_program(testbench::looptest_command(arguments), testbench::Input::empty);
  std::string said;
  const bool started =
      testbench::read_until(looptest.output, said, checking ? "wiring: " : "tty2=", stall_ms);
  const pid_t second = started ? testbench::wait_for_child(looptest.pid, stall_ms) : -1;
  if (!checking && second > 0) {
    const std::vector<char> ring =
        testbench::test_pattern(static_cast<std::size_t>(looptest::ring_fill({})), 7);
    std::size_t sent = 0;
    while (sent < ring.size()) {
      const ssize_t written = write(a4.master(), ring.data() + sent, ring.size() - sent);
      if (written > 0) sent += static_cast<std::size_t>(written);
    }
  }
  if (!started || second <= 0) {
    std::fprintf(stderr, "%s: the %s did not start\n", subject.name, name.c_str());
    round.intact = false;
    testbench::stop_program(looptest);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // under way
  Running counted;
  counted.processes = {looptest.pid, second};
  const Moved before = moved_so_far(looptest, checking);
  const long long cpu_before = cpu_of(counted);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(round.plan.ring_seconds));
  const Moved after = moved_so_far(looptest, checking);
  const double cpu = static_cast<double>(cpu_of(counted) - cpu_before) / 1e9;
  const double seconds = seconds_since(start);
  testbench::stop_program(looptest);
  if (!after.faultless || after.bytes <= before.bytes) {
    std::fprintf(stderr, "%s: the %s counted a fault, or moved nothing\n", subject.name,
                 name.c_str());
    round.intact = false;
    return;
  }
  const double moved = static_cast<double>(after.bytes - before.bytes);
  round.add(name + ", MiB/s per direction", subject, moved / 2 / mebibyte / seconds);
  round.add(name + ", CPU s per GiB", subject, cpu / (moved / gibibyte));
}

void measure_subject(Round& round, const Subject& subject) {
  Running running;
  if (!start(subject.kind, running)) {
    std::fprintf(stderr, "%s did not start\n", subject.name);
    round.intact = false;
    stop(running);
    return;
  }
  const Plan& plan = round.plan;
  measure_streams(round, subject, running, true, 16384, plan.stream_bytes, "both ways");
  measure_streams(round, subject, running, false, 16384, plan.stream_bytes, "one way");
  for (const std::size_t size : {std::size_t{1}, std::size_t{64}}) {
    measure_latency(round, subject, running, size);
  }
  for (const auto& [write_size, bytes] : plan.write_sizes) {
    measure_streams(round, subject, running, false, write_size, bytes,
                    "writes of " + std::to_string(write_size) + " B");
  }
  if (!running.processes.empty()) {
    long peak = 0;
    for (const pid_t pid : running.processes) peak += testbench::peak_resident_kib(pid);
    round.add("peak resident memory, KiB", subject, static_cast<double>(peak));
  }
  stop(running);
  if (subject.kind == Kind::looptest) {
    measure_ring(round, subject, false);
    measure_ring(round, subject, true);
  }
}

void measure_idle(const Plan& plan, Samples& samples, const Subject& subject) {
  Running running;
  if (!start(subject.kind, running)) {
    stop(running);
    return;
  }
  long switches = 0;
  for (const pid_t pid : running.processes) switches -= testbench::context_switches(pid);
  const long long cpu_before = cpu_of(running);
  std::this_thread::sleep_for(std::chrono::seconds(plan.idle_seconds));
  for (const pid_t pid : running.processes) switches += testbench::context_switches(pid);
  const double seconds = plan.idle_seconds;
  samples["idle, wake-ups per s"][subject.name].push_back(static_cast<double>(switches) / seconds);
  samples["idle, CPU ms per s"][subject.name].push_back(
      static_cast<double>(cpu_of(running) - cpu_before) / 1e6 / seconds);
  stop(running);
}

// ---- the report.

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string figure(double value) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(),
                value >= 100  ? "%.0f"
                : value >= 10 ? "%.1f"
                              : "%.2f",
                value);
  return text.data();
}

std::string spread(const std::vector<double>& values) {
  if (values.empty()) return "-";
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  if (values.size() == 1) return figure(values[0]);
  return figure(median(values)) + " (" + figure(*low) + "-" + figure(*high) + ")";
}

// looptest's value over another's, round by round.
std::vector<double> ratios(const std::map<std::string, std::vector<double>>& row,
                           const char* other) {
  std::vector<double> result;
  const auto mine = row.find("looptest");
  const auto theirs = row.find(other);
  if (mine == row.end() || theirs == row.end()) return result;
  for (std::size_t i = 0; i < std::min(mine->second.size(), theirs->second.size()); ++i) {
    if (theirs->second[i] > 0) result.push_back(mine->second[i] / theirs->second[i]);
  }
  return result;
}

void print_table(const Samples& samples) {
  std::printf(
      "| measure | looptest | socat | least relay | pty alone | looptest / socat | "
      "looptest / least relay |\n|---|---|---|---|---|---|---|\n");
  for (const auto& [measure, row] : samples) {
    std::printf("| %s |", measure.c_str());
    for (const Subject& subject : subjects) {
      const auto found = row.find(subject.name);
      std::printf(" %s |", found == row.end() ? "-" : spread(found->second).c_str());
    }
    std::printf(" %s | %s |\n", spread(ratios(row, "socat")).c_str(),
                spread(ratios(row, "least relay")).c_str());
  }
}

struct Target {
  const char* what;
  const char* measure;
  const char* other;  ///< nullptr: an absolute bound on looptest's own value
  double bound;
  bool at_least;
};

constexpr std::array<Target, 11> targets{{
    {"both ways >= 1.0x socat", "both ways, MiB/s per direction", "socat", 1.0, true},
    {"one way >= 1.1x socat", "one way, MiB/s per direction", "socat", 1.1, true},
    {"both ways >= 0.97x least relay", "both ways, MiB/s per direction", "least relay", 0.97, true},
    {"one way >= 0.97x least relay", "one way, MiB/s per direction", "least relay", 0.97, true},
    {"1-byte round trip p50 <= 0.9x socat", "round trip 1 B, µs p50", "socat", 0.9, false},
    {"1-byte round trip p50 <= 1.05x least relay", "round trip 1 B, µs p50", "least relay", 1.05,
     false},
    {"CPU per GiB <= socat", "both ways, CPU s per GiB", "socat", 1.0, false},
    {"peak memory <= 0.6x socat", "peak resident memory, KiB", "socat", 0.6, false},
    {"idle <= 0.4 wake-ups/s", "idle, wake-ups per s", nullptr, 0.4, false},
    {"idle CPU <= 1 ms/s", "idle, CPU ms per s", nullptr, 1.0, false},
    // The other of this one is a measure of looptest's own: the plain relay's, both ways.
    {"checked ring CPU per GiB <= 1.3x plain ring", "checked ring, CPU s per GiB",
     "plain ring, CPU s per GiB", 1.3, false},
}};

void print_targets(const Samples& samples) {
  std::printf("\ntargets (medians):\n");
  for (const Target& target : targets) {
    const auto row = samples.find(target.measure);
    if (row == samples.end()) continue;
    std::vector<double> values;
    if (const auto plain = samples.find(target.other == nullptr ? "" : target.other);
        plain != samples.end()) {
      // looptest's own measure against another of its own, round by round.
      const auto mine = row->second.find("looptest");
      const auto base = plain->second.find("looptest");
      if (mine != row->second.end() && base != plain->second.end()) {
        for (std::size_t i = 0; i < std::min(mine->second.size(), base->second.size()); ++i) {
          values.push_back(mine->second[i] / base->second[i]);
        }
      }
    } else if (target.other != nullptr) {
      values = ratios(row->second, target.other);
    } else if (const auto mine = row->second.find("looptest"); mine != row->second.end()) {
      values = mine->second;
    }
    if (values.empty()) {
      std::printf("  %-45s not measured\n", target.what);
      continue;
    }
    const double value = median(values);
    const bool met = target.at_least ? value >= target.bound : value <= target.bound;
    std::printf("  %-45s %-6s (%s)\n", target.what, met ? "met" : "MISSED", figure(value).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Plan plan = full_plan;
  bool quick = false;
  unsigned seed = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--quick") {
      plan = quick_plan;
      quick = true;
    } else if (argument == "--rounds" && i + 1 < argc) {
      plan.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (argument == "--seed" && i + 1 < argc) {
      seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: relay_bench [--quick] [--rounds N] [--seed N]\n");
      return 2;
    }
  }
  if (const std::string why = testbench::enter_private_dev(); !why.empty()) {
    std::fprintf(stderr, "relay_bench: no virtual ports: %s\n", why.c_str());
    return 2;
  }
  testbench::become_subreaper();
  std::vector<Subject> order(subjects.begin(), subjects.end());
  if (access("/usr/bin/socat", X_OK) != 0) {
    std::fprintf(stderr, "socat is missing (apt-get install socat): measuring without it\n");
    std::erase_if(order, [](const Subject& s) { return s.kind == Kind::socat; });
  }

  Samples samples;
  bool intact = true;
  std::mt19937 shuffle(seed);
  for (int number = 1; number <= plan.rounds; ++number) {
    std::shuffle(order.begin(), order.end(), shuffle);
    std::fprintf(stderr, "round %d of %d:", number, plan.rounds);
    Round round{plan, samples};
    for (const Subject& subject : order) {
      std::fprintf(stderr, " %s", subject.name);
      measure_subject(round, subject);
    }
    std::fprintf(stderr, "\n");
    intact = intact && round.intact;
  }
  std::fprintf(stderr, "idle, %d s each:", plan.idle_seconds);
  for (const Subject& subject : order) {
    if (subject.kind == Kind::pty_alone) continue;
    std::fprintf(stderr, " %s", subject.name);
    measure_idle(plan, samples, subject);
  }
  std::fprintf(stderr, "\n\n");

  std::printf("%d round(s), subjects in random order (seed %u); median (min-max) over rounds\n\n",
              plan.rounds, seed);
  print_table(samples);
  // A run of a few seconds says nothing about the targets, so it does not judge them.
  if (quick) {
    std::printf("\ntargets: not judged by a quick run (run relay_bench without --quick)\n");
  } else {
    print_targets(samples);
  }
  if (!intact) {
    std::printf("\nFAILED: a subject lost, changed or added bytes, or did not run\n");
    return 1;
  }
  std::printf("\nno byte lost, changed or added\n");
  return 0;
}
