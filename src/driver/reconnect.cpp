#include "driver/reconnect.h"

#include <unistd.h>

#include "driver/control.h"
#include "driver/messages.h"
#include "driver/relay.h"
#include "system/clock.h"

namespace looptest {

namespace {

// A lost port is looked for again at the pace of a failed relay's retries.
void search_later(Reconnect& reconnect) {
  reconnect.next_search = later_by(monotonic_now(), wait_milliseconds);
}

void mark_lost(Port& port, Reconnect& reconnect) {
  if (port.lost) return;
  print_message("ERROR %s lost\n", port.path->data());
  lose_port(port);
  reconnect.ever_lost = true;
  search_later(reconnect);
}

}  // namespace

void point_at_ports(Direction& direction, const Port& in, const Port& out) {
  if (direction.in == in.fd && direction.out == out.fd) return;  // a failed port still waits
  direction.in = in.fd;
  direction.out = out.fd;
  direction.retry_at.reset();
}

bool any_lost(const Ports& ports) { return ports.port1.lost || ports.port2.lost; }

void look_for_lost_ports(Ports& ports, Reconnect& reconnect) {
  for (Port* port : {&ports.port1, &ports.port2}) {
    if (!port->lost && port_gone(*port)) mark_lost(*port, reconnect);
  }
}

void search_lost_ports(Ports& ports, Reconnect& reconnect, const SecondRelay& second,
                       const LineSettings& settings) {
  for (const int number : {1, 2}) {
    Port& port = port_numbered(ports, number);
    if (!port.lost || !reopen_port(port, port_numbered(ports, 3 - number), settings)) continue;
    print_message("%s back\n", port.path->data());
    if (second.link != -1) send_note(second.link, Note::port, number, port.fd);
  }
  search_later(reconnect);
}

void take_notes(Ports& ports, Reconnect& reconnect, const SecondRelay& second, Control& control) {
  for (LinkMessage message = receive_note(second.link); message.note != Note::none;
       message = receive_note(second.link)) {
    if (message.note == Note::ended) {
      stop_watching_link(control);
      return;
    }
    if (message.note == Note::lost) {
      Port& port = port_numbered(ports, message.port);
      if (port.lost) continue;  // it gets the port when it is back
      if (port_gone(port)) {
        mark_lost(port, reconnect);
      } else {
        send_note(second.link, Note::kept, message.port);
      }
    }
  }
}

bool tell_lost_ports(const Ports& ports, int link) {
  bool lost = false;
  for (const int number : {1, 2}) {
    if (port_gone(number == 1 ? ports.port1 : ports.port2)) {
      send_note(link, Note::lost, number);
      lost = true;
    }
  }
  return lost;
}

void take_port(Ports& ports, const LinkMessage& message) {
  Port& port = port_numbered(ports, message.port);
  if (port.fd != -1) close(port.fd);
  port.fd = message.fd;
}

}  // namespace looptest
