// real_uart.h: what the tests on emulated UARTs share: one guest for the whole test program,
// booted on the board the program is about, and the steps the tests take in it.
#pragma once

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "guest.h"

namespace uart {

/// The board a test program is about; each program defines it.
const Board& board_under_test();

/// One value of uart_probe's line, by its name; -1000 when the line has none.
long field(const std::string& probe, std::string_view name);

/// The rate a line of qemu's trace gives a port (serial_update_parameters,
/// pl011_baudrate_change, usb_serial_set_baud); -1 for a line that gives none.
long traced_rate(const std::string& line);

/// What became of one rate asked of a4 and a5, which are set alike.
struct RateOutcome {
  long asked = 0;
  long read_back = -1000;  ///< The rate the kernel holds for a4 while looptest runs.
  bool refused = false;    ///< looptest said ERROR configuring /dev/tep/a4.
  /// The last rate qemu's trace says a port was programmed with while looptest ran, set up
  /// and all: the rate the UART runs at; -1 where it said none.
  long emulated = -1;
  std::string traced{};  ///< The trace's line that gave it.
  std::string probe{};   ///< uart_probe's line for a4 while looptest runs.
};

/// A shell loop that waits (up to 10 s) until looptest's second relay runs, which it starts
/// only once both ports are configured.
inline constexpr std::string_view until_relaying =
    "for i in $(seq 100); do [ $(pidof looptest | wc -w) -ge 2 ] && break; sleep 0.1; done";

/// What a set of options must program into the UART: values of the probe's line by name.
struct Programming {
  const char* options;
  std::vector<std::pair<const char*, long>> values;
};

class RealUart : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  static Guest& guest();
  /// The guest is up: the tests run, not skip.
  static bool booted();

  /// Starts looptest in the guest in the background and waits until it relays; its process
  /// id goes to /tmp/pid, its output to /tmp/out and its exit status, once it ends, to
  /// /tmp/status.
  void start(const std::string& arguments);
  /// Stops it with signal (or lets it end) and returns its output and status.
  Reply finish(const std::string& signal = "");
  std::string probe(const std::string& port);
  /// Stops it with SIGTERM and returns the seconds it took to end; then port must open.
  double seconds_to_stop(const std::string& port);
  /// The run ended failed, with to's output held and the 10 bytes "never sent" from `from` not
  /// delivered.
  static void expect_ten_bytes_held(const Reply& ended, const std::string& from,
                                    const std::string& to);
  /// Runs looptest on a4 and a5 with each set of options in turn: both UARTs hold the values
  /// while it runs, and the values a4 had before once it ended.
  void expect_programmed_and_restored(std::span<const Programming> cases);
  /// Runs looptest on a4 and a5 at each rate in turn (with options), and prints a row per
  /// rate: asked, read back, what looptest said, what the emulator says the UART ran.
  std::vector<RateOutcome> run_at_rates(std::span<const long> rates,
                                        const std::string& options = "");
};

}  // namespace uart
