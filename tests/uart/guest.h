// guest.h: an emulated machine with 16550 UARTs, its serial ports /dev/tep/a4, a5 and a6
// (ttyS1 to ttyS3), and their far ends on this side:
//   a4  a unix socket in telnet mode, which can also send a break;
//   a5  a plain unix socket;
//   a6  a pty through qemu's serial backend, so the guest reads CTS, DSR and DCD low.
// Commands run in the guest through its console, one line each.
#pragma once

#include <string>
#include <string_view>

#include "process.h"

namespace uart {

struct Reply {
  std::string output;
  int status = -1;  ///< The command's exit status; -1 when no reply came in time.
};

class Guest {
 public:
  /// Boots the machine; an empty string on success, else why it could not be done.
  std::string boot();
  void shut_down();

  /// Runs a shell command line in the guest.
  Reply run(std::string_view command, int timeout_ms = 30000);

  /// Far ends: data written here arrives on the port; what the port sends is read here.
  void send_a4(std::string_view data);  ///< Escaped for telnet.
  void send_a4_break();
  void send(int far_end, std::string_view data);
  /// Reads what arrives until at least `until` bytes came or timeout_ms pass in quiet.
  std::string receive(int far_end, std::size_t until, int timeout_ms);
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
  std::string console_text_;
};

}  // namespace uart
