// virtual_ports.h: serial ports without serial hardware. A private /dev, seen only by this
// process and its children, in which /dev/tep/NAME is the slave side of a pty pair and the
// caller holds the master side as the far end of the cable.
#pragma once

#include <string>
#include <string_view>

namespace testbench {

/// Moves this process into a private mount namespace (and a user namespace when not root)
/// whose /dev is a fresh tmpfs with its own devpts, /dev/null and friends, and an empty
/// /dev/tep/. Nothing of the host's /dev changes. Returns an empty string on success, else
/// why it could not be done. Call it while the process has a single thread.
std::string enter_private_dev();

/// One pty pair linked as /dev/tep/NAME. The slave starts raw (no echo, no line editing),
/// as an idle serial line would pass bytes through.
class VirtualPort {
 public:
  explicit VirtualPort(std::string_view name);
  ~VirtualPort();
  VirtualPort(VirtualPort&& other) noexcept;
  VirtualPort& operator=(VirtualPort&&) = delete;
  VirtualPort(const VirtualPort&) = delete;
  VirtualPort& operator=(const VirtualPort&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& error() const { return error_; }
  /// The far end of the cable: what is written here arrives on the port, and what the port
  /// sends can be read here.
  int master() const { return master_; }
  /// "/dev/tep/NAME".
  const std::string& path() const { return path_; }
  /// Closes the far end: the port hangs up.
  void hang_up();

 private:
  std::string path_;
  std::string error_;
  int master_ = -1;
  bool linked_ = false;
};

}  // namespace testbench
