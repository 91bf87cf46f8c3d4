// json_line.h: one JSON object on one line, written into a fixed buffer. Strings are escaped
// as JSON wants them and come out as valid UTF-8 whatever bytes they held; a line whose text
// would run past the buffer is marked cut, never overrun, so that no half object is written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace looptest {

/// Room for the largest object the tool writes (the end of a run, with the ERROR lines it
/// keeps, each escaped at its worst), and its newline.
inline constexpr std::size_t json_line_size = 20480;
/// How deep objects and arrays may nest.
inline constexpr std::size_t json_depth = 6;

struct JsonLine {
  std::array<char, json_line_size> text{};
  std::size_t length = 0;
  bool cut = false;  ///< Something did not fit: the line is not to be written.
  std::size_t depth = 0;
  /// By depth: whether the object or array open there has a member yet (a comma goes first).
  std::array<bool, json_depth + 1> has_member{};

  std::string_view view() const { return {text.data(), length}; }
};

// json_line.cpp
/// Opens an object: the line's own (no key, at depth 0), an array's element (no key), or a
/// member of the object open now.
void open_object(JsonLine& line, std::string_view key = {});
void close_object(JsonLine& line);
void open_array(JsonLine& line, std::string_view key = {});
void close_array(JsonLine& line);
/// A member of the object open now, or, without a key, an element of the array open now.
void add_string(JsonLine& line, std::string_view key, std::string_view value);
void add_number(JsonLine& line, std::string_view key, std::int64_t value);
void add_unsigned(JsonLine& line, std::string_view key, std::uint64_t value);
/// A number of thousandths, written with three decimals: 1234 is 1.234.
void add_thousandths(JsonLine& line, std::string_view key, std::int64_t thousandths);
void add_bool(JsonLine& line, std::string_view key, bool value);
void add_null(JsonLine& line, std::string_view key);
/// Closes the line's object and ends the line with its newline.
void end_line(JsonLine& line);
/// Appends text as a JSON string, quoted: '"', '\\' and control characters escaped, bytes that
/// are not UTF-8 each replaced by U+FFFD.
void append_json_string(JsonLine& line, std::string_view text);

}  // namespace looptest
