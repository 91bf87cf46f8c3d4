// looptest: an async loop test across two serial ports.
#include <cstdio>
#include <span>
#include <string_view>

#include "driver/run.h"
#include "driver/setup.h"
#include "driver/signals.h"
#include "settings/options.h"

using namespace looptest;

int main(int argc, char** argv) {
  claim_standard_descriptors();
  prepare_signals();
  // Unbuffered, each line is one write: it shows at once on a pipe or in a file, and nothing
  // waits in a buffer to be printed a second time by the second relay.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  if (argc == 2) {
    const std::string_view only = argv[1];
    if (only == "--help" || only == "-h") {
      write_usage(stdout);
      return 0;
    }
    if (only == "--version") {
      std::printf("looptest %s\n", LOOPTEST_VERSION);
      return 0;
    }
  }

  // argc may be 0 when a program starts this one with no arguments at all.
  const std::span<char* const> arguments =
      argc > 1 ? std::span<char* const>(argv + 1, static_cast<std::size_t>(argc - 1))
               : std::span<char* const>();
  const RunSetup setup = set_up_run(arguments, stdin, stdout);
  return run_loop_test(setup.port1, setup.port2, setup.settings);
}
