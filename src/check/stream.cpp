#include "check/stream.h"

#include <algorithm>

namespace looptest {

namespace {

constexpr std::size_t group_bytes = group_length;  // as a count of bytes in memory
constexpr unsigned char xon = 0x11;
constexpr unsigned char xoff = 0x13;

// Bytes first to last of a part of a group, from position on.
void write_part(const StreamAlphabet& alphabet, std::uint64_t position, std::span<char> out) {
  if (out.empty()) return;
  const std::uint64_t symbols = stream_group(alphabet, position / group_length);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char>(symbols >> (8 * (position % group_length + i)));
  }
}

}  // namespace

StreamAlphabet stream_alphabet(const LineSettings& settings) {
  StreamAlphabet alphabet;
  alphabet.bits = data_bits_in_force(settings);
  alphabet.without_flow_characters = settings.flowcontrol == FlowControl::software;
  alphabet.mask = static_cast<unsigned char>((1U << alphabet.bits) - 1);
  for (unsigned value = 0; value <= alphabet.mask; ++value) {
    if (alphabet.without_flow_characters && (value == xon || value == xoff)) continue;
    alphabet.symbols[alphabet.size++] = static_cast<unsigned char>(value);
  }
  alphabet.digit_of.fill(16);
  for (unsigned digit = 0; digit < 16; ++digit) {
    const unsigned char symbol = alphabet.symbols[digit * alphabet.size / 16];
    alphabet.digits[digit] = symbol;
    alphabet.digit_of[symbol] = static_cast<unsigned char>(digit);
  }
  return alphabet;
}

void stream_block(const StreamAlphabet& alphabet, std::uint64_t first, std::span<char> out) {
  // The end of a group first, then whole groups, then the start of one.
  const std::size_t head = std::min(
      out.size(), static_cast<std::size_t>((group_length - first % group_length) % group_length));
  write_part(alphabet, first, out.first(head));
  std::size_t done = head;
  std::uint64_t group = (first + head) / group_length;
  for (; out.size() - done >= group_bytes; done += group_bytes) {
    store_group(stream_group(alphabet, group++), out.data() + done);
  }
  write_part(alphabet, group * group_length, out.subspan(done));
}

}  // namespace looptest
