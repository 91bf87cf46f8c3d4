#include "check/stream.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <unordered_set>
#include <vector>

namespace looptest {
namespace {

LineSettings line(std::int32_t databits, FlowControl flow_control) {
  LineSettings settings;
  settings.databits = databits;
  settings.flowcontrol = flow_control;
  return settings;
}

struct AlphabetCase {
  std::int32_t databits;
  FlowControl flow_control;
  std::uint32_t size;
  unsigned mask;
};

constexpr std::array<AlphabetCase, 11> alphabet_cases{{
    {5, FlowControl::none, 32, 0x1f},
    {5, FlowControl::software, 30, 0x1f},
    {6, FlowControl::hardware, 64, 0x3f},
    {6, FlowControl::software, 62, 0x3f},
    {7, FlowControl::none, 128, 0x7f},
    {7, FlowControl::software, 126, 0x7f},
    {8, FlowControl::hardware, 256, 0xff},
    {8, FlowControl::software, 254, 0xff},
    {9, FlowControl::none, 256, 0xff},  // any other size is sent as 8 bits
    {4, FlowControl::software, 254, 0xff},
    {0, FlowControl::hardware, 256, 0xff},
}};

std::string label(const AlphabetCase& c) {
  return "databits=" + std::to_string(c.databits) +
         " flowcontrol=" + std::string(flow_control_keyword(c.flow_control));
}

TEST(StreamAlphabet, HoldsEverySymbolTheLineCarriesAndNoOther) {
  for (const AlphabetCase& c : alphabet_cases) {
    const StreamAlphabet alphabet = stream_alphabet(line(c.databits, c.flow_control));
    EXPECT_EQ(alphabet.size, c.size) << label(c);
    EXPECT_EQ(alphabet.mask, c.mask) << label(c);
    std::unordered_set<unsigned> symbols;
    for (std::uint32_t i = 0; i < alphabet.size; ++i) {
      EXPECT_LE(alphabet.symbols[i], c.mask) << label(c);
      if (i > 0) {
        EXPECT_LT(alphabet.symbols[i - 1], alphabet.symbols[i]) << label(c);
      }
      symbols.insert(alphabet.symbols[i]);
    }
    const bool software = c.flow_control == FlowControl::software;
    EXPECT_EQ(symbols.contains(0x11), !software) << label(c) << ": XON";
    EXPECT_EQ(symbols.contains(0x13), !software) << label(c) << ": XOFF";

    std::unordered_set<unsigned> digits;
    for (int digit = 0; digit < 16; ++digit) {
      const unsigned char symbol = alphabet.digits[static_cast<std::size_t>(digit)];
      EXPECT_TRUE(symbols.contains(symbol)) << label(c) << " digit " << digit;
      EXPECT_EQ(alphabet.digit_of[symbol], digit) << label(c);
      digits.insert(symbol);
    }
    EXPECT_EQ(digits.size(), 16U) << label(c) << ": digits are distinct";
  }
}

TEST(Stream, EverySymbolAppearsWithinSixteenFramesAndNothingElse) {
  for (const AlphabetCase& c : alphabet_cases) {
    const StreamAlphabet alphabet = stream_alphabet(line(c.databits, c.flow_control));
    std::vector<char> block(16 * frame_length);
    stream_block(alphabet, 0, block);
    std::array<int, 256> seen{};
    for (const char byte : block) ++seen[static_cast<unsigned char>(byte)];
    int present = 0;
    for (unsigned value = 0; value < 256; ++value) {
      if (seen[value] > 0) ++present;
    }
    EXPECT_EQ(present, static_cast<int>(alphabet.size)) << label(c);
    for (std::uint32_t i = 0; i < alphabet.size; ++i) {
      EXPECT_GT(seen[alphabet.symbols[i]], 0) << label(c) << " symbol " << +alphabet.symbols[i];
    }
  }
}

TEST(Stream, BlocksEqualTheStreamSymbolBySymbolFromAnyStart) {
  const StreamAlphabet alphabet = stream_alphabet(line(5, FlowControl::software));
  constexpr std::uint64_t wrap = std::uint64_t{1} << 40U;  // frame numbers wrap here
  for (const std::uint64_t first :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{9}, std::uint64_t{255},
        std::uint64_t{263}, std::uint64_t{1000003}, wrap - 5, ~std::uint64_t{0} - 900}) {
    for (const std::size_t size : std::array<std::size_t, 6>{1, 7, 8, 9, 300, 777}) {
      std::vector<char> block(size);
      stream_block(alphabet, first, block);
      for (std::size_t i = 0; i < size; ++i) {
        ASSERT_EQ(static_cast<unsigned char>(block[i]), stream_symbol(alphabet, first + i))
            << "from " << first << ", symbol " << i;
      }
    }
  }
}

TEST(Stream, FramesStartWithTheirNumberInHexadecimalDigits) {
  const StreamAlphabet alphabet = stream_alphabet(line(8, FlowControl::software));
  const std::uint64_t frames[] = {
      0, 1, 0x12345678, 0xffffffff, std::uint64_t{1} << 32U, (std::uint64_t{7} << 32U) + 0xabc};
  for (const std::uint64_t frame : frames) {
    std::uint64_t number = 0;
    for (std::uint64_t i = 0; i < frame_header_length; ++i) {
      const unsigned digit = alphabet.digit_of[stream_symbol(alphabet, frame * frame_length + i)];
      ASSERT_LT(digit, 16U) << "frame " << frame << ", header symbol " << i;
      number = number << 4U | digit;
    }
    EXPECT_EQ(number, frame & 0xffffffffU) << "frame " << frame;
  }
}

TEST(Stream, SixteenSymbolsInARowOccurOnceIn256Frames) {
  for (const std::int32_t databits : {5, 8}) {
    const StreamAlphabet alphabet = stream_alphabet(line(databits, FlowControl::software));
    std::string stream(256 * frame_length, '\0');
    stream_block(alphabet, 0, stream);
    std::unordered_set<std::string_view> seen;
    for (std::size_t i = 0; i + 16 <= stream.size(); ++i) {
      EXPECT_TRUE(seen.insert(std::string_view(stream).substr(i, 16)).second)
          << "databits=" << databits << ": again at " << i;
    }
  }
}

}  // namespace
}  // namespace looptest
