#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testbench {

namespace {

using Clock = std::chrono::steady_clock;

int milliseconds_left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// One read of what is there, waiting for it until the deadline: bytes read, 0 at the end of
// the output, -1 when the time ran out (also while a flood of output goes on).
ssize_t read_some(int fd, std::string& text, Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    std::array<char, 4096> buffer;
    const ssize_t count = read(fd, buffer.data(), buffer.size());
    if (count > 0) {
      text.append(buffer.data(), static_cast<std::size_t>(count));
      return count;
    }
    if (count == 0) return 0;
    if (errno != EAGAIN && errno != EINTR) return 0;
    pollfd readable{fd, POLLIN, 0};
    const int wait = milliseconds_left(deadline);
    if (wait == 0 || poll(&readable, 1, wait) == 0) return -1;
  }
  return -1;
}

// A seccomp filter under which clone fails with EAGAIN when it would make a process, and works
// when it makes a thread (a sanitizer's leak check needs one at exit). clone3 says it does not
// exist, so the C library falls back to clone, whose flags the filter can see.
bool make_forks_fail() {
  constexpr std::uint32_t allow = SECCOMP_RET_ALLOW;
  constexpr std::uint32_t fail = SECCOMP_RET_ERRNO | EAGAIN;
  std::array filter{
      sock_filter BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      sock_filter BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
      sock_filter BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
#ifdef __NR_fork
      sock_filter BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fork, 0, 1),
      sock_filter BPF_STMT(BPF_RET | BPF_K, fail),
#endif
      sock_filter BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 1, 0),
      sock_filter BPF_STMT(BPF_RET | BPF_K, allow),
      // The low word of the flags, on a little-endian machine.
      sock_filter BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      sock_filter BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_VM, 0, 1),
      sock_filter BPF_STMT(BPF_RET | BPF_K, allow),
      sock_filter BPF_STMT(BPF_RET | BPF_K, fail),
  };
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

Program start_program(const std::vector<std::string>& argv, const Launch& launch) {
  std::array<int, 2> output{-1, -1};
  std::array<int, 2> in{-1, -1};
  if (launch.output == -1 && pipe2(output.data(), O_CLOEXEC) != 0) return {};
  if (launch.input == Input::pipe && pipe2(in.data(), O_CLOEXEC) != 0) return {};

  const pid_t starter = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != starter) _exit(127);
    setsid();
    // The program starts as a shell would start it, whatever this process ignores or blocks.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
      std::signal(signal_number, SIG_DFL);
    }
    for (const int ignored : launch.ignored_signals) std::signal(ignored, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(launch.output == -1 ? output[1] : launch.output, STDOUT_FILENO);
    if (launch.input == Input::pipe) dup2(in[0], STDIN_FILENO);
    if (launch.input == Input::empty) {
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, STDIN_FILENO);
    }
    if (launch.input == Input::closed) close(STDIN_FILENO);
    if (launch.fork_fails && !make_forks_fail()) _exit(126);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (output[1] != -1) close(output[1]);
  if (in[0] != -1) close(in[0]);
  if (output[0] != -1) fcntl(output[0], F_SETFL, O_NONBLOCK);
  return {pid, output[0], in[1]};
}

bool read_until(int fd, std::string& text, std::string_view needle, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (text.find(needle) == std::string::npos) {
    if (read_some(fd, text, deadline) <= 0) return text.find(needle) != std::string::npos;
  }
  return true;
}

bool read_to_end(int fd, std::string& text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const ssize_t count = read_some(fd, text, deadline);
    if (count == 0) return true;
    if (count < 0) return false;
  }
}

int wait_for_exit(pid_t pid, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) return status;
    if (ended == -1 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string stat_field(pid_t pid, int field) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  // The command name in parentheses may hold blanks; the fields after it do not.
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string::npos) return {};
  std::istringstream fields(line.substr(name_end + 1));
  std::string value;
  for (int i = 3; i <= field; ++i) fields >> value;
  return value;
}

long cpu_ticks(pid_t pid) {
  const std::string user = stat_field(pid, 14);
  const std::string system = stat_field(pid, 15);
  return user.empty() || system.empty() ? 0 : std::stol(user) + std::stol(system);
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  const std::string parent = std::to_string(pid);
  while (const dirent* entry = readdir(proc)) {
    const pid_t candidate = std::atoi(entry->d_name);
    if (candidate > 0 && stat_field(candidate, 4) == parent && is_running(candidate)) {
      children.push_back(candidate);
    }
  }
  closedir(proc);
  return children;
}

pid_t wait_for_child(pid_t pid, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const std::vector<pid_t> children = children_of(pid);
    if (!children.empty()) return children[0];
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool is_running(pid_t pid) {
  const std::string state = stat_field(pid, 3);
  return !state.empty() && state != "Z";
}

long status_number(pid_t pid, std::string_view key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string label = std::string(key) + ":";
  for (std::string word; status >> word;) {
    long number = -1;
    if (word == label && status >> number) return number;
  }
  return -1;
}

long long cpu_nanoseconds(pid_t pid) {
  std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
  long long nanoseconds = -1;
  schedstat >> nanoseconds;
  return nanoseconds;
}

bool has_ended(pid_t pid, int timeout_ms) {
  // A process that is not this one's to wait for (no subreaper under an emulator) is watched.
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (wait_for_exit(pid, 0) == -1 && is_running(pid)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool become_subreaper() { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

void stop_program(Program& program) {
  if (program.pid > 0) {
    // The group holds the relay's child too, also one left behind by a killed parent,
    // which is then ours to reap as its subreaper.
    kill(-program.pid, SIGKILL);
    while (waitpid(-program.pid, nullptr, 0) > 0 || errno == EINTR) {
    }
  }
  if (program.output != -1) close(program.output);
  if (program.input != -1) close(program.input);
  program = {};
}

namespace {

// Read before main, while this process still sees the mounts it started with: once it has
// entered a private mount namespace inside a chroot, /proc/self/exe names the program by its
// path outside the chroot.
std::string own_directory() {
  std::array<char, 4096> self{};
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  const std::string path(self.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
  return path.substr(0, path.rfind('/') + 1);
}

const std::string directory_at_start = own_directory();

}  // namespace

std::string beside_this_program(std::string_view name) {
  return directory_at_start + std::string(name);
}

std::string looptest_binary() {
  if (const char* binary = std::getenv("LOOPTEST_BINARY"); binary != nullptr && *binary != 0) {
    return binary;
  }
  return beside_this_program("looptest");
}

namespace {

// How a cross build's programs are started: the emulator's words, separated by spaces.
#ifdef TESTBENCH_EMULATOR
constexpr std::string_view emulator_command = TESTBENCH_EMULATOR;
#else
constexpr std::string_view emulator_command;
#endif

std::vector<std::string> words_of(std::string_view text) {
  std::vector<std::string> words;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(' '), text.size());
    if (end > 0) words.emplace_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return words;
}

}  // namespace

bool emulated() { return !emulator_command.empty(); }

std::vector<std::string> command_for(const std::string& program) {
  std::vector<std::string> command = words_of(emulator_command);
  command.push_back(program);
  return command;
}

std::vector<std::string> looptest_command(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = command_for(looptest_binary());
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

}  // namespace testbench
