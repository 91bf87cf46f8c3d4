// capture.h: what a function writes to a FILE*, as a string.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace looptest {

template <typename Write>
std::string captured(Write write) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  write(out);
  std::fclose(out);
  std::string written(text, size);
  std::free(text);
  return written;
}

}  // namespace looptest
