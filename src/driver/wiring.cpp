#include "driver/wiring.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <span>

#include "check/stream.h"
#include "driver/messages.h"
#include "line/line_config.h"
#include "line/modem_lines.h"
#include "system/clock.h"
#include "system/wait.h"

namespace looptest {

namespace {

// The start of the test stream, sent out of a port to see where it comes back.
constexpr std::size_t probe_length = 16;
// What a port's input keeps of what arrives while a probe is out: more than the probe, so that
// what arrives before it (noise, a far end's own bytes) does not hide it.
constexpr std::size_t seen_length = 256;
// How long a driver may take to report a modem line that changed: a USB adapter reports them
// in its status, every few milliseconds.
constexpr int settle_milliseconds = 50;

// The probe's way out and back at the line's rate, twice over, and half a second for drivers
// and whatever a far end does on the way.
int probe_milliseconds(const LineSettings& settings) {
  return 500 + milliseconds_for_characters(settings, 2 * probe_length);
}

// What arrived at one port, the last seen_length bytes.
struct Seen {
  std::array<char, seen_length> bytes{};
  std::size_t size = 0;
};

void take_in(int fd, Seen& seen) {
  std::array<char, seen_length> block{};
  const ssize_t got = read(fd, block.data(), block.size());
  if (got <= 0) return;
  const auto count = static_cast<std::size_t>(got);
  const std::size_t keep = std::min(seen.size, seen_length - count);
  std::copy(seen.bytes.begin() + static_cast<std::ptrdiff_t>(seen.size - keep),
            seen.bytes.begin() + static_cast<std::ptrdiff_t>(seen.size), seen.bytes.begin());
  std::copy(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(count),
            seen.bytes.begin() + static_cast<std::ptrdiff_t>(keep));
  seen.size = keep + count;
}

// Whether the probe is among what was seen, compared in the bits the line carries.
bool holds(const Seen& seen, std::span<const char> probe, unsigned char mask) {
  for (std::size_t at = 0; at + probe.size() <= seen.size; ++at) {
    const bool whole = std::equal(
        probe.begin(), probe.end(), seen.bytes.begin() + at, [mask](char sent, char arrived) {
          return (static_cast<unsigned char>(arrived) & mask) == static_cast<unsigned char>(sent);
        });
    if (whole) return true;
  }
  return false;
}

// Sends the probe out of port from, and reads both ports until it is back on one: its
// number, 0 when it is back on neither in time, -1 when control became readable.
int send_probe(Ports& ports, int from, const StreamAlphabet& alphabet, int timeout_ms,
               int control) {
  std::array<char, probe_length> probe{};
  stream_block(alphabet, 0, probe);
  for (const Port* port : {&ports.port1, &ports.port2}) tcflush(port->fd, TCIFLUSH);
  const timespec deadline = later_by(monotonic_now(), timeout_ms);
  const int out = port_numbered(ports, static_cast<PortNumber>(from)).fd;
  std::span<const char> unsent(probe);
  std::array<Seen, 2> seen{};
  for (int left = timeout_ms; left > 0; left = milliseconds_until(deadline)) {
    if (!unsent.empty()) {
      const ssize_t written = write(out, unsent.data(), unsent.size());
      if (written > 0) unsent = unsent.subspan(static_cast<std::size_t>(written));
      if (written == -1 && errno != EAGAIN && errno != EINTR) unsent = {};  // it cannot go out
    }
    std::array<pollfd, 3> watched{
        {{ports.port1.fd, POLLIN, 0}, {ports.port2.fd, POLLIN, 0}, {control, POLLIN, 0}}};
    if (!unsent.empty()) watched[static_cast<std::size_t>(from - 1)].events |= POLLOUT;
    if (poll(watched.data(), watched.size(), left) <= 0) continue;
    if (watched[2].revents != 0) return -1;
    for (const int number : {1, 2}) {
      const auto index = static_cast<std::size_t>(number - 1);
      if ((watched[index].revents & POLLIN) == 0) continue;
      take_in(watched[index].fd, seen[index]);
      if (holds(seen[index], probe, alphabet.mask)) return number;
    }
  }
  return 0;
}

const char* wiring_text(Wiring wiring) {
  switch (wiring) {
    case Wiring::loops:
      return "a loop on each port";
    case Wiring::cable:
      return "a cable between the ports";
    case Wiring::internal:
      return "internal loopback";
    case Wiring::none:
      break;
  }
  return "none";
}

// Waits for a modem line that changed to show; false when control became readable.
bool settle(int control) {
  return wait_until(later_by(monotonic_now(), settle_milliseconds), control);
}

// Which inputs of port in follow output of port out: both its outputs dropped, then this one
// raised and dropped again. Empty when a stop came meanwhile, or a line cannot be read.
std::optional<ModemLines> follows(const Port& out, const Port& in, ModemLines output, int control) {
  std::array<ModemLines, 3> seen{};
  for (std::size_t step = 0; step < seen.size(); ++step) {
    drive_modem_lines(out.fd, step == 1 ? output : modem_outputs(), step == 1);
    if (!settle(control)) return std::nullopt;
    const std::optional<ModemLines> lines = read_modem_lines(in.fd);
    if (!lines) return std::nullopt;
    seen[step] = *lines;
  }
  return inputs_following(seen[0], seen[1], seen[2]);
}

// Appends text to line at length; returns the new length.
std::size_t append(std::array<char, 128>& line, std::size_t length, const char* text) {
  const int wanted = std::snprintf(line.data() + length, line.size() - length, "%s", text);
  return wanted > 0 ? std::min(line.size() - 1, length + static_cast<std::size_t>(wanted)) : length;
}

}  // namespace

int returning_port(Wiring wiring, int port) {
  switch (wiring) {
    case Wiring::loops:
    case Wiring::internal:
      return port;
    case Wiring::cable:
      return 3 - port;
    case Wiring::none:
      break;
  }
  return 0;
}

WiringFound find_wiring(Ports& ports, const LineSettings& settings, int control) {
  if (settings.check == Check::internal) {
    bool refused = false;
    for (Port* port : {&ports.port1, &ports.port2}) {
      port->loopback_set = set_internal_loopback(port->fd, true);
      if (!port->loopback_set) {
        print_message("ERROR %s has no internal loopback\n", port->path->data());
        refused = true;
      }
    }
    if (refused) return {};
  }
  const StreamAlphabet alphabet = stream_alphabet(settings);
  const int timeout_ms = probe_milliseconds(settings);
  const int back1 = send_probe(ports, 1, alphabet, timeout_ms, control);
  if (back1 < 0) return {.stopped = true};
  const int back2 = send_probe(ports, 2, alphabet, timeout_ms, control);
  if (back2 < 0) return {.stopped = true};
  for (const Port* port : {&ports.port1, &ports.port2}) tcflush(port->fd, TCIFLUSH);
  // Port 1's stream says what the wiring must be; port 2's must then go round as it does.
  Wiring wiring = Wiring::none;
  if (settings.check == Check::internal) {
    wiring = Wiring::internal;
  } else if (back1 != 0) {
    wiring = back1 == 1 ? Wiring::loops : Wiring::cable;
  }
  const bool round1 = back1 != 0 && back1 == returning_port(wiring, 1);
  const bool round2 = back2 != 0 && back2 == returning_port(wiring, 2);
  if (round1 && round2) {
    print_message("wiring: %s\n", wiring_text(wiring));
    return {.wiring = wiring};
  }
  for (const auto& [round, port] : {std::pair{round1, &ports.port1}, {round2, &ports.port2}}) {
    if (!round) print_message("ERROR nothing sent out of %s came back\n", port->path->data());
  }
  return {};
}

bool report_handshake(Ports& ports, Wiring wiring, const LineSettings& settings, int control) {
  bool flows = true;
  for (const int number : {1, 2}) {
    Port& out = port_numbered(ports, static_cast<PortNumber>(number));
    const Port& in = port_numbered(ports, static_cast<PortNumber>(returning_port(wiring, number)));
    if (!out.lines_found || !read_modem_lines(in.fd)) {
      print_message("%s: no modem lines\n", out.path->data());
      continue;
    }
    out.lines_driven = true;
    std::array<char, 128> line{};
    std::size_t length = append(line, 0, out.path->data());
    length = append(line, length, ":");
    ModemLines followed = 0;
    for (const ModemLines output : {TIOCM_RTS, TIOCM_DTR}) {
      const std::optional<ModemLines> inputs = follows(out, in, output, control);
      if (!inputs) return flows;  // a stop: the run ends
      length = append(line, length, output == TIOCM_RTS ? " " : ", ");
      length = append(line, length, modem_line_name(output));
      length = append(line, length, *inputs == 0 ? " not looped" : " ->");
      for (const ModemLines input : {TIOCM_CTS, TIOCM_DSR, TIOCM_CAR}) {
        if ((*inputs & input) == 0) continue;
        length = append(line, length, " ");
        length = append(line, length, modem_line_name(input));
      }
      followed |= *inputs;
    }
    // As the line settings want them: both raised, as the kernel raises them at open.
    drive_modem_lines(out.fd, modem_outputs(), true);
    print_message("%s\n", line.data());
    if (settings.flowcontrol == FlowControl::hardware && (followed & TIOCM_CTS) == 0) {
      print_message("ERROR CTS of %s follows nothing\n", in.path->data());
      flows = false;
    }
  }
  return flows;
}

}  // namespace looptest
