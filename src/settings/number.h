// number.h: decimal numbers at the start of a text, read the way the C library reads them,
// but without its undefined overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace looptest {

struct LeadingNumber {
  std::int32_t value = 0;  ///< Saturated to the 32-bit range; 0 without digits.
  std::size_t end = 0;     ///< Just past the last digit; 0 without digits, as strtol leaves it.
  bool in_range = true;    ///< False when the digits name a number outside the 32-bit range.
};

constexpr bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/// White space, an optional sign, then decimal digits up to the first other character.
constexpr LeadingNumber parse_leading_number(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && is_c_space(text[at])) ++at;
  const bool negative = at < text.size() && text[at] == '-';
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;

  // Accumulate the magnitude with headroom for the one number whose negative fits and
  // positive does not; past that limit the digits are still consumed but no longer added.
  constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  const std::size_t first_digit = at;
  std::int64_t magnitude = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (magnitude <= limit) magnitude = magnitude * 10 + (text[at] - '0');
  }
  if (at == first_digit) return {};

  const std::int64_t bound = negative ? limit : limit - 1;
  const bool in_range = magnitude <= bound;
  const std::int64_t clamped = in_range ? magnitude : bound;
  return {static_cast<std::int32_t>(negative ? -clamped : clamped), at, in_range};
}

/// The whole text is one number in the 32-bit range (leading white space and a sign allowed).
constexpr bool parse_whole_number(std::string_view text, std::int32_t& value) {
  const LeadingNumber number = parse_leading_number(text);
  if (number.end == 0 || number.end != text.size() || !number.in_range) return false;
  value = number.value;
  return true;
}

}  // namespace looptest
