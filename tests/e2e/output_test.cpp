// Output that nobody reads, or that cannot be written now, holds up no relay, and a stop only
// for as long as the end's lines wait for it; a verdict that cannot be written is no pass.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "e2e.h"

namespace e2e {
namespace {

class Output : public LoopTest {};

enum class Kind { pipe, fifo, stopped_terminal };

const char* name_of(Kind kind) {
  switch (kind) {
    case Kind::pipe:
      return "a pipe nobody reads";
    case Kind::fifo:
      return "a FIFO nobody reads";
    case Kind::stopped_terminal:
      return "a terminal whose output is stopped";
  }
  return "";
}

// Standard output as the test holds it: the end looptest writes to, the end the test reads,
// and one more description of the writing end through which the test fills it up.
struct HeldOutput {
  int writer = -1;
  int reader = -1;
  int filler = -1;
  ~HeldOutput() {
    for (const int fd : {writer, reader, filler}) {
      if (fd != -1) close(fd);
    }
  }
};

void make_output(Kind kind, HeldOutput& output) {
  if (kind == Kind::stopped_terminal) {
    ASSERT_EQ(openpty(&output.reader, &output.writer, nullptr, nullptr, nullptr), 0);
    termios raw = attributes_of_fd(output.writer);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(output.writer, TCSANOW, &raw), 0);
    return;
  }
  if (kind == Kind::fifo) {
    const char* const path = "/dev/looptest-output";
    unlink(path);
    ASSERT_EQ(mkfifo(path, 0600), 0);
    output.reader = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    output.writer = open(path, O_WRONLY | O_CLOEXEC);
    unlink(path);
  } else {
    std::array<int, 2> ends{};
    ASSERT_EQ(pipe2(ends.data(), O_CLOEXEC), 0);
    output.reader = ends[0];
    output.writer = ends[1];
  }
  ASSERT_NE(output.reader, -1);
  ASSERT_NE(output.writer, -1);
  // A description of its own, so that O_NONBLOCK stays off the one looptest is given.
  output.filler = open(("/proc/self/fd/" + std::to_string(output.writer)).c_str(),
                       O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_NE(output.filler, -1);
}

// From now on the output takes nothing.
void block(Kind kind, const HeldOutput& output) {
  if (kind == Kind::stopped_terminal) {
    ASSERT_EQ(tcflow(output.writer, TCOOFF), 0);  // as Ctrl-S does
    return;
  }
  const std::string junk(4096, '.');
  while (write(output.filler, junk.data(), junk.size()) > 0) {
  }
}

// A pipe of one page that holds all but room bytes, once the run's first lines are read.
void leave_room(const HeldOutput& output, std::size_t room) {
  ASSERT_EQ(fcntl(output.writer, F_SETPIPE_SZ, 4096), 4096);
  const std::string junk(4096 - room, '.');
  ASSERT_EQ(write(output.filler, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
}

struct Unread {
  Kind kind;
  std::vector<std::string> options;
  int stop;  ///< The signal that ends the run; 0 for the end of its duration.
};

void PrintTo(const Unread& unread, std::ostream* out) {
  *out << name_of(unread.kind) << ", ended by "
       << (unread.stop == 0 ? "its duration" : strsignal(unread.stop));
}

class UnreadOutput : public Output, public testing::WithParamInterface<Unread> {};

TEST_P(UnreadOutput, HoldsUpNeitherTheRelayNorTheStop) {
  const Unread& c = GetParam();
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  const termios a4_before = give_own_attributes(a4);
  const termios a5_before = give_own_attributes(a5);
  HeldOutput output;
  make_output(c.kind, output);
  const int flags_before = fcntl(output.writer, F_GETFL);
  Program& looptest =
      start_relay(a4, a5, c.options, {.output = output.writer}, std::exchange(output.reader, -1));
  block(c.kind, output);

  // Every report now has nowhere to go: each used to stop the first relay for good.
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(kill(looptest.pid, SIGUSR1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Flow there{a4.master(), a5.master(), test_pattern(100, 1)};
  Flow back{a5.master(), a4.master(), test_pattern(100, 2)};
  EXPECT_TRUE(transfer({&there, &back}, patience_ms))
      << there.received.size() << " and " << back.received.size() << " of 100 bytes relayed";

  if (c.stop != 0) {
    ASSERT_EQ(kill(looptest.pid, c.stop), 0);
  }
  // The end's lines wait for the output a while, then the run ends: by the stop, or, for a
  // timed run, failed, as no one could read its verdict.
  const int status = testbench::wait_for_exit(looptest.pid, patience_ms);
  if (c.stop != 0) {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.stop) << status;
  } else {
    EXPECT_TRUE(exited_with(status, 1)) << status;
  }
  expect_same_attributes(a4_before, a4);
  expect_same_attributes(a5_before, a5);
  EXPECT_EQ(fcntl(output.writer, F_GETFL), flags_before) << "the caller's description changed";
}

std::string name_of_case(const testing::TestParamInfo<Unread>& unread) {
  const char* const kinds[] = {"Pipe", "Fifo", "StoppedTerminal"};
  return std::string(kinds[static_cast<int>(unread.param.kind)]) +
         (unread.param.options.empty() ? "" : "Timed") +
         (unread.param.options.size() > 1 ? "WithProgress" : "");
}

INSTANTIATE_TEST_SUITE_P(Output, UnreadOutput,
                         testing::Values(Unread{Kind::pipe, {}, SIGTERM},
                                         Unread{Kind::fifo, {"duration=2"}, 0},
                                         Unread{Kind::stopped_terminal, {}, SIGINT},
                                         // progress lines, all dropped
                                         Unread{Kind::pipe, {"interval=1", "duration=3"}, 0}),
                         name_of_case);

TEST_F(Output, AReaderThatCatchesUpIsToldHowManyLinesWereDropped) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  HeldOutput output;
  make_output(Kind::pipe, output);
  const int reader = std::exchange(output.reader, -1);
  Program& looptest = start_relay(a4, a5, {}, {.output = output.writer}, reader);
  block(Kind::pipe, output);
  for (int* end : {&output.writer, &output.filler}) close(std::exchange(*end, -1));
  ASSERT_EQ(kill(looptest.pid, SIGUSR1), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  // The reader drains what it missed, then the run ends.
  std::string text;
  testbench::read_until(reader, text, "never printed", 200);
  ASSERT_EQ(kill(looptest.pid, SIGTERM), 0);
  text.clear();
  EXPECT_TRUE(testbench::read_to_end(reader, text, patience_ms));
  EXPECT_EQ(text,
            "2 lines of output dropped\n" + summary(a4, a5, 1) + "\n" + summary(a5, a4, 1) + "\n");
}

// The end's own lines wait for a reader that comes late: they are the verdict. Lines printed
// while relaying, which nothing may hold up, are dropped and counted instead.
struct Late {
  std::size_t room;  ///< Bytes the output takes once the run has started.
  std::vector<std::string> options;
};

void PrintTo(const Late& late, std::ostream* out) {
  *out << late.room << " bytes of room, " << late.options.back();
}

class LateReader : public Output, public testing::WithParamInterface<Late> {};

TEST_P(LateReader, TheEndsLinesWaitForIt) {
  const Late& c = GetParam();
  const bool progress = c.options.size() > 1;
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  HeldOutput output;
  make_output(Kind::pipe, output);
  const int reader = std::exchange(output.reader, -1);
  Program& looptest = start_relay(a4, a5, c.options, {.output = output.writer}, reader);
  leave_room(output, c.room);
  for (int* end : {&output.writer, &output.filler}) close(std::exchange(*end, -1));
  // The reader comes back a second and a half after the end began.
  const int duration = std::stoi(c.options.front().substr(9));
  std::this_thread::sleep_for(std::chrono::milliseconds(duration * 1000 + 1500));
  std::string text;
  EXPECT_TRUE(testbench::read_to_end(reader, text, patience_ms));
  const std::string last = summary(a4, a5, 1) + "\n" + summary(a5, a4, 1) + "\n";
  EXPECT_TRUE(text.ends_with(last))
      << text.substr(std::min(text.size(), text.find_first_not_of('.')));
  EXPECT_EQ(text.find("lines of output dropped") != std::string::npos, progress) << text;
  EXPECT_TRUE(exited_with(testbench::wait_for_exit(looptest.pid, patience_ms), 0));
}

INSTANTIATE_TEST_SUITE_P(Output, LateReader,
                         testing::Values(Late{0, {"duration=1"}}, Late{40, {"duration=1"}},
                                         Late{100, {"duration=1"}},
                                         Late{30, {"duration=3", "interval=1"}},
                                         Late{60, {"duration=3", "interval=1"}}),
                         [](const testing::TestParamInfo<Late>& late) {
                           return "Room" + std::to_string(late.param.room) +
                                  (late.param.options.size() > 1 ? "WithProgress" : "");
                         });

TEST_F(Output, AVerdictNoOneCanReadIsNoPassAndAFurtherStopEndsTheWait) {
  for (const int stops : {0, 2}) {
    SCOPED_TRACE(stops == 0 ? "ended by its duration" : "stopped twice");
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    HeldOutput output;
    make_output(Kind::pipe, output);
    Program& looptest = start_relay(a4, a5, {stops == 0 ? "duration=1" : "duration=600"},
                                    {.output = output.writer}, std::exchange(output.reader, -1));
    block(Kind::pipe, output);
    const auto started = std::chrono::steady_clock::now();
    for (int stop = 0; stop < stops; ++stop) {
      ASSERT_EQ(kill(looptest.pid, SIGTERM), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    const int status = testbench::wait_for_exit(looptest.pid, patience_ms);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (stops == 0) {
      EXPECT_TRUE(exited_with(status, 1)) << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
      EXPECT_LT(seconds, 3.0) << "the second stop did not cut the wait short";
    }
  }
}

// An output that can never take anything, a FIFO whose reader has gone or a terminal hung up
// before the start, is given up on at once: its end's lines cost no CPU while they wait.
TEST_F(Output, AnOutputThatCanNeverTakeAnythingIsNotWaitedFor) {
  for (const bool terminal : {false, true}) {
    SCOPED_TRACE(terminal ? "a terminal hung up" : "a FIFO whose reader has gone");
    const VirtualPort a4 = make_port("a4");
    const VirtualPort a5 = make_port("a5");
    int writer = -1;
    if (terminal) {
      int master = -1;
      ASSERT_EQ(openpty(&master, &writer, nullptr, nullptr, nullptr), 0);
      close(master);
    } else {
      const char* const path = "/dev/looptest-output";
      unlink(path);
      ASSERT_EQ(mkfifo(path, 0600), 0);
      const int reader = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      writer = open(path, O_WRONLY | O_CLOEXEC);
      close(reader);
      unlink(path);
    }
    ASSERT_NE(writer, -1);
    Program& looptest = start({"a4", "a5", "duration=1"}, {.output = writer});
    close(writer);
    long long cpu = 0;
    int status = -1;
    for (int waits = 0; status == -1 && waits < 300; ++waits) {
      cpu = std::max(cpu, testbench::cpu_nanoseconds(looptest.pid));
      status = testbench::wait_for_exit(looptest.pid, 50);
    }
    EXPECT_TRUE(exited_with(status, 1)) << "a verdict no one can read is no pass: " << status;
    EXPECT_LT(cpu, 1'000'000'000) << "nanoseconds of CPU";
  }
}

}  // namespace
}  // namespace e2e
