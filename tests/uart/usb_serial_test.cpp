// USB serial adapters (FTDI FT232, qemu's usb-serial behind an xHCI controller, Linux's
// ftdi_sio), named /dev/tep/a4 and a5 by the guest's mdev rules (dist/mdev/mdev.conf) after
// the USB port they are plugged into. Unlike a pty, an adapter pulled out is hung up first
// (reads return 0, writes fail with EIO) and its node goes a moment later; plugged back in, it
// takes the lowest free ttyUSB number, and only the rule's link follows it. Unlike a UART, it
// opens with the driver's own attributes (canonical, echo), and its driver refuses 5 and 6
// data bits. qemu's model sends every byte at once whatever the rate, has no flow control,
// reads CTS, DSR and DCD up, and never reports its transmitter empty.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "real_uart.h"

namespace uart {

const Board& board_under_test() { return pc_with_usb_adapters; }

namespace {

using namespace std::chrono_literals;

// The character-size, parity, stop-bit and flow-control bits of c_cflag (the kernel's
// values: CSIZE, CSTOPB, PARENB, PARODD, CRTSCTS, CMSPAR).
constexpr long line_bits = 0x30 | 0x40 | 0x100 | 0x200 | 0x80000000 | 0x40000000;
constexpr long cs5 = 0x00;
constexpr long cs6 = 0x10;
constexpr long cs7 = 0x20;
constexpr long cs8 = 0x30;
constexpr long two_stop_bits = 0x40;
constexpr long parity = 0x100;
constexpr long odd = 0x200;
constexpr long stick = 0x40000000;
constexpr long rts_cts = 0x80000000;

/// The most a far end sending as fast as the adapter takes it gets echoed by one open of the
/// adapter's driver, before any program has the port: what qemu's model holds (448 bytes, all
/// passed on once the driver reads) and what comes in the driver's own round trips. A program
/// that does nothing but open the port and set it (stty) is echoed up to some hundred bytes
/// too; what the tool lets through once it has the port is pinned apart, at 64 bytes.
constexpr std::size_t echo_of_one_open = 1024;

/// A far end that sends numbered lines ("a4 000017 ...\n") until stopped, a line every
/// `pause`; it waits while qemu does not take them (an adapter pulled out), and keeps what it
/// sent to compare.
class Sender {
 public:
  Sender(int fd, std::string name, std::chrono::microseconds pause, std::string extra = "")
      : fd_(fd), name_(std::move(name)), extra_(std::move(extra)), pause_(pause) {
    thread_ = std::jthread([this](const std::stop_token& stop) { send_until(stop); });
  }
  /// Holds it between two lines, or lets it go on.
  void pause(bool paused) { paused_ = paused; }
  /// Stops it and returns all it sent.
  std::string stop() {
    thread_.request_stop();
    thread_.join();
    return sent_;
  }

