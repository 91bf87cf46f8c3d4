// The Ansible playbook under dist/ansible: one loop test on several boards at once, one
// report. The boards are local connections here, each with its own virtual ports, whose far
// ends this test drives while the runs go on.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e.h"
#include "skip.h"
#include "wired_far_ends.h"

namespace e2e {
namespace {

class Fleet : public LoopTest {};

constexpr const char* ansible_playbook = "/usr/bin/ansible-playbook";

// Python that every Python the play starts loads first. In the command module, after a select
// of a second or more that found nothing, it stalls before it goes on: three seconds, so that
// the end of a run falls into a stall whatever the phase of the module's reading loop.
constexpr const char* stalling_reader = R"(import selectors
import sys
import time

if "AnsiballZ_command" in sys.argv[0]:
    for name in ("SelectSelector", "PollSelector", "EpollSelector"):
        kind = getattr(selectors, name, None)
        if kind is None:
            continue

        def select(self, timeout=None, _select=kind.select):
            ready = _select(self, timeout)
            if not ready and timeout is not None and timeout >= 1:
                time.sleep(3)
            return ready

        kind.select = select
)";

struct Board {
  std::string host;
  VirtualPort* port1;
  VirtualPort* port2;
  /// With the check on, what is wired to the ports; off, the test sends from port 1 to port 2
  /// forward bytes, and backward back.
  std::optional<testbench::Wired> wired;
  std::size_t forward = 0;
  std::size_t backward = 0;
  /// Its run is killed outright two seconds in: its result has no end.
  bool killed = false;
};

constexpr const char* python = "/usr/bin/python3";

// Reads looptest.xml back with junitparser, as a CI server would, and prints what a consumer
// sees: the totals, then per test case its name, its result and message, the failure's text,
// its properties and the start of its output.
constexpr const char* junit_reader = R"(import sys
from junitparser import JUnitXml, Failure

xml = JUnitXml.fromfile(sys.argv[1])
for suite in xml:
    print(f"suite {suite.name} tests={suite.tests} failures={suite.failures} errors={suite.errors}")
    for case in suite:
        failures = [r for r in case.result if isinstance(r, Failure)]
        print(f"case {case.name}: {'failed: ' + failures[0].message if failures else 'passed'}")
        for failure in failures:
            for line in (failure.text or "").splitlines():
                print(f"  text {line}")
        for prop in case._elem.iter("property"):
            print(f"  property {prop.get('name')} = {prop.get('value')}")
        print(f"  out {(case.system_out or '').splitlines()[:3]}")
)";

std::string inventory_for(const std::vector<Board>& boards) {
  std::string command;
  for (const std::string& word : testbench::looptest_command()) {
    command += (command.empty() ? "\"" : ", \"") + word + "\"";
  }
  std::string text =
      "all:\n"
      "  vars:\n"
      "    ansible_connection: local\n"
      "    ansible_python_interpreter: /usr/bin/python3\n"
      "    looptest_duration: 6\n"
      "    looptest_command: [" +
      command +
      "]\n"
      "  hosts:\n";
  for (const Board& board : boards) {
    text += "    " + board.host + ": {looptest_port1: " + board.port1->path().substr(9) +
            ", looptest_port2: " + board.port2->path().substr(9) +
            (board.wired ? "" : ", looptest_check: \"off\"") +
            (board.killed
                 ? ", looptest_command: [\"timeout\", \"-s\", \"KILL\", \"2\", " + command + "]"
                 : "") +
            "}\n";
  }
  return text;
}

// Whether the tool has set up the port: the line settings it gives by default include RTS/CTS,
// which the test bench's ports start without.
bool set_up(const VirtualPort& port) { return (attributes_of(port).c_cflag & CRTSCTS) != 0; }

// The report's row for host, its words split at blanks.
std::vector<std::string> row_of(const std::string& report, const std::string& host) {
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string word; words >> word;) row.push_back(word);
    if (!row.empty() && row[0] == host) return row;
  }
  return {};
}

