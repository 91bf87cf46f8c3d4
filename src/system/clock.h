// clock.h: the monotonic clock, and the arithmetic of the deadlines the run and the relays
// wait for.
#pragma once

#include <time.h>

#include <cstdint>

namespace looptest {

/// Now, on the clock that no one can set.
inline timespec monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
  return now;
}

inline std::int64_t nanoseconds_of(timespec time) {
  return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

/// The moment milliseconds after start.
inline timespec later_by(timespec start, long milliseconds) {
  const std::int64_t at = nanoseconds_of(start) + std::int64_t{milliseconds} * 1'000'000;
  return {static_cast<time_t>(at / 1'000'000'000), static_cast<long>(at % 1'000'000'000)};
}

/// Whole milliseconds from start to end; negative when end comes first.
inline std::int64_t milliseconds_between(timespec start, timespec end) {
  return (nanoseconds_of(end) - nanoseconds_of(start)) / 1'000'000;
}

/// Seconds from start to end, rounded to the nearest whole one.
inline std::int64_t rounded_seconds_between(timespec start, timespec end) {
  return (nanoseconds_of(end) - nanoseconds_of(start) + 500'000'000) / 1'000'000'000;
}

/// Whole milliseconds since a moment given in nanoseconds on the monotonic clock.
inline std::int64_t milliseconds_since(std::int64_t moment_ns) {
  return (nanoseconds_of(monotonic_now()) - moment_ns) / 1'000'000;
}

/// Milliseconds from now until deadline, rounded up so that a wait never ends just short of
/// it; 0 once it has passed.
inline int milliseconds_until(timespec deadline) {
  const std::int64_t left = nanoseconds_of(deadline) - nanoseconds_of(monotonic_now());
  return left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
}

}  // namespace looptest
