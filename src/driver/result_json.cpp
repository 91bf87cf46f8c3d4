#include "driver/result_json.h"

#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>
#include <tuple>

namespace looptest {

namespace {

void add_optional(JsonLine& line, std::string_view key, const std::optional<std::int32_t>& value) {
  if (value) {
    add_number(line, key, *value);
  } else {
    add_null(line, key);
  }
}

void add_inputs(JsonLine& line, std::string_view key, ModemLines lines) {
  constexpr std::array names{std::tuple{TIOCM_CTS, "CTS"}, std::tuple{TIOCM_DSR, "DSR"},
                             std::tuple{TIOCM_CAR, "DCD"}, std::tuple{TIOCM_RNG, "RI"}};
  open_array(line, key);
  for (const auto& [bit, name] : names) {
    if ((lines & bit) != 0) add_string(line, {}, name);
  }
  close_array(line);
}

std::string_view wiring_word(Wiring wiring) {
  switch (wiring) {
    case Wiring::loops:
      return "loops";
    case Wiring::cable:
      return "cable";
    case Wiring::internal:
      return "internal";
    case Wiring::pair:
      return "pair";
    case Wiring::none:
      break;
  }
  return "none";
}

}  // namespace

JsonLine object_of(std::string_view type) {
  JsonLine line;
  open_object(line);
  add_string(line, "type", type);
  return line;
}

Rfc3339 rfc3339_utc(std::time_t time) {
  Rfc3339 text{};
  tm utc{};
  if (gmtime_r(&time, &utc) == nullptr ||
      std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
    std::snprintf(text.data(), text.size(), "1970-01-01T00:00:00Z");
  }
  return text;
}

JsonLine start_object(std::string_view version, std::time_t started, std::string_view port1,
                      std::string_view port2, const LineSettings& settings) {
  JsonLine line = object_of("start");
  add_number(line, "format", result_format);
  add_string(line, "version", version);
  add_string(line, "time", rfc3339_utc(started).data());
  add_string(line, "port1", port1);
  add_string(line, "port2", port2);
  open_object(line, "settings");
  add_number(line, "rate", settings.baudrate);
  add_number(line, "data_bits", settings.databits);
  add_number(line, "stop_bits", settings.stopbits);
  add_string(line, "parity", parity_keyword(settings.parity));
  add_string(line, "flow_control", flow_control_keyword(settings.flowcontrol));
  add_optional(line, "duration", settings.duration);
  add_optional(line, "interval", settings.interval);
  add_string(line, "check", check_keyword(settings.check));
  close_object(line);
  end_line(line);
  return line;
}

JsonLine error_object(std::string_view text, bool second_process) {
  JsonLine line = object_of("error");
  add_string(line, "text", text);
  add_string(line, "process", second_process ? "second" : "first");
  end_line(line);
  return line;
}

JsonLine port_object(std::string_view path, std::string_view state) {
  JsonLine line = object_of("port");
  add_string(line, "port", path);
  add_string(line, "state", state);
  end_line(line);
  return line;
}

JsonLine refused_object(std::string_view path, int error) {
  JsonLine line = object_of("refused");
  add_string(line, "port", path);
  add_string(line, "reason",
             error != 0 ? std::strerror(error) : "the port did not keep the line settings");
  end_line(line);
  return line;
}

JsonLine wiring_object(Wiring wiring) {
  JsonLine line = object_of("wiring");
  add_string(line, "wiring", wiring_word(wiring));
  add_string(line, "text", wiring_text(wiring));
  end_line(line);
  return line;
}

JsonLine handshake_object(std::string_view path, const std::optional<Handshake>& handshake) {
  JsonLine line = object_of("handshake");
  add_string(line, "port", path);
  add_bool(line, "modem_lines", handshake.has_value());
  if (handshake) {
    add_inputs(line, "after_rts", handshake->after_rts);
    add_inputs(line, "after_dtr", handshake->after_dtr);
  }
  const int size = static_cast<int>(path.size());
  add_string(line, "text",
             handshake ? handshake_line(path, *handshake).view()
                       : text_line("%.*s: no modem lines", size, path.data()).view());
  end_line(line);
  return line;
}

}  // namespace looptest
