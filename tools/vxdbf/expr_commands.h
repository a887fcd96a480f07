#pragma once
// vxdbf's expression commands: `list` prints expressions over the records of a table, `eval`
// prints the value of one expression (over one record of a table, or with none).

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

// What `list` was asked for, already parsed (UTF-8 texts).
struct ListRequest {
  std::string file;
  std::vector<std::string> expressions;
  std::string condition;  // --for, empty for every record
  bool deleted = false;   // deleted records too
  bool ansi = false;      // the table holds Windows text
  std::string format = "csv";
};

// What `eval` was asked for.
struct EvalRequest {
  std::string expression;
  std::string table;        // --table, empty for none
  std::int32_t record = 1;  // --record
  bool ansi = false;
  std::string format = "text";
};

// Each answers the exit status: 0, or 2 after printing the engine's message for an expression
// that does not compile or an evaluation error (no partial row is printed).
int ListRecords(const Options& options, const ListRequest& request, std::ostream& out,
                std::ostream& err);
int EvalExpression(const Options& options, const EvalRequest& request, std::ostream& out,
                   std::ostream& err);

// Registers `list` and `eval`.
void RegisterExprCommands(Commands& commands);

}  // namespace vx::tool
