#include "check/wiring.h"

#include <sys/ioctl.h>

#include <algorithm>

#include "line/line_config.h"

namespace looptest {

namespace {

// " RTS -> CTS DSR", or " RTS not looped", for one output and the inputs that follow it.
void append_output(TextLine& line, ModemLines output, ModemLines inputs) {
  append(line, "%s%s", modem_line_name(output), inputs == 0 ? " not looped" : " ->");
  for (const ModemLines input : {TIOCM_CTS, TIOCM_DSR, TIOCM_CAR}) {
    if ((inputs & input) != 0) append(line, " %s", modem_line_name(input));
  }
}

}  // namespace

std::optional<PortNumber> returning_port(Wiring wiring, PortNumber port) {
  switch (wiring) {
    case Wiring::loops:
    case Wiring::internal:
      return port;
    case Wiring::cable:
    case Wiring::pair:
      return other(port);
    case Wiring::none:
      break;
  }
  return std::nullopt;
}

std::string_view wiring_text(Wiring wiring) {
  switch (wiring) {
    case Wiring::loops:
      return "a loop on each port";
    case Wiring::cable:
      return "a cable between the ports";
    case Wiring::internal:
      return "internal loopback";
    case Wiring::pair:
      return "a pair between the ports";
    case Wiring::none:
      break;
  }
  return "none";
}

WiringDecision decide_wiring(Check check, bool half, const ProbesBack& back) {
  const std::optional<PortNumber> back1 = back[static_cast<std::size_t>(index_of(PortNumber::one))];
  Wiring wiring = Wiring::none;
  if (check == Check::internal) {
    wiring = Wiring::internal;
  } else if (back1) {
    const Wiring between = half ? Wiring::pair : Wiring::cable;
    wiring = *back1 == PortNumber::one ? Wiring::loops : between;
  }
  // Where port 1's probe came back nowhere, nothing says where port 2's should: that it came
  // back at all is all there is to know of it.
  const bool known = wiring != Wiring::none;
  WiringDecision decision;
  for (const PortNumber port : {PortNumber::one, PortNumber::two}) {
    const auto index = static_cast<std::size_t>(index_of(port));
    decision.came_round[index] =
        back[index] && (!known || back[index] == returning_port(wiring, port));
  }
  if (decision.came_round[0] && decision.came_round[1]) decision.wiring = wiring;
  return decision;
}

Probe make_probe(const StreamAlphabet& alphabet) {
  Probe probe{};
  stream_block(alphabet, 0, probe);
  return probe;
}

int probe_milliseconds(const LineSettings& settings) {
  return 500 + milliseconds_for_characters(settings, 2 * probe_length);
}

void keep_seen(Seen& seen, std::span<const char> arrived) {
  if (arrived.size() > seen_length) arrived = arrived.last(seen_length);
  const std::size_t keep = std::min(seen.size, seen_length - arrived.size());
  const auto first = seen.bytes.begin() + static_cast<std::ptrdiff_t>(seen.size - keep);
  std::copy(first, first + static_cast<std::ptrdiff_t>(keep), seen.bytes.begin());
  std::copy(arrived.begin(), arrived.end(), seen.bytes.begin() + static_cast<std::ptrdiff_t>(keep));
  seen.size = keep + arrived.size();
}

bool probe_seen(const Seen& seen, std::span<const char> probe, unsigned char mask) {
  for (std::size_t at = 0; at + probe.size() <= seen.size; ++at) {
    const bool whole = std::equal(
        probe.begin(), probe.end(), seen.bytes.begin() + static_cast<std::ptrdiff_t>(at),
        [mask](char sent, char arrived) {
          return (static_cast<unsigned char>(arrived) & mask) == static_cast<unsigned char>(sent);
        });
    if (whole) return true;
  }
  return false;
}

TextLine handshake_line(std::string_view path, const Handshake& handshake) {
  TextLine line = text_line("%.*s: ", static_cast<int>(path.size()), path.data());
  append_output(line, TIOCM_RTS, handshake.after_rts);
  append(line, ", ");
  append_output(line, TIOCM_DTR, handshake.after_dtr);
  return line;
}

bool cts_follows_nothing(const LineSettings& settings, const Handshake& handshake) {
  const ModemLines followed = handshake.after_rts | handshake.after_dtr;
  return settings.flowcontrol == FlowControl::hardware && (followed & TIOCM_CTS) == 0;
}

}  // namespace looptest
