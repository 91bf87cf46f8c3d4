// The whole command line and the answers to the prompts, up to where the ports would open.
// The first byte says how many NUL-separated arguments come first (0 to 7); the rest of the
// input is what is typed at the prompts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/setup.h"
#include "fuzz_checks.h"

using namespace looptest;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t wanted = data[0] % 8;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<char*> arguments;
  std::size_t start = 0;
  while (arguments.size() < wanted && start <= text.size()) {
    arguments.push_back(text.data() + start);
    const std::size_t end = text.find('\0', start);
    start = end == std::string::npos ? text.size() + 1 : end + 1;
  }
  const std::string typed = start < text.size() ? text.substr(start) : std::string();

  std::FILE* in = fmemopen(const_cast<char*>(typed.data()), typed.size(), "r");
  std::FILE* out = std::fopen("/dev/null", "w");
  if (in == nullptr || out == nullptr) std::abort();
  const RunSetup setup = set_up_run(arguments, in, out);
  std::fclose(in);
  std::fclose(out);

  fuzz::check_port_path(setup.port1, default_port1_path);
  fuzz::check_port_path(setup.port2, default_port2_path);
  fuzz::check_settings(setup.settings);
  // Options count only after both port names.
  if (arguments.size() < 3) fuzz::check(setup.settings.baudrate == LineSettings{}.baudrate);
  return 0;
}
