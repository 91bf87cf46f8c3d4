// options.h: the key=value arguments that change the line settings.
#pragma once

#include <cstdio>
#include <optional>
#include <span>
#include <string_view>

#include "settings/settings.h"

namespace looptest {

struct Option {
  std::string_view key;
  std::string_view value;
};

/// Splits "key=value" the way strtok would with "=\n" and then "\n": leading '=' and newlines
/// are skipped, the key ends at '=' or a newline, and the value runs to the next newline, so
/// it may hold '=' itself. Empty when the key or the value is missing.
std::optional<Option> split_option(std::string_view argument);
/// Applies one argument; a malformed one writes "syntax bad", anything else unknown is ignored.
void read_option(LineSettings& settings, std::string_view argument, std::FILE* out);
/// Applies the arguments in order, a later one overriding an earlier.
void read_options(LineSettings& settings, std::span<char* const> arguments, std::FILE* out);
/// Writes the usage text: the port names, every option with its values, an example.
void write_usage(std::FILE* out);

}  // namespace looptest
