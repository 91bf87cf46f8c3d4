#include "line/rs485.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

#include "system/retry.h"

namespace looptest {

namespace {

// The record is eight 32-bit words on every architecture the tool is built for; a kernel
// header that says otherwise would set the wrong words.
static_assert(sizeof(serial_rs485) == 32);

// The flags the options name; the others are the driver's or the board's.
constexpr __u32 named_flags =
    SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND | SER_RS485_RX_DURING_TX;

__u32 milliseconds(std::int32_t asked) { return static_cast<__u32>(std::max(asked, 0)); }

const char* level(bool high) { return high ? "high" : "low"; }

}  // namespace

serial_rs485 rs485_asked(const LineSettings& settings, const serial_rs485& found) {
  serial_rs485 asked = found;
  asked.flags &= ~named_flags;
  if (!settings.rs485.value_or(false)) return asked;
  asked.flags |= SER_RS485_ENABLED;
  // The level after sending is always the other one: RTS that stays as it was while sending
  // would keep the driver on the pair, or never turn it on.
  asked.flags |=
      settings.rtsonsend == RtsLevel::low ? SER_RS485_RTS_AFTER_SEND : SER_RS485_RTS_ON_SEND;
  if (settings.rxduringtx) asked.flags |= SER_RS485_RX_DURING_TX;
  asked.delay_rts_before_send = milliseconds(settings.delaybefore);
  asked.delay_rts_after_send = milliseconds(settings.delayafter);
  return asked;
}

bool holds_rs485(const serial_rs485& asked, const serial_rs485& kept) {
  if ((asked.flags & SER_RS485_ENABLED) == 0) return (kept.flags & SER_RS485_ENABLED) == 0;
  return (asked.flags & named_flags) == (kept.flags & named_flags) &&
         asked.delay_rts_before_send == kept.delay_rts_before_send &&
         asked.delay_rts_after_send == kept.delay_rts_after_send;
}

TextLine rs485_line(std::string_view path, const serial_rs485& mode) {
  TextLine line = text_line("%.*s: RS-485", static_cast<int>(path.size()), path.data());
  if ((mode.flags & SER_RS485_ENABLED) == 0) {
    append(line, " off");
    return line;
  }
  append(line, ", RTS %s while sending, %s after, delays %u/%u ms",
         level((mode.flags & SER_RS485_RTS_ON_SEND) != 0),
         level((mode.flags & SER_RS485_RTS_AFTER_SEND) != 0), mode.delay_rts_before_send,
         mode.delay_rts_after_send);
  if ((mode.flags & SER_RS485_RX_DURING_TX) != 0) append(line, ", receiving while sending");
  if ((mode.flags & SER_RS485_TERMINATE_BUS) != 0) append(line, ", bus terminated");
  return line;
}

int read_rs485(int fd, serial_rs485& mode) {
  if (retry_interrupted([&] { return ioctl(fd, TIOCGRS485, &mode); }) == 0) return 0;
  return errno;
}

int set_rs485(int fd, const serial_rs485& mode) {
  serial_rs485 given = mode;  // the kernel writes back what it kept into the record it is given
  if (retry_interrupted([&] { return ioctl(fd, TIOCSRS485, &given); }) == 0) return 0;
  return errno;
}

}  // namespace looptest
