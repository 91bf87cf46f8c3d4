#include "settings/port_names.h"

#include <charconv>
#include <cstring>

#include "settings/number.h"

namespace looptest {

void set_port_path(PortPath& path, std::string_view name) {
  name = name.substr(0, port_name_length);
  if (name.empty()) return;

  std::string_view prefix;
  switch (name[0]) {
    case 'S':
    case 's':
      prefix = "/dev/tep/s";
      break;
    case 'A':
    case 'a':
      prefix = "/dev/tep/a";
      break;
    default:
      return;
  }
  const std::int32_t number = parse_leading_number(name.substr(1)).value;

  // "/dev/tep/s" and at most 11 characters of "-2147483648" always leave room for the NUL.
  path = make_port_path(prefix);
  char* const digits = path.data() + prefix.size();
  std::to_chars(digits, path.data() + path.size() - 1, number);
}

bool read_port_name(std::FILE* in, PortName& name) {
  name.fill('\0');
  if (std::fgets(name.data(), static_cast<int>(name.size()), in) == nullptr) {
    name.fill('\0');  // fgets leaves the buffer undefined after a read error
    return false;
  }
  return true;
}

void port_path_from_name(PortPath& path, const char* name, std::FILE* in) {
  if (name != nullptr) {
    set_port_path(path, name);
    return;
  }
  PortName typed;
  if (read_port_name(in, typed)) set_port_path(path, typed.data());
}

void write_banner(std::FILE* out) {
  std::fputs("Async loop test: (s1..sN - scc ports; a1..aN - cd ports \n", out);
}

void ask_port_paths(std::FILE* in, std::FILE* out, PortPath& port1, PortPath& port2) {
  // Each prompt must be on the screen before the program waits for the answer.
  std::fputs("Please, enter the first port: ", out);
  std::fflush(out);
  port_path_from_name(port1, nullptr, in);
  std::fputs("Please, enter the second port: ", out);
  std::fflush(out);
  port_path_from_name(port2, nullptr, in);
}

}  // namespace looptest
