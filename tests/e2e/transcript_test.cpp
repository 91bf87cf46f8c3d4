// What looptest prints, byte for byte, for runs that end because a port is missing.
#include <sys/wait.h>

#include "e2e.h"

namespace e2e {
namespace {

constexpr int status_255 = 255;

struct Transcript {
  const char* name;
  std::vector<std::string> arguments;
  std::string input;
  std::string output;
};

class Transcripts : public LoopTest {};

TEST_F(Transcripts, RunsThatEndAtAMissingPort) {
  const std::string long_number = std::string(40, '1');
  const std::string cut_name = "a" + std::string(30, ' ') + "7";  // the 7 is character 32
  const Transcript transcripts[] = {
      {"ports and options",
       {"s98", "s99", "baudrate=9600", "parity=even"},
       "",
       "arg1 = s98\narg2 = s99\n"
       "Installed values\nBaudrate = 9600\nDatabits = 8\nStopbits = 1\nParity = even\n"
       "Flowcontrol = hardware\n" +
           banner + paths("/dev/tep/s98", "/dev/tep/s99")},
      {"a rate that is no rate, said once after the report",
       {"s98", "s99", "baudrate=0", "duration=5"},
       "",
       "arg1 = s98\narg2 = s99\n"
       "Installed values\nBaudrate = 0\nDatabits = 8\nStopbits = 1\nParity = none\n"
       "Flowcontrol = hardware\nDuration = 5\nBaudrate 0 is no rate: the ports run at 9600\n" +
           banner + paths("/dev/tep/s98", "/dev/tep/s99")},
      {"names at the prompts",
       {},
       "s3\na7\n",
       default_report + banner + prompts + paths("/dev/tep/s3", "/dev/tep/a7")},
      {"empty lines at the prompts",
       {},
       "\n\n",
       default_report + banner + prompts + paths("/dev/tep/a4", "/dev/tep/a5")},
      {"input ends at the prompts",
       {},
       "",
       default_report + banner + prompts + paths("/dev/tep/a4", "/dev/tep/a5")},
      {"input ends mid-line",
       {},
       "S12",
       default_report + banner + prompts + paths("/dev/tep/s12", "/dev/tep/a5")},
      {"a long typed line is read in pieces",
       {},
       "s" + long_number + "\n",
       default_report + banner + prompts + paths("/dev/tep/s2147483647", "/dev/tep/a5")},
      {"a first name that is no port name",
       {"x1", "s2"},
       "",
       "arg1 = x1\narg2 = s2\n" + default_report + banner + paths("/dev/tep/a4", "/dev/tep/s2")},
      {"one port name only",
       {"s7"},
       "",
       "arg1 = s7\n" + default_report + banner + paths("/dev/tep/s7", "/dev/tep/a5")},
      {"an option in place of the second port",
       {"s7", "baudrate=9600"},
       "",
       "arg1 = s7\narg2 = baudrate=9600\n" + default_report + banner +
           paths("/dev/tep/s7", "/dev/tep/a5")},
      {"malformed and unknown options",
       {"a1", "a2", "stopbits", "=9600", "stopbits=", "speed=9600", "baudrate=9600x", "parity=EVEN",
        "databits=9", "stopbits=3", "baudrate=4294967296", "flowcontrol=xon"},
       "",
       "arg1 = a1\narg2 = a2\nsyntax bad\nsyntax bad\nsyntax bad\n"
       "Installed values\nBaudrate = 115200\nDatabits = 9\nStopbits = 3\nParity = none\n"
       "Flowcontrol = none\n" +
           banner + paths("/dev/tep/a1", "/dev/tep/a2")},
      {"numbers too large for 32 bits",
       {"a" + long_number, "S-" + long_number},
       "",
       "arg1 = a" + long_number + "\narg2 = S-" + long_number + "\n" + default_report + banner +
           paths("/dev/tep/a2147483647", "/dev/tep/s-2147483648")},
      {"only the first 31 characters of a name count",
       {cut_name, "a5"},
       "",
       "arg1 = " + cut_name + "\narg2 = a5\n" + default_report + banner +
           paths("/dev/tep/a0", "/dev/tep/a5")},
      {"help is a port name when not alone",
       {"--help", "a5"},
       "",
       "arg1 = --help\narg2 = a5\n" + default_report + banner +
           paths("/dev/tep/a4", "/dev/tep/a5")},
  };
  for (const Transcript& transcript : transcripts) {
    const Finished finished = run(transcript.arguments, transcript.input);
    EXPECT_EQ(finished.output, transcript.output) << transcript.name;
    EXPECT_TRUE(exited_with(finished.status, status_255)) << transcript.name;
  }
}

TEST_F(Transcripts, StandardInputClosed) {
  Program& looptest = start({}, Input::closed);
  std::string output;
  EXPECT_TRUE(testbench::read_to_end(looptest.output, output, patience_ms));
  EXPECT_EQ(output, default_report + banner + prompts + paths("/dev/tep/a4", "/dev/tep/a5"));
  const int status = testbench::wait_for_exit(looptest.pid, patience_ms);
  EXPECT_TRUE(exited_with(status, status_255));
}

TEST_F(Transcripts, EachPromptShowsBeforeTheToolWaits) {
  Program& looptest = start({}, Input::pipe);
  std::string output;
  ASSERT_TRUE(
      testbench::read_until(looptest.output, output, "enter the first port: ", patience_ms));
  ASSERT_EQ(write(looptest.input, "s1\n", 3), 3);
  ASSERT_TRUE(
      testbench::read_until(looptest.output, output, "enter the second port: ", patience_ms));
  ASSERT_EQ(write(looptest.input, "s2\n", 3), 3);
  EXPECT_TRUE(testbench::read_to_end(looptest.output, output, patience_ms));
  EXPECT_EQ(output, default_report + banner + prompts + paths("/dev/tep/s1", "/dev/tep/s2"));
}

TEST_F(Transcripts, AMissingPortEndsTheRunAfterThePaths) {
  const VirtualPort a4 = make_port("a4");
  const VirtualPort a5 = make_port("a5");
  for (const auto& [first, second] : {std::pair{"a4", "a6"}, std::pair{"a6", "a5"}}) {
    const Finished finished = run({first, second});
    const std::string expected_end =
        banner + paths(std::string("/dev/tep/") + first, std::string("/dev/tep/") + second);
    EXPECT_TRUE(finished.output.ends_with(expected_end)) << finished.output;
    EXPECT_TRUE(exited_with(finished.status, status_255));
  }
}

TEST_F(Transcripts, HelpAndVersionOpenNoPort) {
  for (const char* help : {"--help", "-h"}) {
    const Finished finished = run({help});
    EXPECT_TRUE(finished.output.starts_with("usage: looptest")) << finished.output;
    for (const char* keyword :
         {"baudrate=", "databits=", "stopbits=", "parity=", "flowcontrol=", "mark", "software"}) {
      EXPECT_NE(finished.output.find(keyword), std::string::npos) << keyword;
    }
    EXPECT_TRUE(exited_with(finished.status, 0));
  }
  const Finished version = run({"--version"});
  EXPECT_EQ(version.output, "looptest " LOOPTEST_VERSION "\n");
  EXPECT_TRUE(exited_with(version.status, 0));
}

}  // namespace
}  // namespace e2e
