// looptest-demo: the real looptest on two virtual ports, a line sent each way through it.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "far_end.h"
#include "line_report.h"
#include "process.h"
#include "virtual_ports.h"

using namespace testbench;

namespace {

constexpr int patience_ms = 5000;

void show_output(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::printf("    | %s\n", text.substr(start, end - start).c_str());
    start = end + 1;
  }
}

// Sends a line in at one port's far end and waits for it at the other's.
bool send_through(const VirtualPort& from, const VirtualPort& to, const std::string& line) {
  std::printf("far end of %s sends:    \"%s\"\n", from.path().c_str(), line.c_str());
  Flow flow(from.master(), to.master(), std::vector<char>(line.begin(), line.end()));
  const bool arrived = transfer({&flow}, patience_ms);
  std::printf("far end of %s receives: \"%s\"  %s\n", to.path().c_str(),
              std::string(flow.received.begin(), flow.received.end()).c_str(),
              arrived ? "ok" : "MISSING");
  return arrived;
}

void show_settings(const VirtualPort& port) {
  termios attributes{};
  if (tcgetattr(port.master(), &attributes) != 0) {
    std::printf("  %s: the attributes could not be read back\n", port.path().c_str());
    return;
  }
  std::printf("  %s: %s (c_cflag %#x, c_iflag %#x)\n", port.path().c_str(),
              describe_line(attributes).c_str(), attributes.c_cflag, attributes.c_iflag);
}

// Starts looptest and shows what it prints up to the path lines; false if it did not get
// that far.
bool start_looptest(Program& looptest, const std::vector<std::string>& arguments) {
  std::string shown = "$ looptest";
  for (const std::string& argument : arguments) shown += " " + argument;
  std::printf("%s\n", shown.c_str());
  looptest = start_program(looptest_command(arguments), Input::empty);
  std::string output;
  const bool started = looptest.pid > 0 &&
                       read_until(looptest.output, output, "tty2=", patience_ms) &&
                       read_until(looptest.output, output, "\n", patience_ms);
  show_output(output);
  if (!started) std::printf("\nlooptest did not start (%s)\n", looptest_binary().c_str());
  return started;
}

// Stops looptest as an operator would and shows anything more it printed; false if a relay
// process outlived it.
bool stop_looptest(Program& looptest) {
  const std::vector<pid_t> relays = children_of(looptest.pid);
  std::printf("\nStopping looptest (SIGTERM to pid %d) ...\n", looptest.pid);
  kill(looptest.pid, SIGTERM);
  bool all_ended = wait_for_exit(looptest.pid, patience_ms) != -1;
  for (const pid_t relay : relays) all_ended = has_ended(relay, patience_ms) && all_ended;
  std::string output;
  read_to_end(looptest.output, output, patience_ms);
  show_output(output);
  stop_program(looptest);
  std::printf("%s\n",
              all_ended ? "both relay processes ended" : "a relay process was left running");
  return all_ended;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (const std::string error = enter_private_dev(); !error.empty()) {
    std::fprintf(stderr, "looptest-demo: cannot make virtual ports: %s\n", error.c_str());
    return 2;
  }
  become_subreaper();
  VirtualPort a4("a4");
  VirtualPort a5("a5");
  for (const VirtualPort* port : {&a4, &a5}) {
    if (!port->ok()) {
      std::fprintf(stderr, "looptest-demo: %s: %s\n", port->path().c_str(), port->error().c_str());
      return 2;
    }
    fcntl(port->master(), F_SETFL, O_NONBLOCK);
  }
  std::printf(
      "Two virtual serial ports, /dev/tep/a4 and /dev/tep/a5: pty pairs in a private\n"
      "/dev that only this demo sees. The demo plays the far end of both cables.\n\n");

  std::vector<std::string> arguments{"a4", "a5"};
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  Program looptest;
  if (!start_looptest(looptest, arguments)) {
    stop_program(looptest);
    return 1;
  }
  std::printf("\n");
  bool worked = send_through(a4, a5, "hello from the cable on a4");
  worked = send_through(a5, a4, "and back from the cable on a5") && worked;

  std::printf(
      "\nSettings in force, read back from the ports (a pty keeps 8 data bits and no\n"
      "parity whatever it is given; a real UART takes them all):\n");
  show_settings(a4);
  show_settings(a5);

  worked = stop_looptest(looptest) && worked;
  std::printf(worked ? "\nBoth directions worked.\n" : "\nThe loop test FAILED.\n");
  return worked ? 0 : 1;
}