 private:
  void send_until(const std::stop_token& stop) {
    for (int number = 0; !stop.stop_requested(); ++number) {
      char numbered[32];
      std::snprintf(numbered, sizeof numbered, "%s %06d ", name_.c_str(), number);
      const std::string line = numbered + extra_ + "\n";
      sent_ += line;
      std::string_view rest = line;
      while (!rest.empty() && !stop.stop_requested()) {
        pollfd writable{fd_, POLLOUT, 0};
        if (poll(&writable, 1, 100) <= 0) continue;
        const ssize_t written = write(fd_, rest.data(), rest.size());
        if (written <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(written));
      }
      // A line cut short by the stop is not counted as sent.
      if (!rest.empty()) sent_.resize(sent_.size() - rest.size());
      do {
        std::this_thread::sleep_for(pause_);
      } while (paused_ && !stop.stop_requested());
    }
  }
  int fd_;
  std::string name_;
  std::string extra_;
  std::chrono::microseconds pause_;
  std::string sent_;
  std::atomic<bool> paused_ = false;
  std::jthread thread_;
};

/// How received is made of sent: runs of consecutive bytes of it, in order, and bytes that
/// were not sent (or not in their order).
struct InOrder {
  int runs = 0;
  std::size_t foreign = 0;
};

InOrder in_order(const std::string& sent, const std::string& received) {
  InOrder found;
  std::size_t at = std::string::npos;  // in sent, where the next received byte should be
  for (std::size_t i = 0; i < received.size(); ++i) {
    if (at != std::string::npos && at < sent.size() && sent[at] == received[i]) {
      ++at;
      continue;
    }
    // A new run starts where its first bytes are found, after the last run: the numbers make
    // 16 bytes unique.
    const std::size_t start = sent.find(received.substr(i, 16), at == std::string::npos ? 0 : at);
    if (start == std::string::npos) {
      ++found.foreign;
      continue;
    }
    at = start + 1;
    ++found.runs;
  }
  return found;
}

/// How many runs of consecutive bytes of `sent` make up `received`, in order: 0 for nothing
/// received, -1 when something arrived that was not sent, or not in its order.
int runs_in_order(const std::string& sent, const std::string& received) {
  const InOrder found = in_order(sent, received);
  return found.foreign == 0 ? found.runs : -1;
}

/// The settings and refusals qemu's model of a4's adapter logged (the first adapter the log
/// names), each once, in order.
std::string what_the_chip_was_told(const std::string& log) {
  std::istringstream lines(log);
  std::string device;
  std::string told;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find(" dev ");
    if (at == std::string::npos) continue;
    const std::string this_device = line.substr(at + 5, line.find(' ', at + 5) - at - 5);
    if (device.empty()) device = this_device;
    if (this_device != device || line.find("flow_control") != std::string::npos ||
        line.find("xonxoff") != std::string::npos) {
      continue;
    }
    const std::string what = line.substr(line.find(' ', at + 5) + 1);
    if (told.find(what) == std::string::npos) told += what + "; ";
  }
  return told;
}

/// The guest's clock (seconds since boot) at the start of a line of stamped output.
double seconds_of(const std::string& line) { return std::strtod(line.c_str(), nullptr); }

class UsbAdapters : public RealUart {
 protected:
  void TearDown() override {
    if (!booted()) return;
    for (const int adapter : {4, 5}) {
      if (!plugged_[adapter - 4]) plug(adapter);
    }
    RealUart::TearDown();
    guest().run("killall -KILL hold_at_ioctl sleep; true");
  }

  /// Pulls the adapter of a4 or a5 out; the guest's clock just before.
  double unplug(int adapter) {
    const double at = uptime();
    const std::string failed = guest().unplug(adapter);
    EXPECT_EQ(failed, "") << "pulling out adapter " << adapter;
    plugged_[adapter - 4] = !failed.empty();
    return at;
  }
  /// Plugs it back in and waits (up to 10 s) until its link is there; the guest's clock just
  /// before.
  double plug(int adapter) {
    const double at = uptime();
    const std::string failed = guest().plug(adapter);
    EXPECT_EQ(failed, "") << "plugging in adapter " << adapter;
    plugged_[adapter - 4] = failed.empty();
    const std::string link = "/dev/tep/a" + std::to_string(adapter);
    const Reply there = guest().run("for i in $(seq 100); do [ -e " + link +
                                    " ] && exit 0; sleep 0.1; done; exit 1");
    EXPECT_EQ(there.status, 0) << link << " did not come back";
    return at;
  }
  double uptime() { return std::strtod(guest().run("cat /proc/uptime").output.c_str(), nullptr); }

