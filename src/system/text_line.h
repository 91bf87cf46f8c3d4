// text_line.h: a line of text in a fixed buffer, formatted piece by piece and cut, never
// overrun, where it would run past the end.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <string_view>

namespace looptest {

/// Room for the longest line the tool prints (a progress line, under 512 characters), with
/// its newline and NUL.
inline constexpr std::size_t text_line_size = 640;

/// A NUL-terminated line of at most text_line_size - 1 characters.
struct TextLine {
  std::array<char, text_line_size> text{};
  std::size_t length = 0;

  const char* data() const { return text.data(); }
  std::string_view view() const { return {text.data(), length}; }
};

// text_line.cpp
/// Appends format's text to line; what would run past its end is cut.
[[gnu::format(printf, 2, 3)]] void append(TextLine& line, const char* format, ...);
[[gnu::format(printf, 2, 0)]] void append_v(TextLine& line, const char* format, va_list arguments);
/// A line of format's text.
[[gnu::format(printf, 1, 2)]] TextLine text_line(const char* format, ...);

}  // namespace looptest
