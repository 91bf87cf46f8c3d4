#include "driver/split.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

#include "driver/link.h"
#include "driver/signals.h"
#include "system/wait.h"

namespace looptest {
namespace {

using Clock = std::chrono::steady_clock;

// The first process's hold on the second relay, with stand-ins forked for it.
class Split : public testing::Test {
 protected:
  void SetUp() override {
    sigprocmask(SIG_SETMASK, nullptr, &mask_before_);
    signals_ = take_signals();
    ASSERT_NE(signals_, -1);
  }
  void TearDown() override {
    close(signals_);
    sigprocmask(SIG_SETMASK, &mask_before_, nullptr);
  }

  // A stand-in for the second relay: it ends when asked to finish, or when the link closes,
  // unless told to ignore both.
  static SecondRelay fork_second(bool ignores) {
    std::array<int, 2> link{-1, -1};
    EXPECT_TRUE(make_link(link));
    const pid_t child = fork();
    if (child == 0) {
      close(link[0]);
      for (;;) {
        wait_readable(link[1], -1);
        const Note note = receive_note(link[1]).note;
        if (!ignores && (note == Note::finish || note == Note::ended)) _exit(0);
        if (note == Note::ended) pause();
      }
    }
    close(link[1]);
    return {.pid = child, .link = link[0], .started = true};
  }

  int signals_ = -1;
  sigset_t mask_before_{};
};

TEST_F(Split, ASecondRelayThatFinishesEndsByItselfAndOneThatDoesNotIsKilled) {
  for (const bool ignores : {false, true}) {
    SecondRelay second = fork_second(ignores);
    const pid_t pid = second.pid;
    ask_second_to_finish(second);
    const Clock::time_point start = Clock::now();
    EndWaits end = start_end(signals_, 9600);
    EXPECT_EQ(end_second_relay(second, end), ignores) << "killed";
    EXPECT_EQ(second.pid, -1) << "reaped";
    EXPECT_EQ(second.link, -1) << "closed";
    EXPECT_EQ(second.ended_badly, ignores);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Killed only once its moment past the deadline has gone.
    if (ignores) {
      EXPECT_GE(seconds, 2 * drain_milliseconds / 1000.0 - 0.01);
    }
    EXPECT_LT(seconds, 5.0);
  }
}

TEST_F(Split, OnlyTheEndOfTheSecondRelayIsReapedAndItSaysWhy) {
  SecondRelay second = fork_second(true);
  // A relay that is stopped has not ended.
  ASSERT_EQ(kill(second.pid, SIGSTOP), 0);
  EXPECT_FALSE(reap_second(second));
  ASSERT_EQ(kill(second.pid, SIGKILL), 0);
  for (int tries = 0; tries < 500 && !reap_second(second); ++tries) usleep(10'000);
  EXPECT_EQ(second.pid, -1) << "reaped, and no more to be waited for";
  EXPECT_TRUE(second.ended_badly);
  EXPECT_EQ(std::string(second_relay_reason(second).data()), ": killed by signal 9 (Killed)");
  hurry_second(second);

  errno = EAGAIN;
  const SecondRelay never{.failed_call = "fork", .error = EAGAIN};
  EXPECT_EQ(std::string(second_relay_reason(never).data()),
            ": fork: Resource temporarily unavailable");
}

}  // namespace
}  // namespace looptest
