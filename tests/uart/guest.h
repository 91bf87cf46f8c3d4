// guest.h: an emulated machine with UARTs, its serial ports /dev/tep/a4, a5 and a6 (the
// board's second to fourth UART), and their far ends on this side:
//   a4  a unix socket in telnet mode, which can also send a break;
//   a5  a plain unix socket;
//   a6  a pty through qemu's serial backend, so a 16550 reads CTS, DSR and DCD low (a
//       PL011 reads them low on every port).
// Or a PC with two USB serial adapters (FTDI, behind an xHCI controller) on USB ports 1 and
// 2, /dev/tep/a4 and a5 as the guest's mdev rules name them, with the same far ends as a4 and
// a5 above and no a6; the tests pull them out and plug them back through qemu's monitor.
// Commands run in the guest through its console, one line each.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "process.h"

namespace uart {

/// What the ports under test are.
enum class Ports { uarts, usb_adapters };

/// A machine qemu emulates, with a console and three more UARTs of one kind, or two USB
/// serial adapters.
struct Board {
  std::string_view uarts;         ///< What the tests are about, for messages.
  std::string_view qemu;          ///< The emulator.
  std::string_view machine;       ///< Its -M.
  std::string_view tty;           ///< The UARTs' device names without their number.
  std::string_view command_line;  ///< For the kernel, beyond the console.
  Ports ports = Ports::uarts;
  /// qemu's trace events the tests read through trace_log(); empty for none.
  std::string_view trace{};
};

inline constexpr Board pc_with_16550{
    "16550 UARTs in an emulated PC", "/usr/bin/qemu-system-x86_64", "pc", "ttyS", "", Ports::uarts,
    "serial_update_parameters"};
/// The clock of the vexpress-a9's PL011s, as its device tree gives it to the driver.
inline constexpr long vexpress_uart_clock = 24'000'000;
// iomem=relaxed: the probe reads the PL011's registers through /dev/mem while the driver
// holds them.
// pl011_baudrate_change: the divisors the driver programmed; pl011_write: every register the
// driver writes, to see RTS follow each transmission in RS-485 mode.
inline constexpr Board vexpress_with_pl011{"PL011 UARTs in an emulated ARM board",
                                           "/usr/bin/qemu-system-arm",
                                           "vexpress-a9",
                                           "ttyAMA",
                                           "iomem=relaxed",
                                           Ports::uarts,
                                           "pl011_baudrate_change,pl011_write"};
inline constexpr Board pc_with_usb_adapters{"FTDI USB serial adapters in an emulated PC",
                                            "/usr/bin/qemu-system-x86_64",
                                            "pc",
                                            "ttyS",
                                            "",
                                            Ports::usb_adapters,
                                            "usb_serial_set_*,usb_serial_unsupported_*"};

struct Reply {
  std::string output;
  int status = -1;  ///< The command's exit status; -1 when no reply came in time.
};

class Guest {
 public:
  /// Boots the board with the kernel, device tree (if any) and initramfs the environment
  /// names; an empty string on success, else why it could not be done.
  std::string boot(const Board& board);
  void shut_down();

  /// Runs a shell command line in the guest.
  Reply run(std::string_view command, int timeout_ms = 30000);

  /// Far ends: data written here arrives on the port; what the port sends is read here.
  void send_a4(std::string_view data);  ///< Escaped for telnet.
  void send_a4_break();
  void send(int far_end, std::string_view data);
  /// What arrived, once at least `until` bytes came or timeout_ms passed in quiet.
  std::string receive(int far_end, std::size_t until, int timeout_ms);
  /// Pulls the USB adapter of a4 or a5 (adapter 4 or 5) out, or plugs it back in on the same
  /// USB port with the same far end; an empty string once done, else what went wrong.
  std::string unplug(int adapter);
  std::string plug(int adapter);
  /// What qemu's models logged of the board's trace events since the last call, each line
  /// with the host's time: how the guest programmed the ports (their rate among it), for the
  /// adapters also the requests they refused, for the PL011 every register write.
  std::string trace_log();

  /// Makes a4's or a5's far end a loop plug: what the port sends comes straight back into it.
  void loop_back(int far_end, bool on);
  int a4() const { return a4_; }
  int a5() const { return a5_; }
  int a6() const { return a6_; }

 private:
  testbench::Program qemu_;
  std::string directory_;
  int console_ = -1;
  int a4_ = -1;
  int a5_ = -1;
  int a6_ = -1;
  int monitor_ = -1;
  std::string console_text_;
  std::string monitor_text_;
  std::size_t trace_log_read_ = 0;

  /// Sends a command to qemu's monitor and waits for its answer, and for `event` if given.
  std::string ask_monitor(const std::string& command, std::string_view event = {});

  // The far ends take what the ports send as it comes, as a line's far end does: qemu's
  // PL011 writes each byte to its backend and waits until it is taken, with the whole
  // machine stopped, so a far end that does not read would freeze the guest.
  void take_what_arrives(const std::stop_token& stop);
  std::size_t far_end_index(int far_end) const;
  std::mutex arrived_mutex_;
  std::condition_variable arrived_;
  std::array<std::string, 3> received_;        ///< a4, a5, a6
  std::array<std::atomic<bool>, 3> looped_{};  ///< a4, a5, a6
  std::jthread taker_;
};

}  // namespace uart
