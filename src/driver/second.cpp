#include "driver/second.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

#include "driver/drain.h"
#include "driver/link.h"
#include "driver/relay_loop.h"
#include "system/clock.h"

namespace looptest {

namespace {

// The first process asked it to finish: it writes the block in hand and, with the test stream,
// checks what is still on its way round, then ends.
[[noreturn]] void finish(Direction& backward, const Ports& ports, const SecondRelayPart& part,
                         int link) {
  if (!ports.port1.lost) write_pending(backward, link, drain_milliseconds);
  part.counts->stream_ended.store(true, std::memory_order_relaxed);
  if (backward.ring != nullptr) {
    drain_ring(backward, *part.upstream, later_by(monotonic_now(), part.ring_ms), link, nullptr);
  }
  _exit(0);
}

}  // namespace

// While a port is lost it relays nothing, and holds nothing of it open, until the first
// process sends the port again. It is never killed while it relays, so its counts are whole.
// It ends with the first process however that ends, so no orphan keeps a port open; it
// answers no signal, as the first process answers them for both.
// cppcheck-suppress constParameter ; its ring and turn are changed through pointers into it
void run_second_relay(Ports ports, SecondRelayPart& part, int link, pid_t first) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // cannot fail with a valid signal
  if (getppid() != first) _exit(1);  // the first died before the request took effect
  Direction backward{.in = ports.port2.fd,
                     .out = ports.port1.fd,
                     .counts = part.counts,
                     .ring = part.ring ? &*part.ring : nullptr,
                     .turn = part.turn ? &*part.turn : nullptr};
  RelayLoop loop{.process = RelayProcess::second,
                 .direction = &backward,
                 .ports = &ports,
                 .input = PortNumber::two,
                 .control = link,
                 .link = link};
  for (;;) {
    relay_until_control(loop);
    const LinkMessage message = receive_note(link);
    switch (message.note) {
      case Note::none:
      case Note::lost:
        continue;
      case Note::kept:
        loop.awaiting_word = false;
        continue;
      case Note::drop:
      case Note::port:
        loop.awaiting_word = false;
        take_port_note(ports, message);
        point_at_ports(loop);
        continue;
      case Note::finish:
        finish(backward, ports, part, link);
      case Note::ended:
        _exit(0);
    }
  }
}

}  // namespace looptest
