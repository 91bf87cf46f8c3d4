#include "driver/split.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <utility>

#include "driver/control.h"
#include "driver/drain.h"
#include "driver/link.h"
#include "driver/reconnect.h"
#include "system/clock.h"
#include "system/retry.h"
#include "system/wait.h"

namespace looptest {

namespace {

// The second relay: port 2 to port 1 until the first process asks it over the link to finish
// the block in hand and end, or closes the link, which asks it to end at once. While a port is
// lost it relays nothing, and holds nothing of it open, until the first process sends the
// port again. It is never killed while it relays, so its counts are whole. It ends with the
// first process however that ends, so no orphan keeps a port open; it answers no signal, as
// the first process answers them for both.
[[noreturn]] void relay_second(Ports ports, Direction backward, const SecondRelayPart& part,
                               int link, pid_t first) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // cannot fail with a valid signal
  if (getppid() != first) _exit(1);  // the first died before the request took effect
  for (;;) {
    if (any_lost(ports)) {
      wait_readable(link, -1);
    } else if (const RelayEnd end = relay_direction(backward, link); end != RelayEnd::stopped) {
      const int gone = tell_lost_ports(ports, link);
      // A block for a port that has gone waits for the port to come back.
      if (end == RelayEnd::write_failed && (gone & 1) == 0) drop_failed_block(backward);
      if (gone == 0) continue;
      wait_readable(link, -1);
    }
    const LinkMessage message = receive_note(link);
    switch (message.note) {
      case Note::none:
      case Note::kept:
      case Note::lost:
        continue;
      case Note::drop:
      case Note::port:
        take_port_note(ports, message);
        point_at_ports(backward, ports.port2, ports.port1);
        continue;
      case Note::finish:
        if (!ports.port1.lost) write_pending(backward, link, drain_milliseconds);
        part.counts->stream_ended.store(true, std::memory_order_relaxed);
        // With the test stream it writes no more of it, and checks what is still on its way.
        if (backward.ring != nullptr) {
          drain_ring(backward, *part.upstream, later_by(monotonic_now(), part.ring_ms), link,
                     nullptr);
        }
        _exit(0);
      case Note::ended:
        _exit(0);
    }
  }
}

}  // namespace

SecondRelay start_second_relay(Control& control, const Ports& ports, const SecondRelayPart& part) {
  std::array<int, 2> link{-1, -1};
  if (!make_link(link)) return {};
  const pid_t first = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    for (const int fd :
         {link[0], control.signals, control.duration, control.progress, control.any}) {
      close(fd);
    }
    relay_second(
        ports,
        Direction{
            .in = ports.port2.fd, .out = ports.port1.fd, .counts = part.counts, .ring = part.ring},
        part, link[1], first);
  }
  close(link[1]);
  if (pid == -1) {
    close(link[0]);
    return {};
  }
  // Should this fail, the first relay's own failures still find a lost port.
  watch_link(control, link[0]);
  return {.pid = pid, .link = link[0], .started = true};
}

bool reap_second(SecondRelay& second) {
  if (second.pid <= 0 || waitpid(second.pid, nullptr, WNOHANG) != second.pid) return false;
  second.pid = -1;
  return true;
}

void ask_second_to_finish(const SecondRelay& second) {
  if (second.link != -1) send_note(second.link, Note::finish, 0);
}

void hurry_second(SecondRelay& second) {
  if (second.link != -1) close(std::exchange(second.link, -1));
}

void kill_second(SecondRelay& second) {
  if (second.pid <= 0) return;
  kill(second.pid, SIGKILL);
  retry_interrupted([&] { return static_cast<int>(waitpid(second.pid, nullptr, 0)); });
  second.pid = -1;
}

}  // namespace looptest