  /// Starts looptest as RealUart::start does, each line of its output stamped with the
  /// guest's clock.
  void start_stamped(const std::string& arguments) {
    guest().run("rm -f /tmp/*");
    const Reply reply = guest().run(
        "sh -c '(looptest " + arguments +
        " 2>&1 & echo $! >/tmp/pid; wait $!; echo $? >/tmp/code) | while IFS= read -r line; do "
        "read now rest </proc/uptime; echo \"$now $line\"; done >/tmp/out; "
        "mv /tmp/code /tmp/status' & " +
        std::string(until_relaying));
    ASSERT_EQ(reply.status, 0) << reply.output;
  }
  /// The first stamped line of the output holding `text`, once there (up to timeout_s);
  /// empty if none came.
  std::string line_with(const std::string& text, double timeout_s) {
    const Reply reply = guest().run(
        "for i in $(seq " + std::to_string(static_cast<int>(timeout_s * 20)) + "); do grep -q '" +
            text + "' /tmp/out && break; sleep 0.05; done; grep -m 1 '" + text + "' /tmp/out",
        static_cast<int>(timeout_s * 1000) + 10000);
    return reply.status == 0 ? reply.output : std::string();
  }
  /// The far ends' bytes pass both ways through the run.
  void expect_relaying(const std::string& why) {
    guest().send_a4("to a5");
    EXPECT_EQ(guest().receive(guest().a5(), 5, 5000), "to a5") << why;
    guest().send(guest().a5(), "to a4");
    EXPECT_EQ(guest().receive(guest().a4(), 5, 5000), "to a4") << why;
  }
  /// Lets what the adapters still hold from earlier (they take in what their far ends send
  /// while no one has them open, and give it at the next open) come out, and drops it.
  void drain_adapters() {
    start("a4 a5");
    std::this_thread::sleep_for(1s);
    finish("TERM");
    guest().receive(guest().a4(), 0, 500);
    guest().receive(guest().a5(), 0, 500);
  }
  /// The cflag of a port as probed.
  long cflag(const std::string& port) { return field(probe(port), "cflag"); }

