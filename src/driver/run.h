// run.h: the loop test itself, from opening the two ports to putting them back.
#pragma once

#include "settings/port_names.h"
#include "settings/settings.h"

namespace looptest {

// run.cpp
/// Prints the paths, opens, locks and configures both ports, then relays port 1 to port 2 in
/// this process and port 2 to port 1 in a second one, until the duration ends, a stop signal
/// comes or the second relay ends. Then prints what each direction did and puts the ports back
/// as they were. Returns -1 when a port will not open, is in use or is named twice; 0 at the
/// end of the duration if nothing went wrong, 1 if something did. Ended by a stop signal, it
/// ends the tool by that signal once the ports are back.
int run_loop_test(const PortPath& port1, const PortPath& port2, const LineSettings& settings);

}  // namespace looptest
