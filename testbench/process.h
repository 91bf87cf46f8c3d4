// process.h: starting the tool under test and watching what it prints.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace testbench {

/// What the program finds as its standard input.
enum class Input { pipe, empty, closed };

/// How a program starts, beyond its arguments.
struct Launch {
  Input input = Input::empty;
  /// Given to it as its standard output; -1 for a pipe, read through Program::output.
  int output = -1;
  /// Ignored as it starts, as nohup or a shell's background job leaves them.
  std::vector<int> ignored_signals{};
  /// Every fork it tries fails with EAGAIN, as when a user has too many processes.
  bool fork_fails = false;
};

struct Program {
  pid_t pid = -1;
  int output = -1;  ///< Read end of its standard output (non-blocking).
  int input = -1;   ///< Write end of its standard input, with Input::pipe.
};

/// Starts argv[0] in a session of its own (so no controlling terminal and its own process
/// group), with standard error inherited and every other signal at its default. It is killed
/// should this process end first, so nothing it starts outlives it.
Program start_program(const std::vector<std::string>& argv, const Launch& launch);
inline Program start_program(const std::vector<std::string>& argv, Input input) {
  return start_program(argv, Launch{.input = input});
}
/// Reads output into text until it holds needle (true), or the output ends or the time runs
/// out (false).
bool read_until(int fd, std::string& text, std::string_view needle, int timeout_ms);
/// Reads output into text until it ends (true) or the time runs out (false).
bool read_to_end(int fd, std::string& text, int timeout_ms);
/// The wait status of pid once it has ended, or -1 when it still runs after timeout_ms.
int wait_for_exit(pid_t pid, int timeout_ms);
/// Field n of /proc/PID/stat, counted from 1 as proc(5) does; empty once pid is gone.
std::string stat_field(pid_t pid, int field);
/// User and system CPU time that pid has used, in clock ticks.
long cpu_ticks(pid_t pid);
/// A number from /proc/PID/status, such as "VmRSS" (in KiB) or "voluntary_ctxt_switches";
/// -1 once pid is gone.
long status_number(pid_t pid, std::string_view key);
/// Resident memory of pid in KiB; -1 once it is gone.
inline long resident_kib(pid_t pid) { return status_number(pid, "VmRSS"); }
/// The most memory pid has had resident, in KiB.
inline long peak_resident_kib(pid_t pid) { return status_number(pid, "VmHWM"); }
/// How often pid has been switched out, waiting or preempted: its wake-ups.
inline long context_switches(pid_t pid) {
  return status_number(pid, "voluntary_ctxt_switches") +
         status_number(pid, "nonvoluntary_ctxt_switches");
}
/// The CPU time pid has used, in nanoseconds (from /proc/PID/schedstat); -1 once it is gone.
long long cpu_nanoseconds(pid_t pid);
/// The running processes whose parent is pid.
std::vector<pid_t> children_of(pid_t pid);
/// The first child of pid, waited for; -1 when none appears in time.
pid_t wait_for_child(pid_t pid, int timeout_ms);
/// Whether pid still exists and is not a zombie.
bool is_running(pid_t pid);
/// Whether pid has ended within timeout_ms; reaped here if it is this process's to reap.
bool has_ended(pid_t pid, int timeout_ms);
/// Orphaned descendants become this process's children, so they can be waited for.
bool become_subreaper();
/// Kills the program's whole process group and reaps what it can; closes its pipes.
void stop_program(Program& program);
/// The program of this name in the directory of the running program.
std::string beside_this_program(std::string_view name);
/// The binary under test: $LOOPTEST_BINARY, else "looptest" beside the running program.
std::string looptest_binary();
/// Whether the programs built here run under a user-mode emulator (a cross build's tests).
bool emulated();
/// The words that start a program built here: the emulator's first, in a cross build, so
/// that nothing depends on the host's binfmt registration. The program's pid is the pid of
/// the emulated process, as it would be of the native one.
std::vector<std::string> command_for(const std::string& program);
/// Starts the binary under test with these arguments.
std::vector<std::string> looptest_command(const std::vector<std::string>& arguments = {});

}  // namespace testbench
