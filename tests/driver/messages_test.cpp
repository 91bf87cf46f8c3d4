#include "driver/messages.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <string>

namespace looptest {
namespace {

// Runs check in a child whose standard output is the write end of a pipe nobody reads, and
// returns the child's exit code: 0 when every expectation held, else the number of the first
// one that failed. A hang is a failure too: the pipe is full long before check ends.
template <typename Check>
int with_output_nobody_reads(Check check) {
  std::array<int, 2> ends{};
  if (pipe(ends.data()) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);  // a blocked writer ends here instead of holding up the tests
    dup2(ends[1], STDOUT_FILENO);
    _exit(check(ends[0]));
  }
  close(ends[1]);
  int status = 0;
  waitpid(child, &status, 0);
  close(ends[0]);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(Messages, LinesTheOutputCannotTakeAreDroppedAndCountedNeverWaitedFor) {
  const int result = with_output_nobody_reads([](int) {
    std::atomic<std::uint64_t> dropped{0};
    open_message_output(dropped);
    // A pipe holds 64 KiB: far fewer lines than these fill it.
    for (int i = 0; i < 2000; ++i) print_message("line %d of a report nobody reads\n", i);
    if (dropped.load() == 0) return 1;
    if (dropped.load() >= 2000) return 2;
    // The shell's description of the pipe keeps its flags.
    if ((fcntl(STDOUT_FILENO, F_GETFL) & O_NONBLOCK) != 0) return 3;
    return 0;
  });
  EXPECT_EQ(result, 0);
}

TEST(Messages, EachLineGoesOutWholeOrNotAtAll) {
  const int result = with_output_nobody_reads([](int unread) {
    std::atomic<std::uint64_t> dropped{0};
    open_message_output(dropped);
    const std::string line(300, 'x');
    for (int i = 0; i < 1000; ++i) print_message("%s\n", line.c_str());
    const std::uint64_t written = 1000 - dropped.load();
    fcntl(unread, F_SETFL, O_NONBLOCK);
    std::uint64_t bytes = 0;
    std::array<char, 4096> buffer;
    for (ssize_t got; (got = read(unread, buffer.data(), buffer.size())) > 0;) {
      bytes += static_cast<std::uint64_t>(got);
    }
    return bytes == written * (line.size() + 1) ? 0 : 1;
  });
  EXPECT_EQ(result, 0);
}

// A terminal takes part of a line when it has room for only that much: the rest of the line
// goes out before the next, so no line is ever cut short and glued to the next one.
TEST(Messages, ALineATerminalTookPartOfIsFinishedBeforeTheNext) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios raw{};
  ASSERT_EQ(tcgetattr(slave, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
  ASSERT_EQ(fcntl(master, F_SETFL, O_NONBLOCK), 0);
  const std::string line(300, 'x');
  const auto read_all = [master] {
    std::string text;
    std::array<char, 4096> buffer;
    for (ssize_t got; (got = read(master, buffer.data(), buffer.size())) > 0;) {
      text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return text;
  };
  std::string text;
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(10);
    dup2(slave, STDOUT_FILENO);
    std::atomic<std::uint64_t> dropped{0};
    open_message_output(dropped);
    for (int i = 0; i < 1000; ++i) print_message("%s\n", line.c_str());
    raise(SIGSTOP);  // the reader catches up
    print_message("next\n");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
  ASSERT_TRUE(WIFSTOPPED(status));
  text = read_all();
  ASSERT_EQ(kill(child, SIGCONT), 0);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  text += read_all();
  close(master);
  close(slave);
  ASSERT_TRUE(text.ends_with("\nnext\n")) << text.substr(text.size() > 400 ? text.size() - 400 : 0);
  // Before "next": whole lines only.
  const std::string before = text.substr(0, text.size() - 5);
  std::size_t lines = 0;
  for (std::size_t at = 0; at < before.size(); at = before.find('\n', at) + 1) {
    ASSERT_EQ(before.find('\n', at) - at, line.size()) << "line " << lines << " is cut or glued";
    ++lines;
  }
  EXPECT_GT(lines, 0u);
}

}  // namespace
}  // namespace looptest
