// A hop's output, described by the input: runs of the stream, jumps ahead and back, raw bytes,
// changed bytes, and the splits it arrives in. Whatever arrives, every byte and position is
// accounted for, and the counts do not depend on the splits.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check/checker.h"
#include "fuzz_checks.h"

using namespace looptest;

namespace {

void check_accounts(const StreamChecker& checker, std::uint64_t first, std::size_t received) {
  const CheckCounts& counts = checker.counts;
  fuzz::check(received == counts.checked + counts.extra + unresolved(checker));
  fuzz::check(checker.position - first == counts.checked + counts.lost);
  fuzz::check(counts.wrong <= counts.checked);
  fuzz::check(unresolved(checker) <= check_window_size);
}

CheckCounts settle(StreamChecker& checker, std::uint64_t first, std::size_t received,
                   std::uint64_t sent) {
  settle_checker(checker, sent);
  check_accounts(checker, first, received);
  fuzz::check(unresolved(checker) == 0);
  fuzz::check(checker.position >= sent);
  return checker.counts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  LineSettings settings;
  settings.databits = 5 + (data[0] & 3);
  settings.flowcontrol = (data[0] & 4) != 0 ? FlowControl::software : FlowControl::none;
  const std::uint64_t first = (data[0] & 8) != 0 ? (std::uint64_t{1} << 40U) - 700 : 0;
  const StreamAlphabet alphabet = stream_alphabet(settings);

  std::string received;
  std::vector<std::size_t> splits;
  std::uint64_t source = first;  // the next stream position the hop delivers
  std::uint64_t sent = first;    // the furthest position it was given
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    const unsigned count = data[i + 1] + 1U;
    switch (data[i] & 7) {
      case 0:
      case 1: {
        std::string run(count, '\0');
        stream_block(alphabet, source, run);
        received += run;
        source += count;
        break;
      }
      case 2:
        source += count;
        break;
      case 3:
        source += std::uint64_t{count} << (data[i] >> 3U);
        break;
      case 4: {  // raw bytes from the input itself
        const std::size_t raw = std::min<std::size_t>(count, size - (i + 2));
        received.append(reinterpret_cast<const char*>(data + i + 2), raw);
        i += raw;
        break;
      }
      case 5:
        source -= std::min<std::uint64_t>(count, source - first);
        break;
      case 6:
        splits.push_back(received.size());
        break;
      case 7:
        if (!received.empty())
          received.back() = static_cast<char>(static_cast<unsigned char>(received.back()) ^ count);
        break;
    }
    sent = std::max(sent, source);
  }
  splits.push_back(received.size());

  StreamChecker split = make_checker(alphabet, first);
  std::size_t fed = 0;
  for (const std::size_t end : splits) {
    if (end < fed) continue;
    check_received(split, std::string_view(received).substr(fed, end - fed));
    fed = end;
    check_accounts(split, first, fed);
  }
  StreamChecker whole = make_checker(alphabet, first);
  check_received(whole, received);
  StreamChecker bytes = make_checker(alphabet, first);
  for (const char byte : received) check_received(bytes, std::string_view(&byte, 1));

  const CheckCounts counts = settle(split, first, received.size(), sent);
  fuzz::check(settle(whole, first, received.size(), sent) == counts);
  fuzz::check(settle(bytes, first, received.size(), sent) == counts);
  return 0;
}
