#include "driver/ports.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "driver/messages.h"
#include "driver/port_rs485.h"
#include "system/retry.h"

namespace looptest {

namespace {

int open_port(const char* path) {
  // The port stays non-blocking: the relay waits with poll, where a stop can always reach it.
  return retry_interrupted(
      [path] { return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
}

// What a port is, whatever name or link led to it: the device, and the inode for a port that
// is no device.
using DeviceId = std::pair<dev_t, ino_t>;

DeviceId device_of(const struct stat& status) {
  if (S_ISCHR(status.st_mode)) return DeviceId{status.st_rdev, 0};
  return DeviceId{status.st_dev, status.st_ino};
}

std::optional<DeviceId> device_of(int fd) {
  struct stat status {};
  if (fd == -1 || fstat(fd, &status) != 0) return std::nullopt;
  return device_of(status);
}

// Only another holder refuses the port; a file system without locks does not.
bool lock_port(int fd) {
  return retry_interrupted([fd] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0 ||
         errno != EWOULDBLOCK;
}

// Opens the port and saves its attributes. A port opens with whatever attributes its last
// user left, often its driver's default (cooked) mode, which echoes and edits what arrives:
// such a port is made quiet at once, before anything else, and what it took in meanwhile is
// thrown away. False when it will not open.
bool open_quietly(Port& port) {
  port.fd = open_port(port.path->data());
  if (port.fd == -1) return false;
  port.saved = save_line(port.fd);
  port.lines_found = read_modem_lines(port.fd);
  if (port.saved && edits_input(*port.saved)) {
    const termios quiet = quiet_line(*port.saved);
    retry_interrupted([&] { return tcsetattr(port.fd, TCSANOW, &quiet); });
    tcflush(port.fd, TCIFLUSH);
  }
  return true;
}

// Puts a port that will not be used back as it was, and closes it.
void give_back(Port& port) {
  if (port.fd == -1) return;
  if (port.loopback_set) set_internal_loopback(port.fd, false);
  if (port.lines_driven && port.lines_found) {
    drive_modem_lines(port.fd, *port.lines_found & modem_outputs(), true);
    drive_modem_lines(port.fd, ~*port.lines_found & modem_outputs(), false);
  }
  // Left on, the port's transmitter would go on driving the pair for every other device.
  if (port.rs485_found) set_rs485(port.fd, *port.rs485_found);
  if (port.saved) restore_line(port.fd, *port.saved);
  close(std::exchange(port.fd, -1));
}

// Gives the port the line settings; says so if it does not hold them.
void set_up_port(Port& port, const LineSettings& settings) {
  port.configured = configure_line(port.fd, settings, settings.baudrate);
  if (!port.configured) print_message("ERROR configuring %s\n", port.path->data());
  const Rs485SetUp rs485 = set_up_rs485(port.fd, port.path->data(), settings);
  if (!port.rs485_found) port.rs485_found = rs485.found;
  port.configured = port.configured && rs485.held;
  port.errors_at_start = read_line_errors(port.fd);
  port.transmitter_trusted = transmitter_empty(port.fd).value_or(false);
}

}  // namespace

bool open_ports(Port& port1, Port& port2, const LineSettings& settings) {
  if (!open_quietly(port1)) return false;
  if (!open_quietly(port2)) {
    give_back(port1);
    return false;
  }
  const std::optional<DeviceId> device1 = device_of(port1.fd);
  const std::optional<DeviceId> device2 = device_of(port2.fd);
  if (device1 && device1 == device2) {
    print_message("ERROR %s and %s are the same port\n", port1.path->data(), port2.path->data());
    give_back(port1);
    give_back(port2);
    return false;
  }
  // Every run locks the lower device first, so that runs started together over the same two
  // ports, named in either order, cannot take one each and both give up.
  std::pair<const Port*, const Port*> order{&port1, &port2};
  if (device1 && device2 && *device2 < *device1) std::swap(order.first, order.second);
  for (const Port* port : {order.first, order.second}) {
    if (!lock_port(port->fd)) {
      print_message("ERROR %s is in use\n", port->path->data());
      give_back(port1);
      give_back(port2);
      return false;
    }
  }
  set_up_port(port1, settings);
  set_up_port(port2, settings);
  return true;
}

void restore_port(Port& port) {
  if (port.fd == -1) return;
  // What arrives once the relays have ended is delivered to no one; left in the driver it
  // would be taken in, and echoed, by a mode put back that echoes. The port is closed at once,
  // as it takes input in that mode until it is.
  tcflush(port.fd, TCIFLUSH);
  give_back(port);
}

bool port_gone(const Port& port) {
  struct stat at_path {};
  if (stat(port.path->data(), &at_path) != 0) return errno == ENOENT || errno == ENOTDIR;
  struct stat open_one {};
  if (fstat(port.fd, &open_one) != 0) return false;
  // A USB adapter plugged in again often gets its old device number back, but never its old
  // node: a node made anew is a new device.
  return at_path.st_rdev != open_one.st_rdev || at_path.st_dev != open_one.st_dev ||
         at_path.st_ino != open_one.st_ino;
}

void lose_port(Port& port) {
  if (port.fd != -1) close(port.fd);
  port = Port{.path = port.path,
              .configured = port.configured,
              .lost = true,
              .rs485_found = port.rs485_found};
}

bool reopen_port(Port& port, const Port& other, const LineSettings& settings) {
  Port found{.path = port.path};
  if (!open_quietly(found)) return false;
  const std::optional<DeviceId> device = device_of(found.fd);
  if ((device && device == device_of(other.fd)) || !lock_port(found.fd)) {
    give_back(found);
    return false;
  }
  const bool configured_before = port.configured;
  found.rs485_found = port.rs485_found;
  port = found;
  set_up_port(port, settings);
  // A port that once refused the settings fails the run, whatever the new device takes.
  port.configured = port.configured && configured_before;
  return true;
}

}  // namespace looptest
