// loop_test.h: the run of a loop test, from opening the two ports to putting them back.
#pragma once

#include <cstdio>
#include <span>

#include "settings/port_names.h"
#include "settings/settings.h"

namespace looptest {

// loop_test.cpp
/// Gives descriptors 0, 1 and 2 to /dev/null where they are closed, so that no port can
/// take one of them and receive the tool's messages.
void claim_standard_descriptors();
/// The run up to the opening of the ports: port names from the arguments, or from in after
/// prompts on out; the options when both names were given; the settings report and banner.
void set_up_run(std::span<char* const> arguments, std::FILE* in, std::FILE* out, PortPath& port1,
                PortPath& port2, LineSettings& settings);
/// Prints the paths, opens, locks and configures both ports from settings, then relays port 1
/// to port 2 in this process and port 2 to port 1 in a child until the duration ends or a
/// signal stops it. Then prints what each direction did and puts the ports back as they were.
/// Returns -1 when a port will not open, is in use or is named twice; 0 at the end of the
/// duration if nothing went wrong, 1 if something did. Ended by a signal, it ends the same way.
int run_loop_test(const PortPath& port1, const PortPath& port2, const LineSettings& settings);

}  // namespace looptest
