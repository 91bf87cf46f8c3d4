// fuzz_checks.h: what must hold after any text a user can give has been read.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "settings/port_names.h"
#include "settings/settings.h"

namespace looptest::fuzz {

// A broken invariant is a finding: abort, so the fuzzer keeps the input.
inline void check(bool holds) {
  if (!holds) std::abort();
}

/// NUL-terminated inside the buffer, and either as it was or a port path.
inline void check_port_path(const PortPath& path, const PortPath& before) {
  const void* end = std::memchr(path.data(), '\0', path.size());
  check(end != nullptr);
  const std::string_view text(path.data());
  check(path == before || text.starts_with("/dev/tep/s") || text.starts_with("/dev/tep/a"));
}

/// Every field holds a value some option can give.
inline void check_settings(const LineSettings& settings) {
  const auto parity = static_cast<int>(settings.parity);
  const auto flow = static_cast<int>(settings.flowcontrol);
  check(parity >= 1 && parity <= 5);
  check(flow >= 1 && flow <= 3);
  // A result path, however long the value was, ends inside its buffer.
  const auto& result = settings.result.path;
  check(std::memchr(result.data(), '\0', result.size()) != nullptr);
}

}  // namespace looptest::fuzz
