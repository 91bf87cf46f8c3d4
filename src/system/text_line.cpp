#include "system/text_line.h"

#include <algorithm>
#include <cstdio>

namespace looptest {

void append_v(TextLine& line, const char* format, va_list arguments) {
  const std::size_t room = line.text.size() - line.length;
  // vsnprintf stops at the end of the buffer and says what it wanted: the text never runs past.
  const int wanted = std::vsnprintf(line.text.data() + line.length, room, format, arguments);
  if (wanted > 0)
    line.length = std::min(line.text.size() - 1, line.length + static_cast<std::size_t>(wanted));
}

void append(TextLine& line, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  append_v(line, format, arguments);
  va_end(arguments);
}

TextLine text_line(const char* format, ...) {
  TextLine line;
  va_list arguments;
  va_start(arguments, format);
  append_v(line, format, arguments);
  va_end(arguments);
  return line;
}

}  // namespace looptest
