// Option arguments, NUL-separated in the input, as argv would hold them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "settings/options.h"

using namespace looptest;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<char*> arguments;
  for (std::size_t start = 0; start <= text.size();) {
    arguments.push_back(text.data() + start);
    start = text.find('\0', start);
    if (start == std::string::npos) break;
    ++start;
  }

  std::size_t malformed = 0;
  for (char* argument : arguments) {
    const std::string_view whole(argument);
    const std::optional<Option> option = split_option(whole);
    if (!option) {
      ++malformed;
      continue;
    }
    // Both parts lie inside the argument, the key free of its delimiters, the value of newlines.
    fuzz::check(!option->key.empty() && !option->value.empty());
    fuzz::check(option->key.data() >= whole.data() &&
                option->value.data() + option->value.size() <= whole.data() + whole.size());
    fuzz::check(option->key.find_first_of("=\n") == std::string_view::npos);
    fuzz::check(option->value.find('\n') == std::string_view::npos);
  }

  char* messages = nullptr;
  std::size_t messages_size = 0;
  std::FILE* out = open_memstream(&messages, &messages_size);
  LineSettings settings;
  read_options(settings, arguments, out);
  std::fclose(out);
  // One "syntax bad" per malformed argument, and nothing else.
  fuzz::check(messages_size == malformed * std::strlen("syntax bad\n"));
  std::free(messages);
  fuzz::check_settings(settings);
  return 0;
}
