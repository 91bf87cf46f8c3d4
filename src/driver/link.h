// link.h: what the two relay processes tell each other, a message at a time, over a socket
// pair: requests to end, a port found gone, a port lost, and its descriptor when it is back.
#pragma once

#include <array>

#include "settings/port_number.h"

namespace looptest {

enum class Note : char {
  none = 0,      ///< The link holds nothing now.
  ended = 'e',   ///< The other end is closed.
  finish = 'f',  ///< To the second relay: finish the block in hand, and end.
  port = 'p',    ///< To the second relay: this descriptor is the port now, as it is back.
  kept = 'k',    ///< To the second relay: the port it found gone is there as before.
  drop = 'd',    ///< To the second relay: the port is lost; close it, relay nothing until back.
  lost = 'l',    ///< To the first relay: the port has gone.
};

struct LinkMessage {
  Note note = Note::none;
  PortNumber port = PortNumber::one;
  int fd = -1;  ///< With Note::port: the receiver's own descriptor for it, close-on-exec.
};

// link.cpp
/// Makes the link: a pair of connected sockets that keep each message whole.
bool make_link(std::array<int, 2>& ends);
/// Sends a note about a port, with a descriptor when fd is not -1; never waits, and never
/// raises SIGPIPE. False when it could not be sent.
bool send_note(int link, Note note, PortNumber port, int fd = -1);
/// The next message, without waiting: Note::none when there is none, Note::ended once the
/// other end is closed.
LinkMessage receive_note(int link);

}  // namespace looptest
