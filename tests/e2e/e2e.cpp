#include "e2e.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

namespace {

const std::string& private_dev_error() {
  static const std::string error = [] {
    std::string why = testbench::enter_private_dev();
    if (why.empty() && !testbench::become_subreaper()) why = "cannot become a subreaper";
    return why;
  }();
  return error;
}

}  // namespace

void LoopTest::SetUp() {
  if (!private_dev_error().empty()) {
    GTEST_SKIP() << "no virtual ports, so no end-to-end test: " << private_dev_error();
  }
}

void LoopTest::TearDown() {
  for (Program& program : programs_) testbench::stop_program(program);
}

VirtualPort LoopTest::make_port(std::string_view name) {
  VirtualPort port(name);
  EXPECT_TRUE(port.ok()) << port.error();
  if (port.ok()) fcntl(port.master(), F_SETFL, O_NONBLOCK);
  return port;
}

Program& LoopTest::start(const std::vector<std::string>& arguments, Input input) {
  std::vector<std::string> command{testbench::looptest_binary()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  programs_.push_back(testbench::start_program(command, input));
  EXPECT_GT(programs_.back().pid, 0) << "could not start " << command[0];
  return programs_.back();
}

Finished LoopTest::run(const std::vector<std::string>& arguments, const std::string& input) {
  Program& program = start(arguments, Input::pipe);
  EXPECT_EQ(write(program.input, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(program.input);
  program.input = -1;
  Finished finished;
  EXPECT_TRUE(testbench::read_to_end(program.output, finished.output, patience_ms));
  finished.status = testbench::wait_for_exit(program.pid, patience_ms);
  return finished;
}

Program& LoopTest::start_relay(const VirtualPort& a, const VirtualPort& b,
                               const std::vector<std::string>& options) {
  std::vector<std::string> arguments{a.path().substr(9), b.path().substr(9)};
  arguments.insert(arguments.end(), options.begin(), options.end());
  Program& program = start(arguments);
  std::string output;
  EXPECT_TRUE(testbench::read_until(program.output, output, "tty2=" + b.path() + "\n", patience_ms))
      << output;
  Flow there{a.master(), b.master(), {'>'}};
  Flow back{b.master(), a.master(), {'<'}};
  EXPECT_TRUE(transfer({&there, &back}, patience_ms)) << "the relay does not start";
  return program;
}

pid_t relay_child(const Program& looptest) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::vector<pid_t> children = testbench::children_of(looptest.pid);
    if (!children.empty()) return children[0];
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

std::vector<char> test_pattern(std::size_t size, unsigned seed) {
  std::vector<char> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i + i / 256 * seed);
  return data;
}

bool transfer(const std::vector<Flow*>& flows, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::vector<pollfd> waits;
    for (Flow* flow : flows) {
      if (flow->sent < flow->data.size()) waits.push_back({flow->into, POLLOUT, 0});
      if (flow->received.size() < flow->data.size()) waits.push_back({flow->out_of, POLLIN, 0});
    }
    if (waits.empty()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 ||
        poll(waits.data(), waits.size(), static_cast<int>(left.count())) <= 0) {
      break;
    }
    for (Flow* flow : flows) {
      if (flow->sent < flow->data.size()) {
        const ssize_t written =
            write(flow->into, flow->data.data() + flow->sent, flow->data.size() - flow->sent);
        if (written > 0) flow->sent += static_cast<std::size_t>(written);
      }
      char buffer[65536];
      const ssize_t count = read(flow->out_of, buffer, sizeof buffer);
      if (count > 0) flow->received.insert(flow->received.end(), buffer, buffer + count);
    }
  }
  for (const Flow* flow : flows) {
    if (flow->received != flow->data) return false;
  }
  return true;
}

termios attributes_of(const VirtualPort& port) {
  termios attributes{};
  EXPECT_EQ(tcgetattr(port.master(), &attributes), 0);
  return attributes;
}

std::string stat_field(pid_t pid, int field) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string::npos) return {};
  std::istringstream fields(line.substr(name_end + 1));
  std::string value;
  for (int i = 3; i <= field; ++i) fields >> value;
  return value;
}

long cpu_ticks(pid_t pid) {
  return std::stol(stat_field(pid, 14)) + std::stol(stat_field(pid, 15));
}

bool nobody_holds(const VirtualPort& port) {
  pollfd far_end{port.master(), POLLIN, 0};
  return poll(&far_end, 1, 0) == 1 && (far_end.revents & POLLHUP) != 0;
}

int count_lines(const std::string& text, std::string_view line) {
  int count = 0;
  std::istringstream lines(text);
  for (std::string each; std::getline(lines, each);) count += each == line ? 1 : 0;
  return count;
}

}  // namespace e2e
