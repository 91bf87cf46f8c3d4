#include "system/json_line.h"

#include <cstdio>

namespace looptest {

namespace {

void append_raw(JsonLine& line, std::string_view text) {
  // The last byte stays free for the newline that ends the line.
  if (line.cut || text.size() > line.text.size() - 1 - line.length) {
    line.cut = true;
    return;
  }
  text.copy(line.text.data() + line.length, text.size());
  line.length += text.size();
}

// The length of the UTF-8 sequence that starts text, 0 where it is not one: overlong forms,
// surrogates and code points past U+10FFFF are not.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // past U+10FFFF
  }
  if (length == 0 || text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t at = 2; at < length; ++at) {
    if (byte(at) < 0x80 || byte(at) > 0xbf) return 0;
  }
  return length;
}

std::string_view escape_of(char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      return {};
  }
}

// A comma before every member but the first, then the key.
void begin_member(JsonLine& line, std::string_view key) {
  if (line.depth > 0) {
    if (line.has_member[line.depth]) append_raw(line, ",");
    line.has_member[line.depth] = true;
  }
  if (key.empty()) return;
  append_json_string(line, key);
  append_raw(line, ":");
}

void open(JsonLine& line, std::string_view key, std::string_view bracket) {
  begin_member(line, key);
  append_raw(line, bracket);
  if (line.depth == json_depth) {
    line.cut = true;
    return;
  }
  line.has_member[++line.depth] = false;
}

void close(JsonLine& line, std::string_view bracket) {
  append_raw(line, bracket);
  if (line.depth > 0) --line.depth;
}

}  // namespace

void append_json_string(JsonLine& line, std::string_view text) {
  append_raw(line, "\"");
  while (!text.empty() && !line.cut) {
    const char c = text.front();
    const auto byte = static_cast<unsigned char>(c);
    std::size_t taken = 1;
    if (const std::string_view escape = escape_of(c); !escape.empty()) {
      append_raw(line, escape);
    } else if (byte < 0x20 || byte == 0x7f) {
      std::array<char, 8> code{};
      std::snprintf(code.data(), code.size(), "\\u%04x", byte);
      append_raw(line, code.data());
    } else if (byte < 0x80) {
      append_raw(line, text.substr(0, 1));
    } else if (const std::size_t length = utf8_length(text); length > 0) {
      append_raw(line, text.substr(0, length));
      taken = length;
    } else {
      append_raw(line, "\\ufffd");
    }
    text.remove_prefix(taken);
  }
  append_raw(line, "\"");
}

void open_object(JsonLine& line, std::string_view key) { open(line, key, "{"); }
void close_object(JsonLine& line) { close(line, "}"); }
void open_array(JsonLine& line, std::string_view key) { open(line, key, "["); }
void close_array(JsonLine& line) { close(line, "]"); }

void add_string(JsonLine& line, std::string_view key, std::string_view value) {
  begin_member(line, key);
  append_json_string(line, value);
}

void add_number(JsonLine& line, std::string_view key, std::int64_t value) {
  begin_member(line, key);
  std::array<char, 24> digits{};
  std::snprintf(digits.data(), digits.size(), "%lld", static_cast<long long>(value));
  append_raw(line, digits.data());
}

void add_unsigned(JsonLine& line, std::string_view key, std::uint64_t value) {
  begin_member(line, key);
  std::array<char, 24> digits{};
  std::snprintf(digits.data(), digits.size(), "%llu", static_cast<unsigned long long>(value));
  append_raw(line, digits.data());
}

void add_thousandths(JsonLine& line, std::string_view key, std::int64_t thousandths) {
  begin_member(line, key);
  const char* sign = thousandths < 0 ? "-" : "";
  const std::uint64_t magnitude = thousandths < 0 ? 0 - static_cast<std::uint64_t>(thousandths)
                                                  : static_cast<std::uint64_t>(thousandths);
  std::array<char, 32> digits{};
  std::snprintf(digits.data(), digits.size(), "%s%llu.%03llu", sign,
                static_cast<unsigned long long>(magnitude / 1000),
                static_cast<unsigned long long>(magnitude % 1000));
  append_raw(line, digits.data());
}

void add_bool(JsonLine& line, std::string_view key, bool value) {
  begin_member(line, key);
  append_raw(line, value ? "true" : "false");
}

void add_null(JsonLine& line, std::string_view key) {
  begin_member(line, key);
  append_raw(line, "null");
}

void end_line(JsonLine& line) {
  close_object(line);
  if (line.cut || line.depth != 0) {
    line.cut = true;
    return;
  }
  line.text[line.length++] = '\n';  // the byte append_raw always left free
}

}  // namespace looptest
