// result.h: the run's start, progress and end in the result file (result_file.h), from the
// run's own records.
#pragma once

#include <time.h>

#include <string_view>

#include "driver/counts.h"
#include "driver/ports.h"
#include "driver/verdict.h"
#include "settings/port_names.h"
#include "settings/settings.h"
#include "system/failure.h"

namespace looptest {

// result.cpp
/// With result=PATH: creates or empties the file and writes the start; the call that failed,
/// and why, when it cannot. Without, nothing.
Failure start_result(const PortPath& port1, const PortPath& port2, const LineSettings& settings);
/// The counts so far, started being when the relays started; cause: "interval" or "signal".
void result_progress(std::string_view cause, timespec started, const Ports& ports,
                     const SharedCounts& counts, bool checking);
/// Writes the end, the verdict, and writes the file out to its disk. Without ports and
/// counts (a run that never opened them), the end has no directions.
void end_result(const EndFacts& facts, const Verdict& verdict, const Ports* ports,
                const SharedCounts* counts);

}  // namespace looptest
