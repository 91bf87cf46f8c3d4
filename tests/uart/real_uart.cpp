#include "real_uart.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "skip.h"

namespace uart {

namespace {

Guest guest_under_test;
std::string why_not;

// Boots the guest before the first test and shuts it down after the last, whatever suites
// the program has.
class Machine : public testing::Environment {
 public:
  void SetUp() override { why_not = guest_under_test.boot(board_under_test()); }
  void TearDown() override { guest_under_test.shut_down(); }
};

[[maybe_unused]] testing::Environment* const machine =
    testing::AddGlobalTestEnvironment(new Machine);

}  // namespace

long field(const std::string& probe, std::string_view name) {
  constexpr std::array<std::string_view, 16> decimal{
      "ospeed",      "lsr",       "outq",    "rx",   "tx",   "frame", "overrun",    "parity",
      "buf_overrun", "baud_base", "divisor", "ibrd", "fbrd", "brk",   "rts_before", "rts_after"};
  const int base = std::find(decimal.begin(), decimal.end(), name) != decimal.end() ? 10 : 16;
  std::istringstream words(probe);
  for (std::string word; words >> word;) {
    if (word.size() > name.size() && word.starts_with(name) && word[name.size()] == '=') {
      return std::strtol(word.c_str() + name.size() + 1, nullptr, base);
    }
  }
  return -1000;
}

namespace {

// The number that follows `before` in line; -1 where it has none.
long number_after(const std::string& line, std::string_view before) {
  const std::size_t at = line.find(before);
  return at == std::string::npos ? -1 : std::strtol(line.c_str() + at + before.size(), nullptr, 10);
}

}  // namespace

long traced_rate(const std::string& line) {
  if (line.find("pl011_baudrate_change") != std::string::npos) {
    // qemu 7.2 wires no clock to the vexpress-a9's PL011s, so it traces every rate as 0, but
    // the divisors as programmed: the rate is the board's clock over 16 x (IBRD + FBRD / 64).
    const long divisor = number_after(line, "ibrd: ") * 64 + number_after(line, "fbrd: ");
    return divisor > 0 ? (4 * vexpress_uart_clock + divisor / 2) / divisor : -1;
  }
  for (const std::string_view before : {"baudrate=", "baud rate "}) {
    if (const long rate = number_after(line, before); rate >= 0) return rate;
  }
  return -1;
}

void RealUart::SetUp() {
  if (!why_not.empty()) {
    SKIP_OR_FAIL_IN_CI("no emulated ports, so no test on " << board_under_test().uarts << ": "
                                                           << why_not);
  }
}

void RealUart::TearDown() {
  if (why_not.empty()) guest().run("killall -KILL looptest; sleep 0.3; rm -f /tmp/*");
}

Guest& RealUart::guest() { return guest_under_test; }

bool RealUart::booted() { return why_not.empty(); }

void RealUart::start(const std::string& arguments) {
  guest().run("rm -f /tmp/*");
  const Reply reply = guest().run("sh -c 'looptest " + arguments +
                                  " >/tmp/out 2>&1 & echo $! >/tmp/pid; wait $!; "
                                  "echo $? >/tmp/status' & " +
                                  std::string(until_relaying));
  ASSERT_EQ(reply.status, 0) << reply.output;
}

Reply RealUart::finish(const std::string& signal) {
  if (!signal.empty()) guest().run("kill -" + signal + " $(cat /tmp/pid)");
  guest().run("while [ ! -e /tmp/status ]; do sleep 0.1; done", 20000);
  return {guest().run("cat /tmp/out").output, guest().run("exit $(cat /tmp/status)").status};
}

std::string RealUart::probe(const std::string& port) {
  return guest().run("uart_probe " + port).output;
}

double RealUart::seconds_to_stop(const std::string& port) {
  const Reply timed = guest().run(
      "read start rest </proc/uptime; kill -TERM $(cat /tmp/pid); "
      "while [ ! -e /tmp/status ]; do sleep 0.05; done; read end rest </proc/uptime; "
      "echo \"$start $end\"; pidof looptest; uart_probe " +
      port + " >/dev/null");
  EXPECT_EQ(timed.status, 0) << "looptest still runs, or " << port
                             << " would not open: " << timed.output;
  // The shell may first report the end of an earlier job.
  std::istringstream lines(timed.output);
  for (std::string line; std::getline(lines, line);) {
    double start_time = 0;
    double end_time = 0;
    if (std::sscanf(line.c_str(), "%lf %lf", &start_time, &end_time) == 2) {
      return end_time - start_time;
    }
  }
  ADD_FAILURE() << "no times in " << timed.output;
  return -1;
}

void RealUart::expect_ten_bytes_held(const Reply& ended, const std::string& from,
                                     const std::string& to) {
  EXPECT_NE(ended.output.find("ERROR " + from + " -> " + to + " held at the end\n"),
            std::string::npos)
      << ended.output;
  EXPECT_NE(ended.output.find(from + " -> " + to +
                              ": 0 bytes, 0 read errors, 0 write errors, 0 frame errors, 0 "
                              "overruns, 0 parity errors, 0 breaks, 0 buffer overruns, 10 bytes "
                              "not delivered\n"),
            std::string::npos)
      << ended.output;
  EXPECT_EQ(ended.status, 1);
}

void RealUart::expect_programmed_and_restored(std::span<const Programming> cases) {
  const std::string before = probe("/dev/tep/a4");
  for (const Programming& c : cases) {
    start(std::string("a4 a5 ") + c.options);
    for (const char* port : {"/dev/tep/a4", "/dev/tep/a5"}) {
      const std::string line = probe(port);
      for (const auto& [name, value] : c.values) {
        EXPECT_EQ(field(line, name), value) << name << " with " << c.options << ": " << line;
      }
    }
    const Reply ended = finish("TERM");
    EXPECT_EQ(ended.output.find("ERROR"), std::string::npos) << c.options << ": " << ended.output;
    // Put back as found, on the UART too.
    const std::string after = probe("/dev/tep/a4");
    EXPECT_EQ(field(after, "cflag"), field(before, "cflag")) << c.options;
    for (const auto& [name, value] : c.values) {
      EXPECT_EQ(field(after, name), field(before, name)) << name << " after " << c.options;
    }
  }
}

std::vector<RateOutcome> RealUart::run_at_rates(std::span<const long> rates,
                                                const std::string& options) {
  std::vector<RateOutcome> outcomes;
  std::printf("%-8s | %-9s | %-19s | %s\n", "asked", "read back", "looptest said",
              "the emulator programmed");
  for (const long rate : rates) {
    RateOutcome outcome{.asked = rate};
    guest().trace_log();  // what came before
    start("a4 a5 baudrate=" + std::to_string(rate) + " " + options);
    outcome.probe = probe("/dev/tep/a4");
    outcome.read_back = field(outcome.probe, "ospeed");
    std::istringstream lines(guest().trace_log());
    for (std::string line; std::getline(lines, line);) {
      if (const long traced = traced_rate(line); traced >= 0) {
        outcome.emulated = traced;
        outcome.traced = line;
      }
    }
    const Reply ended = finish("TERM");
    outcome.refused = ended.output.find("ERROR configuring /dev/tep/a4\n") != std::string::npos;
    std::printf("%-8ld | %-9ld | %-19s | %s\n", rate, outcome.read_back,
                outcome.refused ? "ERROR configuring" : "no ERROR", outcome.traced.c_str());
    outcomes.push_back(outcome);
  }
  return outcomes;
}

}  // namespace uart
