// looptest: an async loop test across two serial ports.
#include <csignal>
#include <cstdio>
#include <span>
#include <string_view>

#include "driver/loop_test.h"
#include "settings/options.h"
#include "settings/port_names.h"
#include "settings/settings.h"

using namespace looptest;

int main(int argc, char** argv) {
  claim_standard_descriptors();
  // Unbuffered, each message is one write: it shows at once on a pipe or in a file, and
  // nothing waits in a buffer to be printed a second time by the relay's child.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // Output nobody reads (a closed pipe) is dropped, and the relay goes on: its exit status
  // still tells how the line did.
  std::signal(SIGPIPE, SIG_IGN);

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

  PortPath port1 = default_port1_path;
  PortPath port2 = default_port2_path;
  // argc may be 0 when a program starts this one with no arguments at all.
  const std::span<char* const> arguments =
      argc > 1 ? std::span<char* const>(argv + 1, static_cast<std::size_t>(argc - 1))
               : std::span<char* const>();
  set_up_run(arguments, stdin, stdout, port1, port2, line_settings);
  return run_loop_test(port1, port2, line_settings);
}
