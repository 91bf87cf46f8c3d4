#include "e2e.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "skip.h"

namespace e2e {

namespace {

const std::string& private_dev_error() {
  static const std::string error = [] {
    std::string why = testbench::enter_private_dev();
    // qemu-user 7.2 refuses PR_SET_CHILD_SUBREAPER. Under it an orphaned relay is init's to
    // reap, and has_ended sees it end all the same.
    if (why.empty() && !testbench::become_subreaper() && !testbench::emulated()) {
      why = "cannot become a subreaper";
    }
    return why;
  }();
  return error;
}

}  // namespace

void LoopTest::SetUp() {
  if (!private_dev_error().empty()) {
    SKIP_OR_FAIL_IN_CI("no virtual ports, so no end-to-end test: " << private_dev_error());
  }
}

void LoopTest::TearDown() {
  for (Program& program : programs_) testbench::stop_program(program);
  for (const std::string& path : result_paths_) unlink(path.c_str());
}

std::string LoopTest::new_result_path() {
  std::array<char, 40> name{"/tmp/looptest-result-XXXXXX"};
  const int fd = mkstemp(name.data());
  EXPECT_NE(fd, -1) << std::strerror(errno);
  if (fd != -1) close(fd);
  result_paths_.emplace_back(name.data());
  return name.data();
}

void expect_result(const std::string& path, std::string_view verdict,
                   const std::vector<std::string>& reasons, testbench::ResultLines* read) {
  const testbench::ResultLines lines = testbench::read_result_lines(
      path, std::string(LOOPTEST_SOURCE_DIR) + "/doc/result.schema.json");
  if (read != nullptr) *read = lines;
  EXPECT_EQ(lines.problems, "") << path;
  ASSERT_FALSE(lines.types.empty()) << path;
  EXPECT_EQ(lines.types.front(), "start");
  const auto ends = std::count(lines.types.begin(), lines.types.end(), "end");
  if (verdict.empty()) {
    EXPECT_EQ(ends, 0) << "a run that did not end has no end";
  } else {
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(lines.types.back(), "end");
    EXPECT_EQ(lines.verdict, verdict);
    for (const std::string& reason : reasons) {
      EXPECT_NE(std::find(lines.reasons.begin(), lines.reasons.end(), reason), lines.reasons.end())
          << reason << " is not among the reasons";
    }
  }
  if (!lines.validated) {
    SKIP_OR_FAIL_IN_CI(
        "no python3-jsonschema here (apt-get install python3-jsonschema), so "
        "the result's lines are not checked against the schema");
  }
}

VirtualPort LoopTest::make_port(std::string_view name) {
  VirtualPort port(name);
  EXPECT_TRUE(port.ok()) << port.error();
  if (port.ok()) fcntl(port.master(), F_SETFL, O_NONBLOCK);
  return port;
}

Program& LoopTest::start(const std::vector<std::string>& arguments, const testbench::Launch& launch,
                         int reader) {
  const std::vector<std::string> command = testbench::looptest_command(arguments);
  programs_.push_back(testbench::start_program(command, launch));
  EXPECT_GT(programs_.back().pid, 0) << "could not start " << testbench::looptest_binary();
  if (reader != -1) {
    fcntl(reader, F_SETFL, O_NONBLOCK);
    programs_.back().output = reader;
  }
  return programs_.back();
}

Program& LoopTest::start_other(const std::vector<std::string>& command) {
  programs_.push_back(testbench::start_program(command, Input::empty));
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
                               const std::vector<std::string>& options,
                               const testbench::Launch& launch, int reader) {
  std::vector<std::string> arguments{a.path().substr(9), b.path().substr(9)};
  arguments.insert(arguments.end(), options.begin(), options.end());
  Program& program = start(arguments, launch, reader);
  std::string output;
  EXPECT_TRUE(testbench::read_until(program.output, output, "tty2=" + b.path() + "\n", patience_ms))
      << output;
  Flow there{a.master(), b.master(), {'>'}};
  Flow back{b.master(), a.master(), {'<'}};
  EXPECT_TRUE(transfer({&there, &back}, patience_ms)) << "the relay does not start";
  return program;
}

termios attributes_of_fd(int fd) {
  termios attributes{};
  EXPECT_EQ(tcgetattr(fd, &attributes), 0);
  return attributes;
}

termios attributes_of(const VirtualPort& port) { return attributes_of_fd(port.master()); }

std::string paths(std::string_view port1, std::string_view port2) {
  return "tty1=" + std::string(port1) + "\ntty2=" + std::string(port2) + "\n";
}

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

bool ended_by(int status, int signal) { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }

int count_lines(const std::string& text, std::string_view line) {
  int count = 0;
  std::istringstream lines(text);
  for (std::string each; std::getline(lines, each);) count += each == line ? 1 : 0;
  return count;
}

std::string summary(const VirtualPort& from, const VirtualPort& to, std::size_t bytes,
                    std::string_view errors) {
  return from.path() + " -> " + to.path() + ": " + std::to_string(bytes) + " bytes, " +
         std::string(errors);
}

termios give_own_attributes(const VirtualPort& port) {
  termios own = attributes_of(port);
  own.c_lflag |= TOSTOP | NOFLSH;
  own.c_cflag |= CSTOPB | PARODD;
  own.c_cc[VMIN] = 3;
  cfsetspeed(&own, B1200);
  EXPECT_EQ(tcsetattr(port.master(), TCSANOW, &own), 0);
  return attributes_of(port);
}

void expect_same_attributes(const termios& expected, const VirtualPort& port) {
  const termios now = attributes_of(port);
  EXPECT_EQ(std::memcmp(&expected, &now, sizeof now), 0)
      << port.path() << ": c_cflag " << std::hex << now.c_cflag << " instead of "
      << expected.c_cflag << ", c_lflag " << now.c_lflag << " instead of " << expected.c_lflag;
}

Finished wait_for_end(Program& looptest) {
  Finished finished;
  EXPECT_TRUE(testbench::read_to_end(looptest.output, finished.output, patience_ms));
  finished.status = testbench::wait_for_exit(looptest.pid, patience_ms);
  return finished;
}

std::string read_all_left(const VirtualPort& port, int wait_ms) {
  std::string left;
  std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t got = read(port.master(), buffer.data(), buffer.size());
    if (got > 0) {
      left.append(buffer.data(), static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EAGAIN) {
      return left;  // EIO: the port is closed and nothing is left
    } else {
      pollfd readable{port.master(), POLLIN, 0};
      if (poll(&readable, 1, wait_ms) <= 0) return left;
    }
  }
}

std::string read_all_left(const VirtualPort& port) { return read_all_left(port, patience_ms); }

std::string read_all_left_now(const VirtualPort& port) { return read_all_left(port, 100); }

}  // namespace e2e
