#include "result_lines.h"

#include <sstream>

#include "process.h"

namespace testbench {

namespace {

// Reads the file as bytes, so that a line is split at its newline only (a string may hold
// U+2028), and prints what the C++ side parses: one "word value" a line.
constexpr const char* reader = R"(import json
import sys

schema_path, path = sys.argv[1:3]
try:
    import jsonschema
    checker = jsonschema.Draft202012Validator(
        json.load(open(schema_path)),
        format_checker=jsonschema.Draft202012Validator.FORMAT_CHECKER)
    print("validated")
except ImportError:
    checker = None
data = open(path, "rb").read()
if data and not data.endswith(b"\n"):
    print("problem the last line has no newline")
for number, raw in enumerate(data.split(b"\n")[:-1], 1):
    try:
        line = json.loads(raw.decode("utf-8"))
    except ValueError as error:
        print(f"problem line {number}: {error}")
        continue
    for error in checker.iter_errors(line) if checker else ():
        print(f"problem line {number}: {error.message}")
    print("type", line.get("type"))
    if line.get("type") == "error":
        print("error", json.dumps(line.get("text")))
    if line.get("type") == "end":
        print("verdict", line.get("verdict"))
        print("status", line.get("exit_status"))
        print("reasons", " ".join(line.get("reasons", [])))
)";

}  // namespace

ResultLines read_result_lines(const std::string& path, const std::string& schema_path) {
  Program python =
      start_program({"/usr/bin/python3", "-c", reader, schema_path, path}, Input::empty);
  std::string output;
  read_to_end(python.output, output, 30000);
  const int status = wait_for_exit(python.pid, 30000);
  stop_program(python);
  ResultLines lines;
  if (status != 0) lines.problems = "the reader failed (status " + std::to_string(status) + ")\n";
  std::istringstream said(output);
  for (std::string line; std::getline(said, line);) {
    const std::size_t blank = line.find(' ');
    const std::string word = line.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (word == "validated") lines.validated = true;
    if (word == "problem") lines.problems += rest + "\n";
    if (word == "type") lines.types.push_back(rest);
    if (word == "error") lines.errors.push_back(rest);
    if (word == "verdict") lines.verdict = rest;
    if (word == "status") lines.exit_status = std::stoi(rest);
    if (word == "reasons") {
      std::istringstream words(rest);
      for (std::string reason; words >> reason;) lines.reasons.push_back(reason);
    }
  }
  return lines;
}

}  // namespace testbench
