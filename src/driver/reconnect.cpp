#include "driver/reconnect.h"

#include <unistd.h>

#include "driver/control.h"
#include "driver/messages.h"
#include "driver/relay.h"
#include "system/clock.h"
#include "system/wait.h"

namespace looptest {

namespace {

// A lost port is looked for again at the pace of a failed relay's retries.
void search_later(Reconnect& reconnect) {
  reconnect.next_search = later_by(monotonic_now(), wait_milliseconds);
}

void mark_lost(Ports& ports, int number, Reconnect& reconnect, const SecondRelay& second) {
  Port& port = port_numbered(ports, number);
  if (port.lost) return;
  print_message("ERROR %s lost\n", port.path->data());
  lose_port(port);
  reconnect.ever_lost = true;
  if (second.link != -1) send_note(second.link, Note::drop, number);
  search_later(reconnect);
}

int gone_now(const Ports& ports) {
  return (!ports.port1.lost && port_gone(ports.port1) ? 1 : 0) |
         (!ports.port2.lost && port_gone(ports.port2) ? 2 : 0);
}

}  // namespace

void point_at_ports(Direction& direction, const Port& in, const Port& out) {
  direction.in = in.fd;
  direction.out = out.fd;
  direction.retry_at.reset();
}

bool any_lost(const Ports& ports) { return ports.port1.lost || ports.port2.lost; }

int ports_gone(const Ports& ports, int control) {
  const timespec give_up = later_by(monotonic_now(), recheck_for_milliseconds);
  int gone = gone_now(ports);
  while (gone == 0 && milliseconds_until(give_up) > 0 &&
         !wait_for(-1, 0, control, recheck_milliseconds).control) {
    gone = gone_now(ports);
  }
  return gone;
}

bool look_for_lost_ports(Ports& ports, Reconnect& reconnect, const SecondRelay& second,
                         int control) {
  const int gone = ports_gone(ports, control);
  for (const int number : {1, 2}) {
    if ((gone & number) != 0) mark_lost(ports, number, reconnect, second);
  }
  return gone != 0;
}

bool search_lost_ports(Ports& ports, Reconnect& reconnect, const SecondRelay& second,
                       const LineSettings& settings) {
  // While a port is lost neither relay reads the other, so only here is it seen to go too.
  const int gone = gone_now(ports);
  for (const int number : {1, 2}) {
    if ((gone & number) != 0) mark_lost(ports, number, reconnect, second);
  }
  bool changed = gone != 0;
  for (const int number : {1, 2}) {
    Port& port = port_numbered(ports, number);
    if (!port.lost || !reopen_port(port, port_numbered(ports, 3 - number), settings)) continue;
    print_message("%s back\n", port.path->data());
    if (second.link != -1) send_note(second.link, Note::port, number, port.fd);
    changed = true;
  }
  search_later(reconnect);
  return changed;
}

bool take_notes(Ports& ports, Reconnect& reconnect, const SecondRelay& second, Control& control) {
  bool lost = false;
  for (LinkMessage message = receive_note(second.link); message.note != Note::none;
       message = receive_note(second.link)) {
    if (message.note == Note::ended) {
      stop_watching_link(control);
      break;
    }
    if (message.note != Note::lost) continue;
    if (port_numbered(ports, message.port).lost) {
      send_note(second.link, Note::drop, message.port);  // it gets the port when it is back
    } else if (port_gone(port_numbered(ports, message.port))) {
      mark_lost(ports, message.port, reconnect, second);
      lost = true;
    } else {
      send_note(second.link, Note::kept, message.port);
    }
  }
  return lost;
}

int tell_lost_ports(const Ports& ports, int link) {
  const int gone = ports_gone(ports, link);
  for (const int number : {1, 2}) {
    if ((gone & number) != 0) send_note(link, Note::lost, number);
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
