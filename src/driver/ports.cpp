#include "driver/ports.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "driver/messages.h"
#include "driver/port_rs485.h"
#include "driver/result_file.h"
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

// What the path leads to now, before anything opens it; empty where it leads nowhere.
std::optional<DeviceId> device_at(const char* path) {
  struct stat status {};
  if (stat(path, &status) != 0) return std::nullopt;
  return device_of(status);
}

// Whether a terminal's descriptor was hung up: every call through it but a few then fails
// with EIO, and no reopen of the port reaches it.
bool hung_up(int fd) {
  termios attributes{};
  return tcgetattr(fd, &attributes) != 0 && errno == EIO;
}

// Only another holder refuses the port; a file system without locks does not.
bool lock_port(int fd) {
  return retry_interrupted([fd] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0 ||
         errno != EWOULDBLOCK;
}

enum class Taken { taken, not_opened, in_use, same_port };

// Opens the port, locks it, saves its attributes and makes it quiet, in consecutive calls. A
// port opens with whatever attributes its last user left, often its driver's default (cooked)
// mode, which echoes and edits what arrives, so nothing is asked of it before it is quiet (a
// USB adapter answers its modem-line ioctl only after a round trip on the bus), and what it
// took in meanwhile is thrown away. A port another program holds is closed untouched: whatever
// was done to it would be done under that program's run. other is the port already taken.
Taken take_port(Port& port, const Port& other) {
  const int fd = open_port(port.path->data());
  if (fd == -1) return Taken::not_opened;
  if (!lock_port(fd)) {
    // Locked by this run itself: another name of the port it already has.
    const std::optional<DeviceId> device = device_of(fd);
    close(fd);
    return device && device == device_of(other.fd) ? Taken::same_port : Taken::in_use;
  }
  port.fd = fd;
  port.saved = save_line(fd);
  if (port.saved && edits_input(port.saved->attributes)) {
    const termios quiet = quiet_line(port.saved->attributes);
    retry_interrupted([&] { return tcsetattr(fd, TCSANOW, &quiet); });
    tcflush(fd, TCIFLUSH);
  }
  port.lines_found = read_modem_lines(fd);
  return Taken::taken;
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

// Whether both ports were taken, and if not why, and which port refused.
struct Outcome {
  Taken taken = Taken::taken;
  const Port* refused = nullptr;
};

// Takes first, then second. Neither is held when one cannot be had.
Outcome take_ports(Port& first, Port& second) {
  Taken taken = take_port(first, Port{});
  if (taken != Taken::taken) return {.taken = taken, .refused = &first};
  taken = take_port(second, first);
  // A node made anew between the look and the open may yet lead to the first port: the
  // second then holds the first's quiet attributes, so the first is put back last.
  if (taken == Taken::taken && device_of(second.fd) == device_of(first.fd)) {
    give_back(second);
    taken = Taken::same_port;
  }
  if (taken != Taken::taken) give_back(first);
  return {.taken = taken, .refused = &second};
}

// Gives the port the line settings; says so if it does not hold them.
void set_up_port(Port& port, const LineSettings& settings) {
  errno = 0;  // a port that takes the settings and does not keep them sets none
  port.configured = configure_line(port.fd, settings, settings.baudrate);
  if (!port.configured) result_refused(port.path->data(), errno);
  if (!port.configured) print_message("ERROR configuring %s\n", port.path->data());
  const Rs485SetUp rs485 = set_up_rs485(port.fd, port.path->data(), settings);
  if (!port.rs485_found) port.rs485_found = rs485.found;
  port.configured = port.configured && rs485.held;
  port.errors_at_start = read_line_errors(port.fd);
  port.transmitter_trusted = transmitter_empty(port.fd).value_or(false);
}

// Whether the port's path no longer leads to the node it has open.
bool path_leads_elsewhere(const Port& port) {
  struct stat at_path {};
  if (stat(port.path->data(), &at_path) != 0) return errno == ENOENT || errno == ENOTDIR;
  struct stat open_one {};
  if (fstat(port.fd, &open_one) != 0) return false;
  // A USB adapter plugged in again often gets its old device number back, but never its old
  // node: a node made anew is a new device.
  return at_path.st_rdev != open_one.st_rdev || at_path.st_dev != open_one.st_dev ||
         at_path.st_ino != open_one.st_ino;
}

}  // namespace

bool open_ports(Port& port1, Port& port2, const LineSettings& settings) {
  // What the names lead to is known before either port is touched: one port named twice is
  // refused as it was found, and a name that leads nowhere will not open.
  const std::optional<DeviceId> device1 = device_at(port1.path->data());
  const std::optional<DeviceId> device2 = device_at(port2.path->data());
  if (!device1 || !device2) return false;
  // Every run takes the lower device first, so that runs started together over the same two
  // ports, named in either order, cannot take one each and both give up.
  const bool lower_first = !(*device2 < *device1);
  Outcome outcome{.taken = Taken::same_port};
  if (*device1 != *device2) {
    outcome = take_ports(lower_first ? port1 : port2, lower_first ? port2 : port1);
  }
  if (outcome.taken == Taken::same_port) {
    print_message("ERROR %s and %s are the same port\n", port1.path->data(), port2.path->data());
  }
  if (outcome.taken == Taken::in_use) {
    print_message("ERROR %s is in use\n", outcome.refused->path->data());
  }
  if (outcome.taken != Taken::taken) return false;
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
  return (port.saved && hung_up(port.fd)) || path_leads_elsewhere(port);
}

void lose_port(Port& port) {
  const bool in_place =
      port.fd != -1 && port.saved && hung_up(port.fd) && !path_leads_elsewhere(port);
  if (port.fd != -1) close(port.fd);
  port = Port{.path = port.path,
              .saved = in_place ? port.saved : std::nullopt,
              .configured = port.configured,
              .lost = true,
              .lines_found = in_place ? port.lines_found : std::nullopt,
              .hung_up_in_place = in_place,
              .rs485_found = port.rs485_found};
}

bool reopen_port(Port& port, const Port& other, const LineSettings& settings) {
  // As at the start: the path must lead elsewhere than the other port before it is touched.
  const std::optional<DeviceId> device = device_at(port.path->data());
  if (!device || device == device_of(other.fd)) return false;
  Port found{.path = port.path};
  if (take_port(found, other) != Taken::taken) return false;
  if (device_of(found.fd) == device_of(other.fd)) {
    give_back(found);
    return false;
  }
  const bool configured_before = port.configured;
  // The same node hung up and opened again: a hang-up reset it to its driver's defaults, so
  // what it had before the run is what it gets back at the end. A new node is a new device,
  // which gets back what it was found with.
  if (port.hung_up_in_place) {
    found.saved = port.saved;
    found.lines_found = port.lines_found;
  }
  found.rs485_found = port.rs485_found;
  port = found;
  set_up_port(port, settings);
  // A port that once refused the settings fails the run, whatever the new device takes.
  port.configured = port.configured && configured_before;
  return true;
}

}  // namespace looptest
