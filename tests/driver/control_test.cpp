#include "driver/control.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <vector>

#include "driver/link.h"
#include "system/wait.h"

namespace looptest {
namespace {

// Takes the run's control descriptors, and gives the test process its signals back after.
class ControlEvents : public testing::Test {
 protected:
  void SetUp() override {
    sigprocmask(SIG_SETMASK, nullptr, &mask_before_);
    ASSERT_FALSE(take_control(control_)) << "no call failed";
  }
  void TearDown() override {
    for (const int fd : {control_.signals, control_.duration, control_.progress, control_.any}) {
      if (fd != -1) close(fd);
    }
    sigprocmask(SIG_SETMASK, &mask_before_, nullptr);
  }

  // The events next_event() gives until it says none, once the relay's wait would wake; the
  // notes each note event stands for are taken into notes_, as the run takes them.
  std::vector<ControlEvent> events_once_woken(int link = -1) {
    EXPECT_TRUE(wait_readable(control_.any, 5000)) << "the relay's wait never woke";
    std::vector<ControlEvent> events;
    for (ControlEvent event = next_event(control_); event.what != Event::none && events.size() < 10;
         event = next_event(control_)) {
      events.push_back(event);
      if (event.what != Event::note) continue;
      for (LinkMessage message = receive_note(link); message.note != Note::none;
           message = receive_note(link)) {
        notes_.push_back(message.note);
        if (message.note == Note::ended) {
          stop_watching_link(control_);
          break;
        }
      }
    }
    return events;
  }

  Control control_;
  std::vector<Note> notes_;
  sigset_t mask_before_{};
};

TEST_F(ControlEvents, NothingHappenedIsNone) {
  EXPECT_FALSE(wait_readable(control_.any, 0));
  EXPECT_EQ(next_event(control_).what, Event::none);
}

TEST_F(ControlEvents, AStopCarriesItsSignalAndUsr1AsksForTheSummary) {
  ASSERT_EQ(raise(SIGUSR1), 0);
  ASSERT_EQ(raise(SIGTERM), 0);  // blocked now: it waits in the descriptor, never ends us
  const std::vector<ControlEvent> events = events_once_woken();
  ASSERT_EQ(events.size(), 2u);
  // Pending signals are read lowest number first.
  EXPECT_EQ(events[0].what, Event::report);
  EXPECT_EQ(events[1].what, Event::stop);
  EXPECT_EQ(events[1].signal, SIGTERM);
}

TEST_F(ControlEvents, TheTimersAndANoteComeInTheirOrderAndOnce) {
  std::array<int, 2> link{-1, -1};
  ASSERT_TRUE(make_link(link));
  ASSERT_TRUE(watch_link(control_, link[0]));
  start_duration(control_, 1);
  start_progress(control_, 1);
  ASSERT_TRUE(send_note(link[1], Note::lost, PortNumber::two));
  sleep(1);
  const std::vector<ControlEvent> events = events_once_woken(link[0]);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].what, Event::duration);
  EXPECT_EQ(events[1].what, Event::progress);
  EXPECT_EQ(events[2].what, Event::note);
  EXPECT_EQ(notes_, std::vector<Note>{Note::lost});
  // The closed link is one note more, and then no longer watched.
  close(link[1]);
  EXPECT_EQ(events_once_woken(link[0]).size(), 1u);
  EXPECT_EQ(notes_, (std::vector<Note>{Note::lost, Note::ended}));
  EXPECT_EQ(control_.link, -1);
  EXPECT_FALSE(wait_readable(control_.any, 0));
  close(link[0]);
}

TEST_F(ControlEvents, AChildsSignalIsAnEvent) {
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) _exit(0);
  const std::vector<ControlEvent> events = events_once_woken();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].what, Event::child);
  EXPECT_EQ(waitpid(child, nullptr, 0), child);
}

}  // namespace
}  // namespace looptest
