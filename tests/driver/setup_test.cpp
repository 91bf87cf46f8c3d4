#include "driver/setup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "capture.h"

namespace looptest {
namespace {

TEST(StandardDescriptors, ClosedOnesAreGivenToDevNull) {
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    close(STDOUT_FILENO);
    claim_standard_descriptors();
    const int next = open("/dev/null", O_RDONLY);  // must not get descriptor 1
    _exit(fcntl(STDOUT_FILENO, F_GETFD) != -1 && next > 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The whole run up to the ports, as one record: names, options only after two names, and the
// prompts only without any name.
TEST(SetUpRun, NamesOptionsAndPromptsMakeOneRecord) {
  struct Case {
    std::vector<std::string> arguments;
    std::string typed;
    const char* port1;
    const char* port2;
    std::int32_t baudrate;
  };
  const Case cases[] = {
      {{"s1", "a2", "baudrate=9600", "duration=5"}, "", "/dev/tep/s1", "/dev/tep/a2", 9600},
      {{"s1", "baudrate=9600"}, "", "/dev/tep/s1", "/dev/tep/a5", 115200},
      {{}, "s3\na7\n", "/dev/tep/s3", "/dev/tep/a7", 115200},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    std::string typed = c.typed;
    std::FILE* in = fmemopen(typed.data(), typed.size(), "r");
    RunSetup setup;
    const std::string printed =
        captured([&](std::FILE* out) { setup = set_up_run(pointers, in, out); });
    std::fclose(in);
    EXPECT_STREQ(setup.port1.data(), c.port1) << printed;
    EXPECT_STREQ(setup.port2.data(), c.port2) << printed;
    EXPECT_EQ(setup.settings.baudrate, c.baudrate) << printed;
    EXPECT_EQ(setup.settings.duration.has_value(), c.arguments.size() == 4) << printed;
    EXPECT_EQ(printed.find("Please, enter") != std::string::npos, c.arguments.empty());
  }
}

}  // namespace
}  // namespace looptest