  std::array<bool, 2> plugged_{true, true};
};

TEST_F(UsbAdapters, PulledOutAndPluggedBackIdleOrSendingTheRunTakesItUpAndRelaysInOrder) {
  struct Case {
    std::vector<int> adapters;
    bool sending;
  };
  const Case cases[] = {{{4}, false}, {{4}, true},     {{5}, false},
                        {{5}, true},  {{4, 5}, false}, {{4, 5}, true}};
  for (const Case& c : cases) {
    const std::string what = std::string(c.sending ? "sending" : "idle") + ", adapter " +
                             std::to_string(c.adapters[0]) +
                             (c.adapters.size() > 1 ? " and 5" : "");
    SCOPED_TRACE(what);
    start_stamped("a4 a5");
    expect_relaying("before");
    std::optional<Sender> to_a4;
    std::optional<Sender> to_a5;
    if (c.sending) {
      // As fast as the emulated adapters take the bytes.
      to_a4.emplace(guest().a4(), "a4", 0us);
      to_a5.emplace(guest().a5(), "a5", 0us);
      std::this_thread::sleep_for(500ms);
    }
    // qemu 7.2 can crash when an adapter is pulled out as its far end's bytes come in: each
    // far end holds still for the moment of its own adapter's pull.
    const auto hold = [&](int adapter, bool held) {
      std::optional<Sender>& sender = adapter == 4 ? to_a4 : to_a5;
      if (sender) sender->pause(held);
    };
    for (const int adapter : c.adapters) hold(adapter, true);
    if (c.sending) std::this_thread::sleep_for(300ms);
    for (const int adapter : c.adapters) unplug(adapter);
    for (const int adapter : c.adapters) hold(adapter, false);
    for (const int adapter : c.adapters) {
      const std::string path = "/dev/tep/a" + std::to_string(adapter);
      EXPECT_NE(line_with("ERROR " + path + " lost", 12), "") << path << " not lost";
    }
    for (const int adapter : c.adapters) plug(adapter);
    for (const int adapter : c.adapters) {
      const std::string path = "/dev/tep/a" + std::to_string(adapter);
      EXPECT_NE(line_with(path + " back", 12), "") << path << " not back";
    }
    if (c.sending) {
      std::this_thread::sleep_for(1500ms);
      const std::string from_a4 = to_a4->stop();
      const std::string from_a5 = to_a5->stop();
      // What arrived: in order, and the last lines sent, once the ports were back.
      const std::string at_a5 = guest().receive(guest().a5(), from_a4.size(), 2000);
      const std::string at_a4 = guest().receive(guest().a4(), from_a5.size(), 2000);
      // A port that comes back opens in its driver's default mode, which echoes to its own
      // far end what it takes in while that open runs: such bytes besides the stream, no
      // more than the driver's own open lets through (what the tool lets through once it has
      // the port is pinned in NothingIsEchoedWhileTheAdapterIsAsked).
      const InOrder there = in_order(from_a4, at_a5);
      const InOrder back = in_order(from_a5, at_a4);
      EXPECT_GT(there.runs, 0) << at_a5.size() << " bytes at a5";
      EXPECT_GT(back.runs, 0) << at_a4.size() << " bytes at a4";
      EXPECT_LE(there.foreign + back.foreign, echo_of_one_open * c.adapters.size())
          << "more than the opens' echo";
      EXPECT_TRUE(at_a5.ends_with(from_a4.substr(from_a4.size() - 20))) << "a4 to a5 stopped";
      EXPECT_TRUE(at_a4.ends_with(from_a5.substr(from_a5.size() - 20))) << "a5 to a4 stopped";
      std::printf(
          "%s: %zu of %zu bytes a4 -> a5 in %d runs, %zu of %zu a5 -> a4 in %d runs; "
          "%zu and %zu bytes echoed as the adapters came back\n",
          what.c_str(), at_a5.size(), from_a4.size(), there.runs, at_a4.size(), from_a5.size(),
          back.runs, there.foreign, back.foreign);
    }
    expect_relaying("after");
    const Reply ended = finish("TERM");
    std::printf("%s:\n%s", what.c_str(), ended.output.c_str());
    EXPECT_EQ(ended.status, 128 + 15) << ended.output;
  }
}

// Guards: lost comes as the adapter is pulled out, back within the 5-second pace after it is
// plugged in, not a retry's 5 seconds later each.
TEST_F(UsbAdapters, LostAndBackComeWithinThePace) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    start_stamped("a4 a5");
    const double pulled = unplug(4);
    std::this_thread::sleep_for(2s);
    const double plugged = plug(4);
    const std::string lost = line_with("ERROR /dev/tep/a4 lost", 12);
    const std::string back = line_with("/dev/tep/a4 back", 12);
    ASSERT_NE(lost, "");
    ASSERT_NE(back, "");
    std::printf("lost %.2f s after the pull, back %.2f s after the plug\n",
                seconds_of(lost) - pulled, seconds_of(back) - plugged);
    EXPECT_LT(seconds_of(lost) - pulled, 2.5) << lost;
    EXPECT_LT(seconds_of(back) - plugged, 6.5) << back;
    expect_relaying("once back");
    finish("TERM");
  }
}

TEST_F(UsbAdapters, AnAdapterBackUnderAnotherNumberIsFollowedThroughItsLink) {
  // Another program holds the old node open, so the kernel cannot give its number again.
  const std::string old_node = guest().run("readlink -f /dev/tep/a4").output;
  ASSERT_TRUE(old_node.starts_with("/dev/ttyUSB")) << old_node;
  start_stamped("a4 a5");
  guest().run("sleep 600 <" + old_node.substr(0, old_node.size() - 1) + " &");
  unplug(4);
  EXPECT_NE(line_with("ERROR /dev/tep/a4 lost", 12), "");
  plug(4);
  const std::string new_node = guest().run("readlink -f /dev/tep/a4").output;
  EXPECT_NE(new_node, old_node) << "the adapter came back under its old number";
  EXPECT_NE(line_with("/dev/tep/a4 back", 12), "");
  expect_relaying("under " + new_node);
  const Reply ended = finish("TERM");
  std::printf("%s -> %s:\n%s", old_node.c_str(), new_node.c_str(), ended.output.c_str());
}

