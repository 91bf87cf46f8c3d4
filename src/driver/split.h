// split.h: the second relay as the first process holds it: its fork, the link to it, and its
// end.
#pragma once

#include <sys/types.h>

#include "driver/drain.h"
#include "driver/ports.h"
#include "driver/second.h"
#include "system/text_line.h"

namespace looptest {

/// The second relay, as the first process knows it.
struct SecondRelay {
  pid_t pid = -1;        ///< While it runs and is not reaped.
  int link = -1;         ///< To it (see link.h); closing it asks it to end at once.
  bool started = false;  ///< It was made: a failed fork leaves only port 1 to port 2.
  /// Why it was not made: the call that failed, and errno.
  const char* failed_call = nullptr;
  int error = 0;
  /// It was reaped, and had not ended as asked: killed by a signal, or exited with a failure.
  bool ended_badly = false;
  int status = 0;  ///< As waitpid() gave it.
};

// split.cpp
/// Forks the second relay, which relays port 2 to port 1 with part until the first process
/// asks it to end. Should the fork fail, nothing is started, and the record says why.
SecondRelay start_second_relay(const Ports& ports, SecondRelayPart& part,
                               std::initializer_list<int> close_in_second);
/// True when the second relay has ended, and is then no more to be waited for.
bool reap_second(SecondRelay& second);
/// How the second relay ended, or why it never started: ": REASON", for an ERROR line.
TextLine second_relay_reason(const SecondRelay& second);
/// Asks the second relay to finish the block in hand, and end.
void ask_second_to_finish(const SecondRelay& second);
/// Asks the second relay to end at once, by closing the link.
void hurry_second(SecondRelay& second);
/// Gives the second relay until the end's ring deadline and a moment more to finish its block
/// and end; a hurried end asks it to end at once. Only one that does not end is killed, and
/// reaped: true then.
bool end_second_relay(SecondRelay& second, EndWaits& end);

}  // namespace looptest
