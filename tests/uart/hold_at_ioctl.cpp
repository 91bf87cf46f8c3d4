// hold_at_ioctl: runs a program and holds it still as it first calls ioctl on a port, until a
// file appears; then lets it go on and ends as it ends. So a test can act on a port in the
// moment between a program's open of the port and its first setting of it, every time:
//   hold_at_ioctl /dev/tep/a4 /tmp/go looptest a4 a5 duration=2
// prints "held" on standard error once the program stands at that ioctl. With --request=N
// first, it holds the program at its first ioctl N on the port instead (0x5415, TIOCMGET:
// the modem-line request that a USB adapter answers only after a round trip on the bus, made
// as long as a test likes). Only the program itself is followed, not the processes it starts.
// x86-64 only.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

// The tracee is at the entry of an ioctl whose descriptor leads to the port, and which makes
// the request asked for, if one was.
bool at_ioctl_on(pid_t pid, const char* port, std::optional<unsigned long> request) {
  user_regs_struct registers{};
  if (ptrace(PTRACE_GETREGS, pid, nullptr, &registers) != 0) return false;
  if (registers.orig_rax != SYS_ioctl) return false;
  if (request && (registers.rsi & 0xffffffff) != *request) return false;
  const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(registers.rdi);
  char target[PATH_MAX] = {};
  return readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strcmp(target, port) == 0;
}

void wait_for_file(const char* path) {
  while (access(path, F_OK) != 0) usleep(20000);
}

// The program's status as a shell gives it.
int status_of(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<unsigned long> request;
  if (argc > 1 && std::strncmp(argv[1], "--request=", 10) == 0) {
    request = std::strtoul(argv[1] + 10, nullptr, 0);
    ++argv;
    --argc;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: hold_at_ioctl [--request=N] PORT FILE PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  char port[PATH_MAX];
  if (realpath(argv[1], port) == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  const pid_t child = fork();
  if (child == -1) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execvp(argv[3], argv + 3);
    std::perror(argv[3]);
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) return status_of(status);
  ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  int signal_to_pass = 0;
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, child, nullptr, signal_to_pass) != 0) break;
    signal_to_pass = 0;
    while (waitpid(child, &status, 0) == -1) {
      if (errno != EINTR) return 2;
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) return status_of(status);
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      signal_to_pass = WSTOPSIG(status);
      continue;
    }
    if (!at_ioctl_on(child, port, request)) continue;
    std::fprintf(stderr, "held\n");
    wait_for_file(argv[2]);
    break;
  }
  ptrace(PTRACE_DETACH, child, nullptr, nullptr);
  while (waitpid(child, &status, 0) == -1) {
    if (errno != EINTR) return 2;
  }
  return status_of(status);
}