// Guards: a lost port is closed in both relay processes, so the adapter gets its number back.
TEST_F(UsbAdapters, AnAdapterNamedByItsNumberIsBackUnderIt) {
  // Pulled out and plugged back with nothing holding it, the adapter takes the lowest number
  // free, which need not be the one it had: let it settle there first.
  unplug(4);
  plug(4);
  // /dev/tep/a7 names the adapter's ttyUSB node itself, as a link no rule keeps.
  std::string node = guest().run("readlink -f /dev/tep/a4").output;
  node.pop_back();
  guest().run("ln -sfn " + node + " /dev/tep/a7");
  start_stamped("a7 a5");
  unplug(4);
  EXPECT_NE(line_with("ERROR /dev/tep/a7 lost", 12), "");
  plug(4);
  const std::string back = line_with("/dev/tep/a7 back", 12);
  const std::string now_at = guest().run("readlink -f /dev/tep/a4").output;
  EXPECT_NE(back, "") << node << " came back as " << now_at;
  const Reply ended = finish("TERM");
  guest().run("rm -f /dev/tep/a7");
  std::printf("%s, back as %s:\n%s", node.c_str(), now_at.c_str(), ended.output.c_str());
}

TEST_F(UsbAdapters, AnAdapterThatNeverComesBackFailsTheRunAtItsEndWithoutSpendingCpu) {
  const long a5_before = cflag("/dev/tep/a5");
  start_stamped("a4 a5 duration=8");
  unplug(4);
  ASSERT_NE(line_with("ERROR /dev/tep/a4 lost", 12), "");
  // utime and stime, in clock ticks (100 a second), of both relay processes.
  const std::string cpu_time =
      "for p in $(pidof looptest); do cut -d ' ' -f 14,15 /proc/$p/stat; done | "
      "{ t=0; while read u s; do t=$((t + u + s)); done; echo $t; }";
  const long before = std::stol(guest().run(cpu_time).output);
  std::this_thread::sleep_for(4s);
  const long after = std::stol(guest().run(cpu_time).output);
  EXPECT_LT(after - before, 40) << "CPU ticks spent in 4 s while the port was lost";
  const Reply ended = finish();
  EXPECT_EQ(ended.status, 1) << ended.output;
  EXPECT_NE(ended.output.find("/dev/tep/a4 -> /dev/tep/a5: "), std::string::npos) << ended.output;
  EXPECT_NE(ended.output.find("/dev/tep/a5 -> /dev/tep/a4: "), std::string::npos) << ended.output;
  EXPECT_EQ(cflag("/dev/tep/a5"), a5_before) << "a5 not restored";
  std::printf("%ld ticks in 4 s while lost:\n%s", after - before, ended.output.c_str());
}

