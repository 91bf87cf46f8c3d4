// stream.h: the test stream a relay sends round the ring to check it: symbols the line carries,
// in frames of 256 that each start with their own number, the rest pseudo-random.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "settings/settings.h"

namespace looptest {

/// Positions a frame holds: a header of frame_header_length digits, then payload.
inline constexpr std::uint64_t frame_length = 256;
/// Header positions at the start of each frame: the frame's number in hexadecimal digits.
inline constexpr std::uint64_t frame_header_length = 8;
/// Positions made at once, from one mix of the group's number; a header is a frame's first.
inline constexpr std::uint64_t group_length = 8;
static_assert(frame_header_length == group_length && frame_length % group_length == 0);

/// The symbols the line carries under some settings, and the tables the stream is made from.
struct StreamAlphabet {
  std::array<unsigned char, 256> symbols{};   ///< In increasing order; the first size are used.
  std::uint32_t size = 0;                     ///< How many symbols: 30 to 256.
  int bits = 8;                               ///< Bits a character carries: 5 to 8.
  unsigned char mask = 0xff;                  ///< Those bits: (1 << bits) - 1.
  bool without_flow_characters = false;       ///< XON and XOFF are left out.
  std::array<unsigned char, 16> digits{};     ///< The symbol of each header digit, all distinct.
  std::array<unsigned char, 256> digit_of{};  ///< Digit of a byte under mask; 16 for none.
};

/// The mix that makes a group of payload positions from its number (splitmix64's output).
constexpr std::uint64_t mix_group(std::uint64_t group) {
  std::uint64_t z = group + 0x9e3779b97f4a7c15U;
  z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9U;
  z = (z ^ (z >> 27U)) * 0x94d049bb133111ebU;
  return z ^ (z >> 31U);
}

/// The symbols of positions group * 8 to group * 8 + 7, the first in the lowest byte: the
/// digits of the frame's number (mod 2^32, most significant first) for a frame's first group,
/// else the top bits of each byte of the group's mix, XON and XOFF made 0x15 and 0x17.
constexpr std::uint64_t stream_group(const StreamAlphabet& alphabet, std::uint64_t group) {
  constexpr std::uint64_t groups_in_frame = frame_length / group_length;
  constexpr std::uint64_t bytes = 0x0101010101010101U;  // a byte's value in each byte
  if (group % groups_in_frame == 0) {
    const std::uint64_t number = (group / groups_in_frame) & 0xffffffffU;
    std::uint64_t symbols = 0;
    for (std::uint64_t i = 0; i < group_length; ++i) {
      const auto digit = static_cast<std::size_t>((number >> (4 * (group_length - 1 - i))) & 0xfU);
      symbols |= std::uint64_t{alphabet.digits[digit]} << (8 * i);
    }
    return symbols;
  }
  const auto shift = static_cast<unsigned>(8 - alphabet.bits);
  std::uint64_t symbols = (mix_group(group) >> shift) & (alphabet.mask * bytes);
  if (alphabet.without_flow_characters) {
    // Bytes that are 0x11 or 0x13 are 0 in flow, and only those have a clear top bit in below.
    const std::uint64_t flow = (symbols | 0x02 * bytes) ^ (0x13 * bytes);
    const std::uint64_t below = ((flow & 0x7f * bytes) + 0x7f * bytes) | flow;
    symbols |= (~below & 0x80 * bytes) >> 5U;
  }
  return symbols;
}

/// The symbol at a position of the stream.
constexpr unsigned char stream_symbol(const StreamAlphabet& alphabet, std::uint64_t position) {
  const std::uint64_t symbols = stream_group(alphabet, position / group_length);
  return static_cast<unsigned char>(symbols >> (8 * (position % group_length)));
}

/// The 8 bytes at memory as a word with the first in the lowest byte, on any machine.
inline std::uint64_t load_group(const char* memory) {
  std::uint64_t word = 0;
  std::memcpy(&word, memory, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

/// Stores a word's bytes to memory, the lowest first, on any machine.
inline void store_group(std::uint64_t symbols, char* memory) {
  if constexpr (std::endian::native == std::endian::big) symbols = __builtin_bswap64(symbols);
  std::memcpy(memory, &symbols, sizeof symbols);
}

// stream.cpp
/// Every value below 2^databits (8 for any databits but 5, 6 and 7), less XON and XOFF under
/// software flow control, which the line takes for itself.
StreamAlphabet stream_alphabet(const LineSettings& settings);
/// Writes the stream from position first on into out: what a relay sends.
void stream_block(const StreamAlphabet& alphabet, std::uint64_t first, std::span<char> out);

}  // namespace looptest
