#include "settings/options.h"

#include "settings/number.h"

namespace looptest {

namespace {

// Skips leading delimiters, then returns the token up to the next delimiter and the rest
// after that delimiter (empty when the token ran to the end).
struct Token {
  std::string_view text;
  std::string_view rest;
};

Token next_token(std::string_view text, std::string_view delimiters) {
  const std::size_t start = text.find_first_not_of(delimiters);
  if (start == std::string_view::npos) return {};
  text.remove_prefix(start);
  const std::size_t end = text.find_first_of(delimiters);
  if (end == std::string_view::npos) return {text, {}};
  std::string_view rest = text;
  rest.remove_prefix(end + 1);  // end is inside text, so this cannot fail
  return {text.substr(0, end), rest};
}

// A number that is not the whole value, or lies outside 32 bits, leaves the field as it was.
template <typename Field>
void store_number(Field& field, std::string_view value) {
  std::int32_t number = 0;
  if (parse_whole_number(value, number)) field = number;
}

// A path that does not fit is kept as far as it fits, and refused by the run.
void store_path(ResultPath& result, std::string_view value) {
  result = {};
  result.too_long = value.size() >= result.path.size();
  value.substr(0, result.path.size() - 1).copy(result.path.data(), result.path.size() - 1);
}

// The RS-485 and duplex options; false for a key that is none of them.
bool read_rs485_option(LineSettings& settings, std::string_view key, std::string_view value) {
  if (key == "rs485") {
    settings.rs485 = on_of_keyword(value);
  } else if (key == "rtsonsend") {
    settings.rtsonsend = rts_level_of_keyword(value);
  } else if (key == "delaybefore") {
    store_number(settings.delaybefore, value);
  } else if (key == "delayafter") {
    store_number(settings.delayafter, value);
  } else if (key == "rxduringtx") {
    settings.rxduringtx = on_of_keyword(value);
  } else if (key == "duplex") {
    settings.duplex = duplex_of_keyword(value);
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::optional<Option> split_option(std::string_view argument) {
  const Token key = next_token(argument, "=\n");
  if (key.text.empty()) return std::nullopt;
  const Token value = next_token(key.rest, "\n");
  if (value.text.empty()) return std::nullopt;
  return Option{key.text, value.text};
}

void read_option(LineSettings& settings, std::string_view argument, std::FILE* out) {
  const std::optional<Option> option = split_option(argument);
  if (!option) {
    std::fputs("syntax bad\n", out);
    return;
  }
  const auto [key, value] = *option;
  if (key == "baudrate") {
    store_number(settings.baudrate, value);
  } else if (key == "databits") {
    store_number(settings.databits, value);
  } else if (key == "stopbits") {
    store_number(settings.stopbits, value);
  } else if (key == "duration") {
    store_number(settings.duration, value);
  } else if (key == "interval") {
    store_number(settings.interval, value);
  } else if (key == "parity") {
    settings.parity = parity_of_keyword(value);
  } else if (key == "flowcontrol") {
    settings.flowcontrol = flow_control_of_keyword(value);
  } else if (key == "check") {
    settings.check = check_of_keyword(value);
  } else if (key == "result") {
    store_path(settings.result, value);
  } else {
    read_rs485_option(settings, key, value);
  }
}

void read_options(LineSettings& settings, std::span<char* const> arguments, std::FILE* out) {
  for (const char* argument : arguments) read_option(settings, argument, out);
}

void write_usage(std::FILE* out) {
  std::fputs(
      "usage: looptest [port1 [port2 [key=value ...]]]\n"
      "       looptest --help | --version\n"
      "\n"
      "Sets two serial ports to the same line settings and relays every byte that arrives\n"
      "on either port out of the other, both ways at once, until it is stopped. Without\n"
      "check=, it sends nothing of its own: equipment, a loop plug and a sender, or another\n"
      "program must drive the far ends, and a timed run that nothing passes through passes.\n"
      "Without port names it asks for them; a name it does not know keeps the default.\n"
      "\n"
      "ports:\n"
      "  sN                   /dev/tep/sN, the scc ports (s1, s2, ...)\n"
      "  aN                   /dev/tep/aN, the cd ports (a1, a2, ...); default a4 and a5\n"
      "\n"
      "options, after both ports:\n"
      "  baudrate=RATE        bit/s, default 115200: the kernel's rates 50 ... 4000000, or any\n"
      "                       other above 0 (250000, 31250, ...); read back once set, and a\n"
      "                       port that keeps another rate says ERROR configuring PATH and\n"
      "                       fails the run; 0 or less runs at 9600, and says so\n"
      "  databits=5|6|7|8     default 8\n"
      "  stopbits=1|2         default 1\n"
      "  parity=none|even|odd|mark|space          default none\n"
      "  flowcontrol=none|hardware|software       default hardware (RTS/CTS)\n"
      "                       software: the line takes each 0x11 and 0x13 from a far end as\n"
      "                       XON/XOFF, neither relayed nor counted; binary data can stall\n"
      "  duration=SECONDS     end the run after that long; default: run until stopped\n"
      "  interval=SECONDS     print each direction's progress that often; default: never\n"
      "  check=on|internal|off                    default off\n"
      "                       on: send a test stream of its own out of port 1, find where\n"
      "                       it comes back (a loop plug on each port, or a cable between\n"
      "                       them), check every byte both ways, and report the handshake\n"
      "                       lines; internal: the same through the UARTs' own loopback\n"
      "\n"
      "example: looptest a4 a5 baudrate=9600 parity=even duration=60\n"
      "         looptest a4 a5 check=on duration=60\n"
      "\n"
      "At the end, and on SIGUSR1, it prints one line per direction:\n"
      "  FROM -> TO: B bytes, R read errors, W write errors\n"
      "followed, where the port's driver counts them, by\n"
      "  , F frame errors, O overruns, P parity errors, K breaks, U buffer overruns\n"
      "and, at the end, where bytes were read and not delivered, by\n"
      "  , N bytes not delivered\n"
      "With check=, each ends with\n"
      "  , C bytes checked, W wrong, L lost, E extra\n"
      "With interval=S, every S seconds, one line per direction:\n"
      "  progress T s: FROM -> TO: ..., R bytes/s\n"
      "B counts bytes delivered. A direction whose output took nothing for its last 2\n"
      "seconds is held, and fails the run. A port whose device goes is lost (ERROR PATH\n"
      "lost), looked for every 5 seconds and taken up again (PATH back); the run fails.\n"
      "\n"
      "exit status: 0 when a timed run counted no error, 1 when it counted one or a\n"
      "direction was held (with check=, also when a byte was wrong, lost or extra, or\n"
      "nothing was checked); 255 when a port cannot be opened, is in use or is named twice;\n"
      "128+N when signal N ended it.\n",
      out);
}

}  // namespace looptest