TEST_F(Fleet, ThePlaybookRunsEveryBoardAtOnceAndReportsEachWithTheVerdict) {
  if (access(ansible_playbook, X_OK) != 0) {
    SKIP_OR_FAIL_IN_CI("no " << ansible_playbook
                             << " here (apt-get install ansible-core), so the playbook is "
                                "not run");
  }
  VirtualPort a4 = make_port("a4");
  VirtualPort a5 = make_port("a5");
  VirtualPort a6 = make_port("a6");
  VirtualPort a7 = make_port("a7");
  VirtualPort s1 = make_port("s1");
  VirtualPort s2 = make_port("s2");
  VirtualPort a8 = make_port("a8");
  VirtualPort a9 = make_port("a9");
  const std::vector<Board> boards{{"board1", &a4, &a5, testbench::Wired::loops},
                                  {"board2", &a6, &a7, std::nullopt, 1000, 0},
                                  {"board3", &s1, &s2, testbench::Wired::cable},  // whose s1 goes
                                  {"board4", &a8, &a9, std::nullopt, 0, 0, true}};
  // The plugs and the cables, in place before the runs start.
  std::optional<testbench::WiredFarEnds> board1_plugs;
  board1_plugs.emplace(a4, a5, testbench::Wired::loops);
  std::optional<testbench::WiredFarEnds> board3_cable;
  board3_cable.emplace(s1, s2, testbench::Wired::cable);
  std::array<char, 32> work_template{"/tmp/looptest-fleet-XXXXXX"};
  ASSERT_NE(mkdtemp(work_template.data()), nullptr);
  const std::filesystem::path work = work_template.data();
  std::ofstream(work / "boards.yml") << inventory_for(boards);
  // Ansible's command module reads a command's output until a select of a second comes back
  // empty after the command has ended: a reader that stalls between the two loses what the
  // command wrote meanwhile. Here every such reader stalls, as one on a busy machine may.
  std::ofstream(work / "sitecustomize.py") << stalling_reader;
  setenv("PYTHONPATH", work.c_str(), 1);
  Program& ansible = start_other({ansible_playbook, "-i", work / "boards.yml",
                                  std::string(LOOPTEST_SOURCE_DIR) + "/dist/ansible/looptest.yml",
                                  "-e", "looptest_report=" + (work / "report.txt").string()});

  unsetenv("PYTHONPATH");

  // Each board's run sets up both ports; the far ends of the one without the check then send
  // their bytes.
  for (const Board& board : boards) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(set_up(*board.port1) && set_up(*board.port2)) &&
           std::chrono::steady_clock::now() < deadline && testbench::is_running(ansible.pid)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(set_up(*board.port1) && set_up(*board.port2)) << board.host << " never ran";
    if (board.wired || board.killed) continue;
    Flow there{board.port1->master(), board.port2->master(), test_pattern(board.forward, 1)};
    Flow back{board.port2->master(), board.port1->master(), test_pattern(board.backward, 2)};
    EXPECT_TRUE(transfer({&there, &back}, patience_ms)) << board.host;
  }
  // board3's cable is pulled before its run ends.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  board3_cable.reset();
  s1.hang_up();

  std::string output;
  EXPECT_TRUE(testbench::read_to_end(ansible.output, output, 120000)) << output;
  const int status = testbench::wait_for_exit(ansible.pid, patience_ms);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "one board failed:\n" << output;
  EXPECT_NE(output.find("2 of 4 boards failed: board3, board4"), std::string::npos) << output;

  std::ifstream file(work / "report.txt");
  const std::string report((std::istreambuf_iterator<char>(file)), {});
  // host, port 1, port 2, wiring, bytes 1 -> 2, bytes 2 -> 1, errors, wrong/lost/extra, result
  const std::vector<std::string> board1 = row_of(report, "board1");
  ASSERT_EQ(board1.size(), 9u) << report;
  EXPECT_EQ(std::vector(board1.begin(), board1.begin() + 4),
            (std::vector<std::string>{"board1", "/dev/tep/a4", "/dev/tep/a5", "loops"}));
  EXPECT_GT(std::stoull(board1[4]), 10000u) << report;
  EXPECT_GT(std::stoull(board1[5]), 10000u) << report;
  EXPECT_EQ(std::vector(board1.begin() + 6, board1.end()),
            (std::vector<std::string>{"0", "0/0/0", "pass"}))
      << report;
  EXPECT_EQ(row_of(report, "board2"),
            (std::vector<std::string>{"board2", "/dev/tep/a6", "/dev/tep/a7", "-", "1000", "0", "0",
                                      "-", "pass"}))
      << report;
  const std::vector<std::string> failed = row_of(report, "board3");
  ASSERT_EQ(failed.size(), 11u) << report;
  EXPECT_EQ(std::vector(failed.begin(), failed.begin() + 4),
            (std::vector<std::string>{"board3", "/dev/tep/s1", "/dev/tep/s2", "cable"}))
      << report;
  EXPECT_NE(failed[6], "0") << "the pulled cable is counted: " << report;
  EXPECT_EQ(failed[8] + " " + failed[9] + " " + failed[10], "fail (status 1)") << report;
  EXPECT_NE(report.find("  ERROR /dev/tep/s1 lost\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  wiring: a cable between the ports\n"), std::string::npos) << report;
  // Killed outright, a board leaves a result with no end: it fails, with the last line it wrote.
  const std::vector<std::string> killed = row_of(report, "board4");
  ASSERT_EQ(killed.size(), 13u) << report;
  EXPECT_EQ(killed[1] + " " + killed[8] + " " + killed[9] + " " + killed[10] + " " + killed[11] +
                " " + killed[12],
            "/dev/tep/a8 fail (no end: last start)")
      << report;
  std::printf("%s", report.c_str());

  if (access(python, X_OK) != 0 ||
      testbench::start_program({python, "-c", "import junitparser"}, Input::empty).pid <= 0) {
    SKIP_OR_FAIL_IN_CI("no " << python << " here, so looptest.xml is not read back");
  }
  Program& reader = start_other({python, "-c", junit_reader, work / "looptest.xml"});
  std::string read;
  EXPECT_TRUE(testbench::read_to_end(reader.output, read, patience_ms));
  if (testbench::wait_for_exit(reader.pid, patience_ms) != 0 &&
      read.find("suite ") == std::string::npos) {
    SKIP_OR_FAIL_IN_CI(
        "junitparser cannot read looptest.xml here (apt-get install "
        "python3-junitparser): "
        << read);
  }
  std::printf("%s", read.c_str());
  EXPECT_NE(read.find("suite looptest tests=4 failures=2 errors=0\n"), std::string::npos) << read;
  EXPECT_NE(read.find("case board1 /dev/tep/a4 /dev/tep/a5: passed\n"), std::string::npos) << read;
  EXPECT_NE(read.find("case board3 /dev/tep/s1 /dev/tep/s2: failed: fail (status 1): "),
            std::string::npos)
      << read;
  EXPECT_NE(read.find("  text ERROR /dev/tep/s1 lost\n"), std::string::npos) << read;
  EXPECT_NE(read.find("case board4 /dev/tep/a8 /dev/tep/a9: failed: fail (no end: last start)\n"),
            std::string::npos)
      << read;
  EXPECT_NE(read.find("  property /dev/tep/a6 -> /dev/tep/a7 bytes = 1000\n"), std::string::npos)
      << read;
  EXPECT_NE(read.find("  out ['arg1 = a4', 'arg2 = a5', 'Installed values']\n"), std::string::npos)
      << read;
  std::filesystem::remove_all(work);
}

}  // namespace
}  // namespace e2e
