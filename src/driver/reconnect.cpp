#include "driver/reconnect.h"

#include <unistd.h>

#include "driver/messages.h"
#include "driver/result_file.h"
#include "system/clock.h"
#include "system/wait.h"

namespace looptest {

namespace {

constexpr std::array both_ports{PortNumber::one, PortNumber::two};

// A lost port is looked for again at the pace of a failed relay's retries.
void search_later(Reconnect& reconnect) {
  reconnect.next_search = later_by(monotonic_now(), wait_milliseconds);
}

void mark_lost(Ports& ports, PortNumber number, Reconnect& reconnect, int link) {
  Port& port = port_numbered(ports, number);
  if (port.lost) return;
  print_message("ERROR %s lost\n", port.path->data());
  result_port(port.path->data(), "lost");
  lose_port(port);
  reconnect.ever_lost = true;
  if (link != -1) send_note(link, Note::drop, number);
  search_later(reconnect);
}

void mark_all_lost(Ports& ports, GonePorts gone, Reconnect& reconnect, int link) {
  for (const PortNumber number : both_ports) {
    if (gone.has(number)) mark_lost(ports, number, reconnect, link);
  }
}

GonePorts gone_now(const Ports& ports) {
  return {.port1 = !ports.port1.lost && port_gone(ports.port1),
          .port2 = !ports.port2.lost && port_gone(ports.port2)};
}

}  // namespace

void point_at_ports(Direction& direction, const Port& in, const Port& out) {
  direction.in = in.fd;
  direction.out = out.fd;
  direction.retry_at.reset();
}

bool any_lost(const Ports& ports) { return ports.port1.lost || ports.port2.lost; }

GonePorts ports_gone(const Ports& ports, int control) {
  const timespec give_up = later_by(monotonic_now(), recheck_for_milliseconds);
  GonePorts gone = gone_now(ports);
  while (!gone.any() && milliseconds_until(give_up) > 0 &&
         wait_until(later_by(monotonic_now(), recheck_milliseconds), control)) {
    gone = gone_now(ports);
  }
  return gone;
}

GonePorts look_for_lost_ports(Ports& ports, Reconnect& reconnect, int link, int control) {
  const GonePorts gone = ports_gone(ports, control);
  mark_all_lost(ports, gone, reconnect, link);
  return gone;
}

bool search_lost_ports(Ports& ports, Reconnect& reconnect, int link, const LineSettings& settings) {
  // While a port is lost neither relay reads the other, so only here is it seen to go too.
  const GonePorts gone = gone_now(ports);
  mark_all_lost(ports, gone, reconnect, link);
  bool changed = gone.any();
  for (const PortNumber number : both_ports) {
    Port& port = port_numbered(ports, number);
    if (!port.lost || !reopen_port(port, port_numbered(ports, other(number)), settings)) continue;
    print_message("%s back\n", port.path->data());
    result_port(port.path->data(), "back");
    if (link != -1) send_note(link, Note::port, number, port.fd);
    changed = true;
  }
  search_later(reconnect);
  return changed;
}

NotesTaken take_notes(Ports& ports, Reconnect& reconnect, int link) {
  NotesTaken taken;
  for (LinkMessage message = receive_note(link); message.note != Note::none;
       message = receive_note(link)) {
    if (message.note == Note::ended) {
      taken.ended = true;
      break;
    }
    if (message.note != Note::lost) continue;
    if (port_numbered(ports, message.port).lost) {
      send_note(link, Note::drop, message.port);  // it gets the port when it is back
    } else if (port_gone(port_numbered(ports, message.port))) {
      mark_lost(ports, message.port, reconnect, link);
      taken.lost = true;
    } else {
      send_note(link, Note::kept, message.port);
    }
  }
  return taken;
}

GonePorts tell_lost_ports(const Ports& ports, int link) {
  const GonePorts gone = ports_gone(ports, link);
  for (const PortNumber number : both_ports) {
    if (gone.has(number)) send_note(link, Note::lost, number);
  }
  return gone;
}

void take_port_note(Ports& ports, const LinkMessage& message) {
  Port& port = port_numbered(ports, message.port);
  if (message.note == Note::drop) {
    lose_port(port);
    return;
  }
  if (port.fd != -1) close(port.fd);
  port.fd = message.fd;
  port.lost = false;
}

}  // namespace looptest