TEST_F(UsbAdapters, PulledOutAsARunEndsItStillEndsRestoringTheOtherPort) {
  const long a5_before = cflag("/dev/tep/a5");
  // The relays start within a moment of start_stamped's return; the last half second of the
  // run and the end's own half second after it.
  for (const auto into_run : {2500ms, 2700ms, 2900ms, 3100ms}) {
    SCOPED_TRACE(std::to_string(into_run.count()) + " ms into a 3 s run");
    start_stamped("a4 a5 duration=3");
    Sender to_a4(guest().a5(), "a5", 2ms);
    std::this_thread::sleep_for(into_run);
    const double pulled = unplug(4);
    guest().run("for i in $(seq 150); do [ -e /tmp/status ] && break; sleep 0.1; done");
    const Reply ended = finish();
    to_a4.stop();
    EXPECT_EQ(cflag("/dev/tep/a5"), a5_before) << "a5 not restored";
    // Pulled out well before the summary: the run must say so and fail. (The end reads what it
    // judges just before it prints the summary, and the guest takes a moment to see an adapter
    // go: a pull in the last moment before the first summary line may come after that.)
    const std::size_t last_line = ended.output.rfind('\n', ended.output.size() - 2);
    const std::size_t first_summary = ended.output.rfind('\n', last_line - 1);
    if (pulled < seconds_of(ended.output.substr(first_summary + 1)) - 0.25) {
      EXPECT_EQ(ended.status, 1) << ended.output;
      EXPECT_NE(ended.output.find("ERROR"), std::string::npos) << ended.output;
    }
    std::printf("pulled out %lld ms into the run, at %.2f:\n%s",
                static_cast<long long>(into_run.count()), pulled, ended.output.c_str());
    plug(4);
    guest().receive(guest().a4(), 0, 200);
  }
}

TEST_F(UsbAdapters, PulledOutBetweenOpenAndSetUpTheRunEndsWithAnErrorRestoringTheOther) {
  // hold_at_ioctl stops looptest at its first ioctl on the port, after the port's open.
  for (const int adapter : {4, 5}) {
    const std::string path = "/dev/tep/a" + std::to_string(adapter);
    const std::string other = adapter == 4 ? "/dev/tep/a5" : "/dev/tep/a4";
    SCOPED_TRACE(path);
    const long other_before = cflag(other);
    guest().run("rm -f /tmp/*");
    guest().run("(hold_at_ioctl " + path +
                " /tmp/go looptest a4 a5 duration=2 >/tmp/out 2>&1; echo $? >/tmp/status) &");
    ASSERT_EQ(guest()
                  .run("for i in $(seq 100); do grep -q held /tmp/out && exit 0; sleep 0.1; done; "
                       "exit 1")
                  .status,
              0)
        << guest().run("cat /tmp/out").output;
    unplug(adapter);
    guest().run("for i in $(seq 50); do [ -e " + path + " ] || break; sleep 0.1; done");
    guest().run("touch /tmp/go");
    guest().run("for i in $(seq 150); do [ -e /tmp/status ] && break; sleep 0.1; done");
    const Reply ended = finish();
    EXPECT_NE(ended.status, 0) << ended.output;
    EXPECT_NE(ended.output.find("ERROR"), std::string::npos) << "no clear error: " << ended.output;
    EXPECT_EQ(cflag(other), other_before) << other << " not restored";
    std::printf("%s pulled out at set-up:\n%s", path.c_str(), ended.output.c_str());
    plug(adapter);
  }
}

// Guards: what a far end sends while looptest starts is neither edited as a line nor echoed
// back, beyond what the driver takes in while its own open runs (the driver opens an adapter
// canonical, with echo, and the last run's restore leaves it so). One far end sends at a
// time, as fast as the emulated adapter takes it, so that all that comes back to it is echo,
// and all that reaches the other is relayed.
// The restore at the end puts that mode back while the adapter still takes input, until the
// port is closed: what comes then is echoed by the driver, as for any program that leaves a
// port as it found it. That is measured, not judged.
TEST_F(UsbAdapters, NothingIsEchoedOrEditedWhileARunStarts) {
  for (const int flooded : {4, 5}) {
    SCOPED_TRACE("a" + std::to_string(flooded) + "'s far end sends");
    const int into = flooded == 4 ? guest().a4() : guest().a5();
    const int out_of = flooded == 4 ? guest().a5() : guest().a4();
    drain_adapters();
    // ^C, DEL and ^U: what canonical mode echoes as ^C, and takes to erase a byte or the line.
    Sender sender(into, "a" + std::to_string(flooded), 0us, "x\x03y\x7fz\x15\r");
    std::string relayed;
    std::size_t echoed_at_starts = 0;
    std::size_t echoed_at_ends = 0;
    for (int run = 0; run < 5; ++run) {
      start_stamped("a4 a5");
      std::this_thread::sleep_for(500ms);
      relayed += guest().receive(out_of, 1, 300);
      // Before the port is quiet: what the driver took in during its own open.
      const std::size_t echoed = guest().receive(into, 0, 300).size();
      EXPECT_LE(echoed, echo_of_one_open) << "echoed as run " << run << " started";
      echoed_at_starts += echoed;
      finish("TERM");
      relayed += guest().receive(out_of, 0, 300);
      echoed_at_ends += guest().receive(into, 0, 300).size();
    }
    const std::string sent = sender.stop();
    EXPECT_GE(runs_in_order(sent, relayed), 0) << "an edited byte was relayed";
    std::printf(
        "a%d's far end sending: 5 runs, %zu bytes relayed in order; %zu echoed as the "
        "runs started, %zu as they ended\n",
        flooded, relayed.size(), echoed_at_starts, echoed_at_ends);
  }
  drain_adapters();
}

