// A port name, as an argument and as a typed line, checked against an independent reading.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_checks.h"

using namespace looptest;

namespace {

// The path a name must give: the letter's directory and the number atoi would read in its
// first 31 characters, held to 32 bits; empty for a name that keeps the path.
std::string expected_path(const char* whole_name) {
  const std::string name = std::string(whole_name).substr(0, port_name_length);
  const char letter = name[0];
  const char* prefix = letter == 's' || letter == 'S'   ? "/dev/tep/s"
                       : letter == 'a' || letter == 'A' ? "/dev/tep/a"
                                                        : nullptr;
  if (prefix == nullptr) return {};
  long long number = std::strtoll(name.c_str() + 1, nullptr, 10);
  if (number > INT_MAX) number = INT_MAX;
  if (number < INT_MIN) number = INT_MIN;
  return prefix + std::to_string(number);
}

void check_name(const char* name) {
  const PortPath before = make_port_path("/dev/tep/x9");
  PortPath path = before;
  set_port_path(path, name);
  fuzz::check_port_path(path, before);
  const std::string expected = expected_path(name);
  fuzz::check(expected.empty() ? path == before : std::string(path.data()) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_name(text.c_str());  // as an argument: up to the first NUL

  // As typed: one line of at most 31 characters at a time, until the input ends.
  std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (in == nullptr) return 0;
  PortName typed;
  while (read_port_name(in, typed)) {
    fuzz::check(std::memchr(typed.data(), '\0', typed.size()) != nullptr);
    check_name(typed.data());
  }
  std::fclose(in);
  return 0;
}
