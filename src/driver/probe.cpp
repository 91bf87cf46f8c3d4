#include "driver/probe.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <span>

#include "check/stream.h"
#include "driver/messages.h"
#include "driver/result_file.h"
#include "line/modem_lines.h"
#include "system/clock.h"
#include "system/wait.h"
#include "system/write.h"

namespace looptest {

namespace {

// How long a driver may take to report a modem line that changed: a USB adapter reports them
// in its status, every few milliseconds.
constexpr int settle_milliseconds = 50;

// Where one probe came back.
struct ProbeReturn {
  std::optional<PortNumber> port{};  // empty: on neither port in time
  bool stopped = false;              // control became readable first
};

void take_in(int fd, Seen& seen) {
  std::array<char, seen_length> block{};
  const ssize_t got = read(fd, block.data(), block.size());
  if (got > 0) keep_seen(seen, std::span(block).first(static_cast<std::size_t>(got)));
}

void flush_input(const Ports& ports) {
  for (const Port* port : {&ports.port1, &ports.port2}) tcflush(port->fd, TCIFLUSH);
}

// Waits on control's own terms: false once a stop came; a report asked for is kept.
bool no_stop(Control& control) { return !stop_came(control); }

// Sends the probe out of port from, and reads both ports until it is back on one. Half duplex
// a port may hear itself on a pair: back on its own port, the probe is still looked for on the
// other until the time is up, and found there it came over the pair.
ProbeReturn send_probe(Ports& ports, PortNumber from, const Probe& probe, unsigned char mask,
                       int timeout_ms, bool half, Control& control) {
  flush_input(ports);
  const timespec deadline = later_by(monotonic_now(), timeout_ms);
  // A port's output queue takes a probe at once; flow control only holds it on the line.
  std::span<const char> unsent(probe);
  while (write_with_deadline(port_numbered(ports, from).fd, unsent, control.any, deadline) ==
         Written::stopped) {
    if (!no_stop(control)) return {.stopped = true};
  }
  std::array<Seen, 2> seen{};
  std::optional<PortNumber> echoed{};
  std::array<pollfd, 3> watched{
      {{ports.port1.fd, POLLIN, 0}, {ports.port2.fd, POLLIN, 0}, {control.any, POLLIN, 0}}};
  for (int left = timeout_ms; left > 0; left = milliseconds_until(deadline)) {
    if (!wait_for_any(watched, left)) continue;
    if (watched[2].revents != 0 && !no_stop(control)) return {.stopped = true};
    for (const PortNumber number : {PortNumber::one, PortNumber::two}) {
      pollfd& port = watched[static_cast<std::size_t>(index_of(number))];
      // A port that hung up has nothing more to say, and would wake every wait.
      if ((port.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && (port.revents & POLLIN) == 0) {
        port.fd = -1;
      }
      if ((port.revents & POLLIN) == 0) continue;
      take_in(port.fd, seen[static_cast<std::size_t>(index_of(number))]);
      if (!probe_seen(seen[static_cast<std::size_t>(index_of(number))], probe, mask)) continue;
      if (!half || number != from) return {.port = number};
      echoed = number;
    }
  }
  return {.port = echoed};
}

// Turns on each UART's own loopback; false, said on an ERROR line for each, where one has none.
bool set_loopbacks(Ports& ports) {
  bool refused = false;
  for (Port* port : {&ports.port1, &ports.port2}) {
    port->loopback_set = set_internal_loopback(port->fd, true);
    if (!port->loopback_set) {
      print_message("ERROR %s has no internal loopback\n", port->path->data());
      refused = true;
    }
  }
  return !refused;
}

// Waits for a modem line that changed to show; false when a stop came.
bool settle(Control& control) {
  const timespec settled = later_by(monotonic_now(), settle_milliseconds);
  while (!wait_until(settled, control.any)) {
    if (stop_came(control)) return false;
  }
  return true;
}

// Which inputs of port in follow output of port out: both its outputs dropped, then this one
// raised and dropped again. Empty when a stop came meanwhile, or a line cannot be read.
std::optional<ModemLines> follows(const Port& out, const Port& in, ModemLines output,
                                  Control& control) {
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

// Which inputs of port in follow RTS and DTR of port out; empty as for follows().
std::optional<Handshake> trace_handshake(const Port& out, const Port& in, Control& control) {
  const std::optional<ModemLines> after_rts = follows(out, in, TIOCM_RTS, control);
  if (!after_rts) return std::nullopt;
  const std::optional<ModemLines> after_dtr = follows(out, in, TIOCM_DTR, control);
  if (!after_dtr) return std::nullopt;
  return Handshake{.after_rts = *after_rts, .after_dtr = *after_dtr};
}

}  // namespace

WiringFound find_wiring(Ports& ports, const LineSettings& settings, Control& control) {
  // A port that is no terminal always reads, and takes whatever is written: no probe can tell
  // anything by it. Its run fails as it is, for the settings it could not take.
  if (!ports.port1.saved || !ports.port2.saved) return {};
  if (settings.check == Check::internal && !set_loopbacks(ports)) return {};
  const StreamAlphabet alphabet = stream_alphabet(settings);
  const Probe probe = make_probe(alphabet);
  const int timeout_ms = probe_milliseconds(settings);
  ProbesBack back{};
  for (const PortNumber from : {PortNumber::one, PortNumber::two}) {
    const ProbeReturn came =
        send_probe(ports, from, probe, alphabet.mask, timeout_ms, half_duplex(settings), control);
    if (came.stopped) return {.stopped = true};
    back[static_cast<std::size_t>(index_of(from))] = came.port;
  }
  flush_input(ports);
  const WiringDecision decision = decide_wiring(settings.check, half_duplex(settings), back);
  if (decision.wiring != Wiring::none) {
    const std::string_view text = wiring_text(decision.wiring);
    print_message("wiring: %.*s\n", static_cast<int>(text.size()), text.data());
    result_wiring(decision.wiring);
    return {.wiring = decision.wiring};
  }
  for (const PortNumber number : {PortNumber::one, PortNumber::two}) {
    if (decision.came_round[static_cast<std::size_t>(index_of(number))]) continue;
    print_message("ERROR nothing sent out of %s came back\n",
                  port_numbered(ports, number).path->data());
  }
  return {};
}

bool report_handshake(Ports& ports, Wiring wiring, const LineSettings& settings, Control& control) {
  bool flows = true;
  for (const PortNumber number : {PortNumber::one, PortNumber::two}) {
    const std::optional<PortNumber> back = returning_port(wiring, number);
    if (!back) return flows;  // no wiring: nothing comes back to follow
    Port& out = port_numbered(ports, number);
    const Port& in = port_numbered(ports, *back);
    if (!out.lines_found || !read_modem_lines(in.fd)) {
      print_message("%s: no modem lines\n", out.path->data());
      result_handshake(out.path->data(), std::nullopt);
      continue;
    }
    out.lines_driven = true;
    const std::optional<Handshake> handshake = trace_handshake(out, in, control);
    if (!handshake) return flows;  // a stop: the run ends
    // As the line settings want them: both raised, as the kernel raises them at open.
    drive_modem_lines(out.fd, modem_outputs(), true);
    print_message("%s\n", handshake_line(out.path->data(), *handshake).text.data());
    result_handshake(out.path->data(), handshake);
    if (cts_follows_nothing(settings, *handshake)) {
      print_message("ERROR CTS of %s follows nothing\n", in.path->data());
      flows = false;
    }
  }
  return flows;
}

}  // namespace looptest