// Guards: the port is quiet before the tool asks the adapter anything. Its modem-line request
// is a round trip on the bus, which a busy bus, a hub or an emulator makes long: held there
// for a second while a4's far end sends as fast as the adapter takes it, the port echoes
// nothing (a run that asked first echoed a second's worth).
TEST_F(UsbAdapters, NothingIsEchoedWhileTheAdapterIsAsked) {
  drain_adapters();
  Sender sender(guest().a4(), "a4", 0us, "x\x03y\x7fz\x15\r");
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    guest().run("rm -f /tmp/*");
    guest().run("(hold_at_ioctl --request=" + std::to_string(TIOCMGET) +
                " /dev/tep/a4 /tmp/go looptest a4 a5 duration=1 >/tmp/out 2>&1; "
                "echo $? >/tmp/status) &");
    ASSERT_EQ(guest()
                  .run("for i in $(seq 100); do grep -q held /tmp/out && exit 0; sleep 0.1; done; "
                       "exit 1")
                  .status,
              0)
        << guest().run("cat /tmp/out").output;
    // What the driver echoed while its own open ran, before the tool had the port.
    std::this_thread::sleep_for(200ms);
    guest().receive(guest().a4(), 1, 1);
    std::this_thread::sleep_for(1s);
    const std::size_t echoed = guest().receive(guest().a4(), 1, 1).size();
    guest().run("touch /tmp/go");
    guest().run("for i in $(seq 100); do [ -e /tmp/status ] && break; sleep 0.1; done");
    EXPECT_LE(echoed, 64u) << "echoed while the adapter was asked";
    std::printf("run %d: %zu bytes echoed in a second's round trip\n", run, echoed);
  }
  sender.stop();
  drain_adapters();
}

// Guards: a character size the driver does not hold is reported, not passed in silence.
TEST_F(UsbAdapters, ACharacterSizeTheDriverRefusesIsReported) {
  const Reply reply = guest().run("looptest a4 a5 duration=1 databits=6");
  EXPECT_NE(reply.output.find("ERROR configuring /dev/tep/a4\nERROR configuring /dev/tep/a5\n"),
            std::string::npos)
      << reply.output;
  EXPECT_EQ(reply.status, 1);
}

// Guards: a timed run in which every byte went through passes, though qemu's adapter never
// says its transmitter is empty (TIOCSERGETLSR reads 0 with nothing queued).
TEST_F(UsbAdapters, ATimedRunThatDeliveredEveryBytePasses) {
  start("a4 a5 duration=3");
  expect_relaying("while running");
  const std::string a4_line = probe("/dev/tep/a4");
  const Reply ended = finish();
  EXPECT_EQ(ended.output.find("held"), std::string::npos) << ended.output;
  EXPECT_EQ(ended.status, 0) << "the probe said: " << a4_line << ended.output;
  std::printf("%s%s", a4_line.c_str(), ended.output.c_str());
}

