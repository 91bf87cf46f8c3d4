#include "driver/setup.h"

#include <fcntl.h>

#include <cerrno>

#include "settings/options.h"

namespace looptest {

void claim_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd, as those below it are open by now.
    if (open("/dev/null", O_RDWR) == -1) return;
  }
}

RunSetup set_up_run(std::span<char* const> arguments, std::FILE* in, std::FILE* out) {
  RunSetup setup;
  if (!arguments.empty()) {
    port_path_from_name(setup.port1, arguments[0]);
    std::fprintf(out, "arg1 = %s\n", arguments[0]);
    if (arguments.size() >= 2) {
      port_path_from_name(setup.port2, arguments[1]);
      std::fprintf(out, "arg2 = %s\n", arguments[1]);
      read_options(setup.settings, arguments.subspan(2), out);
    }
  }
  print_settings_report(out, setup.settings);
  print_rate_note(out, setup.settings);
  write_banner(out);
  if (arguments.empty()) ask_port_paths(in, out, setup.port1, setup.port2);
  return setup;
}

}  // namespace looptest
