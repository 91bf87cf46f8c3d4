// port_names.h: short port names (s1..sN, a1..aN) and the device paths they stand for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>

namespace looptest {

/// One device path, NUL-terminated; the longest a name can give is 21 characters.
using PortPath = std::array<char, 30>;
/// The most characters of a name that count; the rest of a longer name is cut off.
inline constexpr std::size_t port_name_length = 31;
/// A name as typed, NUL-terminated.
using PortName = std::array<char, port_name_length + 1>;

/// A path buffer holding text, every byte after it zero.
constexpr PortPath make_port_path(std::string_view text) {
  PortPath path{};
  for (std::size_t i = 0; i < text.size() && i + 1 < path.size(); ++i) path[i] = text[i];
  return path;
}

inline constexpr PortPath default_port1_path = make_port_path("/dev/tep/a4");
inline constexpr PortPath default_port2_path = make_port_path("/dev/tep/a5");

// port_names.cpp
/// S or s gives "/dev/tep/s", A or a "/dev/tep/a", followed by the number after the letter
/// (read like atoi, saturated to 32 bits). A name beginning otherwise leaves path as it was.
void set_port_path(PortPath& path, std::string_view name);
/// Reads one line of at most 31 characters (its newline included if it fits); false at the
/// end of input or on an error, with name empty.
bool read_port_name(std::FILE* in, PortName& name);
/// Sets path from name, or from one line of in when name is null.
void port_path_from_name(PortPath& path, const char* name, std::FILE* in = stdin);
/// Writes the banner that explains the port names.
void write_banner(std::FILE* out);
/// Asks on out for both ports and reads the answers from in; a name left empty keeps the path
/// it had.
void ask_port_paths(std::FILE* in, std::FILE* out, PortPath& port1, PortPath& port2);

}  // namespace looptest
