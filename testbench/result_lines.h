// result_lines.h: what a run's result file (result=PATH) holds, each line checked against the
// schema by python3-jsonschema, the archive's validator.
#pragma once

#include <string>
#include <vector>

namespace testbench {

/// A result file as a reader sees it.
struct ResultLines {
  bool validated = false;  ///< python3-jsonschema was there, and checked every line.
  /// What is wrong: a line that is no JSON, fails the schema, or lacks its newline; empty
  /// when nothing is.
  std::string problems;
  std::vector<std::string> types;  ///< Each line's type, in order.
  /// Of the end line, if there is one.
  std::string verdict;
  std::vector<std::string> reasons;
  int exit_status = -1;
  std::vector<std::string> errors;  ///< The text of each error object.
};

/// Reads the result file at path and checks each line against the schema at schema_path.
ResultLines read_result_lines(const std::string& path, const std::string& schema_path);

}  // namespace testbench
