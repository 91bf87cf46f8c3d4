#include "driver/run.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "driver/control.h"
#include "driver/counts.h"
#include "driver/drain.h"
#include "driver/messages.h"
#include "driver/ports.h"
#include "driver/probe.h"
#include "driver/reconnect.h"
#include "driver/relay.h"
#include "driver/relay_loop.h"
#include "driver/report.h"
#include "driver/result.h"
#include "driver/ring.h"
#include "driver/signals.h"
#include "driver/split.h"
#include "driver/turn.h"
#include "driver/verdict.h"
#include "system/clock.h"
#include "system/wait.h"

namespace looptest {

namespace {

// The first process's state: it relays port 1 to port 2, answers every signal for both
// relays, follows lost ports and reports.
struct Run {
  const LineSettings& settings;
  Ports ports;
  SharedCounts* counts = nullptr;
  Control control{};
  SecondRelay second{};
  Direction forward{};  // port 1 to port 2
  Reconnect reconnect{};
  RelayLoop loop{};
  // False for a duration of 0 or less (the ports are only set up), and where the test stream
  // did not come round (the run only waits for its end).
  bool relays = false;
  timespec started{};
  timespec relays_ended{};
  ProgressMark progress{};
  // With check=on or internal: the test stream, its wiring, and this relay's part of the ring.
  bool checking = false;
  bool wiring_failed = false;
  Wiring wiring = Wiring::none;
  RingPart forward_ring{};
  Turn forward_turn{};  // on a half-duplex pair
};

// The counts of the relay that writes into the hop a direction reads: with a loop on each
// port, the other relay's; with a cable or a pair, the relay's own.
const DirectionCounts& upstream_of(const Run& run, const DirectionCounts& counts) {
  if (run.wiring == Wiring::cable || run.wiring == Wiring::pair) return counts;
  return &counts == &run.counts->forward ? run.counts->backward : run.counts->forward;
}

// How the relays ended.
struct RelaysEnd {
  int stop = 0;              // the stop signal that ended the run; 0 when it ended by itself
  bool second_lost = false;  // the second relay ended on its own
};

void say_second_ended(const Run& run) {
  print_message("ERROR relay %s -> %s ended%s\n", run.ports.port2.path->data(),
                run.ports.port1.path->data(), second_relay_reason(run.second).data());
}

// Answers what interrupted the first relay; the run's end, if that was it.
std::optional<RelaysEnd> answer_events(Run& run) {
  for (ControlEvent event = next_event(run.control); event.what != Event::none;
       event = next_event(run.control)) {
    switch (event.what) {
      case Event::duration:
        return RelaysEnd{};
      case Event::stop:
        return RelaysEnd{.stop = event.signal};
      case Event::child:
        // Only its end matters; a second relay that was stopped or continued signals too.
        if (!reap_second(run.second)) break;
        say_second_ended(run);
        return RelaysEnd{.second_lost = true};
      case Event::progress:
        print_progress(run.progress, run.started, run.ports,
                       totals_so_far(run.counts->forward, run.ports.port1, run.checking),
                       totals_so_far(run.counts->backward, run.ports.port2, run.checking));
        result_progress("interval", run.started, run.ports, *run.counts, run.checking);
        break;
      case Event::report:
        print_summaries(run.ports,
                        totals_so_far(run.counts->forward, run.ports.port1, run.checking),
                        totals_so_far(run.counts->backward, run.ports.port2, run.checking));
        result_progress("signal", run.started, run.ports, *run.counts, run.checking);
        break;
      case Event::note: {
        const NotesTaken notes = take_notes(run.ports, run.reconnect, run.second.link);
        if (notes.ended) stop_watching_link(run.control);
        if (notes.lost) point_at_ports(run.loop);
        break;
      }
      case Event::none:
        break;
    }
  }
  return std::nullopt;
}

// Relays port 1 to port 2 until the run ends, following lost ports.
RelaysEnd relay_until_ended(Run& run) {
  run.loop = {.process = RelayProcess::first,
              .direction = &run.forward,
              .ports = &run.ports,
              .input = PortNumber::one,
              .control = run.control.any,
              .link = run.second.link,
              .reconnect = &run.reconnect,
              .settings = &run.settings};
  // What came before the relays ran (a stop, a report asked for during the probes) first.
  for (;;) {
    if (const std::optional<RelaysEnd> end = answer_events(run)) return *end;
    relay_until_control(run.loop);
  }
}

// The test stream did not come round: relaying would only send what the probes left round the
// plugs, so neither relay runs, and the run waits for its end, which fails it.
RelaysEnd idle_until_ended(Run& run) {
  for (;;) {
    if (const std::optional<RelaysEnd> end = answer_events(run)) return *end;
    wait_readable(run.control.any, -1);
  }
}

// With check=on or internal: finds the wiring and the handshake lines, and makes the two parts
// of the ring; on a pair, the turn they take. Where the stream does not come round, the relays
// stay idle, and the run fails.
void set_up_ring(Run& run, SecondRelayPart& second) {
  const WiringFound found = find_wiring(run.ports, run.settings, run.control);
  if (found.stopped) return;  // the relays see the stop at once
  run.wiring = found.wiring;
  if (run.wiring == Wiring::none) {
    run.wiring_failed = true;
    return;
  }
  run.wiring_failed = !report_handshake(run.ports, run.wiring, run.settings, run.control);
  second.ring.emplace();
  make_ring_parts(run.settings, run.wiring, run.forward_ring, *second.ring);
  run.forward.ring = &run.forward_ring;
  second.ring_ms = ring_drain_milliseconds(run.settings);
  if (run.wiring != Wiring::pair) return;
  const Turn turn{.holder = &run.counts->turn,
                  .bound_ms = turn_milliseconds(run.settings),
                  .quiet_ms = turn_quiet_milliseconds(run.settings)};
  run.forward_turn = turn;
  run.forward.turn = &run.forward_turn;
  second.turn = turn;
  second.turn->own = 1;
}

// Both relays until the run ends; none for a duration of 0 or less. Should the split fail,
// this process still relays port 1 to port 2, and the end says that the other never ran.
RelaysEnd relay_both_ways(Run& run) {
  const std::optional<std::int32_t>& duration = run.settings.duration;
  // Each relay's input is watched from now: what arrives must be read.
  const std::int64_t now = nanoseconds_of(monotonic_now());
  for (DirectionCounts* counts : {&run.counts->forward, &run.counts->backward}) {
    counts->last_moved.store(now, std::memory_order_relaxed);
  }
  run.relays = !duration || *duration > 0;
  // With the check on, a run that checks nothing cannot pass, however short.
  run.checking = run.settings.check != Check::off;
  if (!run.relays) return {};
  SecondRelayPart second{.counts = &run.counts->backward};
  if (run.checking) set_up_ring(run, second);
  run.relays = !(run.checking && run.wiring_failed && run.wiring == Wiring::none);
  if (run.relays) {
    second.upstream = &upstream_of(run, run.counts->backward);
    run.second = start_second_relay(
        run.ports, second,
        {run.control.signals, run.control.duration, run.control.progress, run.control.any});
    // Should this fail, the first relay's own failures still find a lost port.
    if (run.second.started) watch_link(run.control, run.second.link);
  }
  run.started = monotonic_now();
  run.progress.at = run.started;
  if (duration) start_duration(run.control, *duration);
  if (run.settings.interval && *run.settings.interval > 0) {
    start_progress(run.control, *run.settings.interval);
  }
  const RelaysEnd ended = run.relays ? relay_until_ended(run) : idle_until_ended(run);
  run.relays_ended = monotonic_now();
  return ended;
}

// Both relays finish their blocks and the drivers send what they hold, for a bounded time.
// Every stop signal stays in the control descriptor meanwhile: a second one only hurries this.
EndFacts end_relays(Run& run, const RelaysEnd& relays_end, EndWaits& end) {
  stop_watching_link(run.control);
  const InputAtEnd at_input1 = input_at_end(run.ports.port1, run.counts->forward);
  const InputAtEnd at_input2 = input_at_end(run.ports.port2, run.counts->backward);
  ask_second_to_finish(run.second);
  if (!run.ports.port2.lost) finish_first_relay(run.forward, end);  // else it is not delivered
  run.counts->forward.stream_ended.store(true, std::memory_order_relaxed);
  // A ring stops its stream, then lets what is on its way come round.
  if (run.forward.ring != nullptr) {
    drain_ring(run.forward, upstream_of(run, run.counts->forward), end.ring_deadline,
               run.control.signals, &end);
  }
  const bool second_killed = end_second_relay(run.second, end);
  // A second relay that died on its own, seen only now (the duration came first), is no pass.
  const bool died_unseen = !relays_end.second_lost && !second_killed && run.second.ended_badly;
  if (died_unseen) say_second_ended(run);
  const OutputAtEnd at_port2 = drain_output(run.ports.port2, end);
  const OutputAtEnd at_port1 = drain_output(run.ports.port1, end);
  const DirectionCounts& forward = run.counts->forward;
  const DirectionCounts& backward = run.counts->backward;
  return {
      .forward = {totals_at_end(forward, run.ports.port1, run.checking, at_port2.discarded),
                  at_port2, waited_milliseconds(forward), at_input1},
      .backward = {totals_at_end(backward, run.ports.port2, run.checking, at_port1.discarded),
                   at_port1, waited_milliseconds(backward), at_input2},
      .relays_ran = run.relays,
      .second_missing = run.relays && !run.second.started,
      .second_lost = relays_end.second_lost || died_unseen,
      .second_killed = second_killed,
      .configured = run.ports.port1.configured && run.ports.port2.configured,
      .port_lost = run.reconnect.ever_lost,
      .lost_at_end = any_lost(run.ports),
      .checking = run.checking,
      .wiring_failed = run.wiring_failed,
      .relayed_ms = run.relays ? milliseconds_between(run.started, run.relays_ended) : 0,
      .characters_per_second = characters_per_second(run.settings),
      .stop = relays_end.stop,
  };
}

// A run that could not start: it opened nothing, or holds nothing it could report.
int not_run() {
  EndFacts facts{};
  facts.opened = false;
  end_result(facts, judge(facts), nullptr, nullptr);
  return judge(facts).exit_status;
}

}  // namespace

int run_loop_test(const PortPath& port1_path, const PortPath& port2_path,
                  const LineSettings& settings) {
  std::printf("tty1=%s\ntty2=%s\n", port1_path.data(), port2_path.data());
  Run run{.settings = settings,
          .ports = {.port1 = {.path = &port1_path}, .port2 = {.path = &port2_path}}};
  // The signals are taken first, so that a stop, from the moment the ports have the line
  // settings, ends the run cleanly; the output that never blocks is in place before anything
  // is printed about a port.
  run.counts = map_shared_counts();
  if (run.counts == nullptr) {
    std::printf("ERROR mmap: %s\n", std::strerror(errno));
    return not_run();
  }
  open_message_output(run.counts->dropped_lines);
  if (const Failure failure = take_control(run.control)) {
    print_message("ERROR %s: %s\n", failure.call, std::strerror(failure.error));
    return not_run();
  }
  // Before a port is touched: a result that cannot be written stops the run here.
  if (const Failure failure = start_result(port1_path, port2_path, settings)) {
    print_message("ERROR result file %s: %s\n", settings.result.path.data(),
                  std::strerror(failure.error));
    return not_run();
  }
  if (!open_ports(run.ports.port1, run.ports.port2, settings)) return not_run();
  run.forward = {
      .in = run.ports.port1.fd, .out = run.ports.port2.fd, .counts = &run.counts->forward};
  const RelaysEnd relays_end = relay_both_ways(run);
  EndWaits end = start_end(run.control.signals, settings.baudrate,
                           run.forward.ring != nullptr ? ring_drain_milliseconds(settings) : 0);
  // Two stops read before the relays ran: the second hurries the end, as it would have there.
  end.hurried = run.control.kept_further_stop;
  EndFacts facts = end_relays(run, relays_end, end);
  facts.told = print_end(run.ports, facts, judge(facts), run.counts->dropped_lines.load(),
                         second_relay_reason(run.second).data(), end);
  const Verdict verdict = judge(facts);
  end_result(facts, verdict, &run.ports, run.counts);
  restore_port(run.ports.port1);
  restore_port(run.ports.port2);
  if (verdict.end_signal != 0) end_by(verdict.end_signal);
  return verdict.exit_status;
}

}  // namespace looptest
