// check_bench: what the test stream costs a relay, in nanoseconds a byte: making it, following
// it in step, and finding its place again through faults and noise.
//
//   check_bench [MiB]    (default 256 MiB a measurement; the best of three rounds is printed)
//
// Exit status 1 when a checker counts a fault where there is none, or misses one.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "check/checker.h"

namespace {

using looptest::StreamAlphabet;
using Clock = std::chrono::steady_clock;

constexpr std::size_t read_size = 4096;  // what one read from a port typically brings

// The best of three rounds of work over bytes, in nanoseconds a byte.
double nanoseconds_a_byte(std::size_t bytes, const std::function<void()>& work) {
  double best = 1e300;
  for (int round = 0; round < 3; ++round) {
    const Clock::time_point start = Clock::now();
    work();
    const std::chrono::duration<double, std::nano> took = Clock::now() - start;
    best = std::min(best, took.count() / static_cast<double>(bytes));
  }
  return best;
}

StreamAlphabet alphabet_of(std::int32_t databits, looptest::FlowControl flow_control) {
  looptest::LineSettings settings;
  settings.databits = databits;
  settings.flowcontrol = flow_control;
  return looptest::stream_alphabet(settings);
}

// Feeds received to a fresh checker in reads of read_size; the checker once settled.
looptest::StreamChecker check_all(const StreamAlphabet& alphabet, const std::string& received,
                                  std::uint64_t sent) {
  looptest::StreamChecker checker = looptest::make_checker(alphabet);
  for (std::size_t done = 0; done < received.size(); done += read_size) {
    const std::size_t size = std::min(read_size, received.size() - done);
    looptest::check_received(checker, std::span(received.data() + done, size));
  }
  looptest::settle_checker(checker, sent);
  return checker;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const std::size_t total = std::max<std::size_t>(mebibytes, 1) << 20U;
  bool counted_right = true;
  struct Line {
    const char* name;
    StreamAlphabet alphabet;
  };
  const Line lines[] = {{"8 bits", alphabet_of(8, looptest::FlowControl::hardware)},
                        {"8 bits, XON/XOFF", alphabet_of(8, looptest::FlowControl::software)},
                        {"7 bits", alphabet_of(7, looptest::FlowControl::hardware)},
                        {"5 bits, XON/XOFF", alphabet_of(5, looptest::FlowControl::software)}};
  std::printf("%-18s %10s %10s %10s %10s\n", "ns a byte", "make", "in step", "faults", "noise");
  for (const Line& line : lines) {
    std::vector<char> block(read_size);
    const double make = nanoseconds_a_byte(total, [&] {
      for (std::uint64_t first = 0; first < total; first += read_size) {
        looptest::stream_block(line.alphabet, first, block);
      }
    });

    // In step: the stream as sent, in reads of read_size.
    const std::size_t size = std::min<std::size_t>(total, 64U << 20U);
    std::string stream(size, '\0');
    looptest::stream_block(line.alphabet, 0, stream);
    const std::size_t passes = total / size;
    const double in_step = nanoseconds_a_byte(passes * size, [&] {
      for (std::size_t pass = 0; pass < passes; ++pass) {
        const looptest::StreamChecker checker = check_all(line.alphabet, stream, size);
        counted_right = counted_right && checker.counts.checked == size &&
                        checker.counts.checked + checker.counts.lost == size;
      }
    });

    // A byte changed every 1000, so the checker is out of step every time for 16 bytes.
    std::string faulty = stream;
    for (std::size_t i = 500; i < faulty.size(); i += 1000) faulty[i] ^= 1;
    const double faults = nanoseconds_a_byte(size, [&] {
      const looptest::StreamChecker checker = check_all(line.alphabet, faulty, size);
      counted_right = counted_right && checker.counts.wrong == (size - 500 + 999) / 1000;
    });

    // Nothing but noise: the window is full, and every byte is tried as a place.
    std::string noise(std::min<std::size_t>(size, 16U << 20U), '\0');
    std::mt19937 random(1);
    std::generate(noise.begin(), noise.end(), [&random] { return static_cast<char>(random()); });
    const double noisy = nanoseconds_a_byte(noise.size(), [&] {
      const looptest::StreamChecker checker = check_all(line.alphabet, noise, 0);
      counted_right =
          counted_right && checker.counts.extra + checker.counts.checked == noise.size();
    });
    std::printf("%-18s %10.2f %10.2f %10.2f %10.2f\n", line.name, make, in_step, faults, noisy);
  }
  if (!counted_right) std::fprintf(stderr, "check_bench: a checker counted wrongly\n");
  return counted_right ? 0 : 1;
}
