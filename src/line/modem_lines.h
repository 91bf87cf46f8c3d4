// modem_lines.h: a port's modem control lines, the outputs it drives (RTS, DTR) and the inputs
// it reads (CTS, DSR, DCD), and the UART's own loopback, which joins its output to its input
// inside the chip.
#pragma once

#include <optional>

namespace looptest {

/// The lines as TIOCMGET gives them: the kernel's TIOCM_* bits.
using ModemLines = int;

/// TIOCM_LOOP, which the C library does not name: the UART's own loopback.
inline constexpr ModemLines loopback_line = 0x8000;

// modem_lines.cpp
/// The outputs a test drives.
ModemLines modem_outputs();
/// The inputs a test reads.
ModemLines modem_inputs();
/// The port's modem lines now; empty where its driver has none (a pty).
std::optional<ModemLines> read_modem_lines(int fd);
/// Raises (on) or drops the given output lines; false where the driver has none.
bool drive_modem_lines(int fd, ModemLines lines, bool on);
/// Joins the UART's output to its input inside the chip, or parts them again; false where the
/// driver has no such loopback.
bool set_internal_loopback(int fd, bool on);
/// Whether the UART's own loopback is on.
bool internal_loopback_on(int fd);
/// The name of one line ("RTS", "DTR", "CTS", "DSR", "DCD"); "?" for another.
const char* modem_line_name(ModemLines line);
/// The inputs that follow an output: low with it dropped, high with it raised, and low again
/// with it dropped again.
ModemLines inputs_following(ModemLines dropped, ModemLines raised, ModemLines dropped_again);

}  // namespace looptest
