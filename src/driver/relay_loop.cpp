#include "driver/relay_loop.h"

#include "system/clock.h"
#include "system/wait.h"

namespace looptest {

namespace {

bool first(const RelayLoop& loop) { return loop.process == RelayProcess::first; }

// While a port is lost: waits for control; the first process looks for lost ports when its
// search is due, the second only waits for word from the first. False when control became
// readable.
bool wait_while_lost(RelayLoop& loop) {
  const int wait_ms = first(loop) ? milliseconds_until(loop.reconnect->next_search) : -1;
  if (wait_readable(loop.control, wait_ms)) return false;
  if (first(loop) && search_lost_ports(*loop.ports, *loop.reconnect, loop.link, *loop.settings)) {
    point_at_ports(loop);
  }
  return true;
}

}  // namespace

void point_at_ports(RelayLoop& loop) {
  point_at_ports(*loop.direction, port_numbered(*loop.ports, loop.input),
                 port_numbered(*loop.ports, other(loop.input)));
}

void relay_until_control(RelayLoop& loop) {
  for (;;) {
    if (any_lost(*loop.ports) || loop.awaiting_word) {
      if (!wait_while_lost(loop)) return;
      continue;
    }
    const RelayEnd end = relay_direction(*loop.direction, loop.control);
    if (end == RelayEnd::stopped) return;
    const GonePorts gone =
        first(loop) ? look_for_lost_ports(*loop.ports, *loop.reconnect, loop.link, loop.control)
                    : tell_lost_ports(*loop.ports, loop.link);
    // A block for a port that has gone waits for the port to come back.
    if (end == RelayEnd::write_failed && !gone.has(other(loop.input))) {
      drop_failed_block(*loop.direction);
    }
    if (!gone.any()) continue;
    if (first(loop)) {
      point_at_ports(loop);
    } else {
      loop.awaiting_word = true;
    }
  }
}

}  // namespace looptest
