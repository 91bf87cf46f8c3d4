// setup.h: the run up to the opening of the ports: the standard descriptors, the port names
// from the arguments or the prompts, the options, the settings report and the banner.
#pragma once

#include <cstdio>
#include <span>

#include "settings/port_names.h"
#include "settings/settings.h"

namespace looptest {

/// What a run is to do: which ports, and the settings (with the duration) to run them at.
struct RunSetup {
  PortPath port1 = default_port1_path;
  PortPath port2 = default_port2_path;
  LineSettings settings{};
};

// setup.cpp
/// Gives descriptors 0, 1 and 2 to /dev/null where they are closed, so that no port can
/// take one of them and receive the tool's messages.
void claim_standard_descriptors();
/// Port names from the arguments, or from in after prompts on out; the options when both
/// names were given; then the settings report and the banner.
RunSetup set_up_run(std::span<char* const> arguments, std::FILE* in, std::FILE* out);

}  // namespace looptest