TEST_F(UsbAdapters, SettingsTheDriverDoesNotHoldAreReported) {
  // What each set of options asks of c_cflag's line bits; the driver holds what it can, and
  // looptest must say ERROR configuring wherever a port reads back something else.
  std::vector<std::pair<std::string, long>> cases = {
      {"", cs8 | rts_cts},
      {"baudrate=9600 databits=7 parity=even stopbits=2 flowcontrol=software",
       cs7 | parity | two_stop_bits},
      {"parity=mark", cs8 | parity | odd | stick | rts_cts},
      {"parity=space", cs8 | parity | stick | rts_cts},
      {"databits=5 parity=odd", cs5 | parity | odd | rts_cts},
      {"databits=6 stopbits=2 baudrate=57600", cs6 | two_stop_bits | rts_cts},
      {"databits=7", cs7 | rts_cts},
      {"stopbits=2 flowcontrol=none", cs8 | two_stop_bits},
  };
  guest().trace_log();
  std::printf("%-70s | %-10s | %-10s | %s\n", "options", "asked", "read back", "looptest said");
  for (const auto& [options, asked] : cases) {
    const Reply reply = guest().run("looptest a4 a5 " + options + " >/tmp/out 2>&1 & " +
                                    std::string(until_relaying) +
                                    "; uart_probe /dev/tep/a4; kill $!; wait $!; "
                                    "while pidof looptest >/dev/null; do sleep 0.05; done; grep -c "
                                    "'ERROR configuring' /tmp/out");
    // The shell may also report the job it stopped.
    std::istringstream lines(reply.output);
    std::string probed;
    std::string errors;
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("cflag=")) probed = line;
      if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) errors = line;
    }
    const long held = field(probed, "cflag") & line_bits;
    const long rate = field(probed, "ospeed");
    const std::size_t asked_rate_at = options.find("baudrate=");
    const long asked_rate =
        asked_rate_at == std::string::npos ? 115200 : std::stol(options.substr(asked_rate_at + 9));
    const bool as_asked = held == asked && rate == asked_rate;
    const std::string chip = what_the_chip_was_told(guest().trace_log());
    std::printf("%-70s | %-10lx | %-10lx %ld | %s configuring | qemu: %s\n", options.c_str(), asked,
                held, rate, errors == "0" ? "no ERROR" : "ERROR", chip.c_str());
    EXPECT_EQ(errors, as_asked ? "0" : "2")
        << options << ": asked " << std::hex << asked << ", the port holds " << held << std::dec
        << " at " << rate << " bit/s";
  }
}

// The FT232's divisor makes 3 Mbit/s (3 MHz / 1) and less; the driver gives a faster rate
// 9600 instead, and reports that. Below 183 bit/s its 14-bit divisor overflows, which it does
// not report.
TEST_F(UsbAdapters, RatesUpTo3MbitRunAndFasterOnesAreRefused) {
  const long rates[] = {50,      300,     9600,   115200, 460800, 921600, 1000000,
                        2000000, 3000000, 250000, 31250,  74880,  4000000};
  for (const RateOutcome& outcome : run_at_rates(rates)) {
    const long rate = outcome.asked;
    EXPECT_EQ(outcome.refused, rate > 3000000) << rate << ": " << outcome.probe;
    if (rate > 3000000) {
      EXPECT_EQ(outcome.read_back, 9600) << outcome.probe;
      EXPECT_EQ(outcome.emulated, 9600);
      continue;
    }
    EXPECT_EQ(outcome.read_back, rate) << outcome.probe;
    if (rate >= 183) {
      EXPECT_NEAR(static_cast<double>(outcome.emulated) / static_cast<double>(rate), 1.0, 0.005)
          << rate;
    }
  }
}

}  // namespace
}  // namespace uart
