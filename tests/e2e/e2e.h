// e2e.h: running the real looptest on virtual ports, and playing the far ends of the cables.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <deque>
#include <string>
#include <vector>

#include "far_end.h"
#include "process.h"
#include "result_lines.h"
#include "summary_lines.h"
#include "virtual_ports.h"

namespace e2e {

using testbench::cpu_ticks;
using testbench::Flow;
using testbench::held_open;
using testbench::Input;
using testbench::Program;
using testbench::stat_field;
using testbench::Stream;
using testbench::test_pattern;
using testbench::transfer;
using testbench::VirtualPort;

inline constexpr int patience_ms = 10000;  // generous: only a broken tool takes this long

inline const std::string default_report =
    "Installed values\n"
    "Baudrate = 115200\n"
    "Databits = 8\n"
    "Stopbits = 1\n"
    "Parity = none\n"
    "Flowcontrol = hardware\n";
inline const std::string banner = "Async loop test: (s1..sN - scc ports; a1..aN - cd ports \n";
inline const std::string prompts = "Please, enter the first port: Please, enter the second port: ";

struct Finished {
  std::string output;
  int status = -1;  ///< The wait status, -1 if it did not end.
};

/// Each test runs in a private /dev (entered once per process) and ends every looptest it
/// started, with all of its processes.
class LoopTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Makes /dev/tep/NAME, its far end non-blocking.
  VirtualPort make_port(std::string_view name);
  /// Starts looptest with these arguments. With launch.output given, output is read from
  /// reader instead of a pipe.
  Program& start(const std::vector<std::string>& arguments, const testbench::Launch& launch,
                 int reader = -1);
  Program& start(const std::vector<std::string>& arguments, Input input = Input::empty) {
    return start(arguments, testbench::Launch{.input = input});
  }
  /// Runs looptest to its end, with this text as standard input (then end of input).
  Finished run(const std::vector<std::string>& arguments, const std::string& input = "");
  /// Starts "looptest a b options...", waits for the path lines and for one byte to cross
  /// each way, so that both ports are configured and both relays run.
  /// Starts another program, which ends with the test as looptest does.
  Program& start_other(const std::vector<std::string>& command);
  Program& start_relay(const VirtualPort& a, const VirtualPort& b,
                       const std::vector<std::string>& options = {},
                       const testbench::Launch& launch = {}, int reader = -1);
  /// A path for a run's result file, new at each call and removed with the test.
  std::string new_result_path();

 private:
  std::deque<Program> programs_;
  std::vector<std::string> result_paths_;
};

/// The port's attributes, read through its far end.
termios attributes_of(const VirtualPort& port);
/// The attributes of the terminal fd refers to.
termios attributes_of_fd(int fd);
/// The two path lines a run prints before it opens the ports.
std::string paths(std::string_view port1, std::string_view port2);
/// Whether a wait status says the program exited with code.
bool exited_with(int status, int code);
/// Whether a wait status says the process was ended by signal.
bool ended_by(int status, int signal);
/// Counts the lines equal to line in text.
int count_lines(const std::string& text, std::string_view line);

/// Every line of the result file at path is whole JSON that doc/result.schema.json takes, the
/// first a start. With verdict, the last is an end of that verdict that lists each of reasons
/// (and maybe more); with verdict empty, there is no end. The lines read go to read, if given.
/// Without python3-jsonschema, the schema is not checked and the test skips (fails in CI).
void expect_result(const std::string& path, std::string_view verdict,
                   const std::vector<std::string>& reasons = {},
                   testbench::ResultLines* read = nullptr);

/// A summary line as the run prints it, without its newline.
std::string summary(const VirtualPort& from, const VirtualPort& to, std::size_t bytes,
                    std::string_view errors = "0 read errors, 0 write errors");
/// Gives the port attributes no run would choose, so that a restore shows; a pty keeps all of
/// them, and none alters the bytes start_relay sends before the ports are configured.
termios give_own_attributes(const VirtualPort& port);
/// The port's attributes are these, byte for byte.
void expect_same_attributes(const termios& expected, const VirtualPort& port);
/// Reads looptest's output to its end and waits for it to exit.
Finished wait_for_end(Program& looptest);
/// Everything the far end can still read, up to the port's hang-up.
std::string read_all_left(const VirtualPort& port);
/// What the far end can read until it has been quiet for wait_ms, or the port hangs up.
std::string read_all_left(const VirtualPort& port, int wait_ms);
/// What the far end can read now, within a moment.
std::string read_all_left_now(const VirtualPort& port);

}  // namespace e2e
