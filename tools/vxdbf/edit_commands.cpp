#include "tools/vxdbf/edit_commands.h"

#include <CLI/CLI.hpp>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>
#include <vexel/edit.hpp>
#include <vexel/vexel.hpp>

namespace vx::tool {

int AppendRows(const Options& o, const Streams& io) {
  const vexel::RowInput input =
      o.format == "jsonl" ? vexel::json_rows(io.in) : vexel::csv_rows(io.in);
  const std::uint64_t rows = vexel::append_rows(o.file, input, OpenOptionsOf(o, io.err));
  io.out << rows << "\n";
  return 0;
}

namespace {

int SetFields(const Options& o, const Streams& io) {
  std::vector<vexel::FieldText> values;
  for (const std::string& assignment : o.arguments) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0) {
      throw UsageError{Quoted(assignment) + " is not NAME=VALUE"};
    }
    values.push_back({assignment.substr(0, eq), assignment.substr(eq + 1)});
  }
  vexel::set_fields(o.file, static_cast<std::uint32_t>(o.record), values, OpenOptionsOf(o, io.err));
  return 0;
}

int DeleteOrRecall(const Options& o, const Streams& io, bool recall) {
  const auto record = static_cast<std::uint32_t>(o.record);
  if (recall) {
    vexel::recall_record(o.file, record, OpenOptionsOf(o, io.err));
  } else {
    vexel::delete_record(o.file, record, OpenOptionsOf(o, io.err));
  }
  return 0;
}

int LocateRecords(const Options& o, const Streams& io) {
  const std::uint64_t found = vexel::locate(
      o.file, o.arguments.at(0), o.arguments.at(1),
      [&](std::uint32_t recno) {
        io.out << recno << "\n";
        return o.all;
      },
      OpenOptionsOf(o, io.err));
  return found > 0 ? 0 : 1;
}

}  // namespace

void RegisterEditCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& append =
      commands.Add({"append", "FILE [--format csv|jsonl]          (rows from standard input)",
                    "Appends the rows read from standard input, all checked before any is written.",
                    "printf 'TITLE,YEAR\\nVertigo,1958\\n' | vxdbf append films.dbf", AppendRows});
  AddFileArgument(append, o);
  AddIndexOption(append, o);
  AddNdxOption(append, o, "dBASE III index files (.NDX, comma-separated) kept current");
  AddFormatOption(append, o, "csv (a header line of field names, then rows) or jsonl");
  AddTextOptions(append, o);
  AddSharingOptions(append, o);

  CLI::App& set = commands.Add({"set", "FILE RECNO NAME=VALUE ...",
                                "Changes the named fields of one record under its lock.",
                                "vxdbf set films.dbf 1 YEAR=1959 TITLE=Vertigo", SetFields});
  AddFileArgument(set, o);
  AddIndexOption(set, o);
  AddNdxOption(set, o, "dBASE III index files (.NDX, comma-separated) kept current");
  AddRecordArgument(set, o);
  AddArguments(set, o, "NAME=VALUE", "a field and its new value (UTF-8)", -1);
  AddTextOptions(set, o);
  AddSharingOptions(set, o);

  for (const bool recall : {false, true}) {
    CLI::App& mark = commands.Add(
        {recall ? "recall" : "delete", "FILE RECNO",
         recall ? "Removes the deletion mark of one record." : "Marks one record deleted.",
         recall ? "vxdbf recall films.dbf 2" : "vxdbf delete films.dbf 2",
         [recall](const Options& options, const Streams& io) {
           return DeleteOrRecall(options, io, recall);
         }});
    AddFileArgument(mark, o);
    AddIndexOption(mark, o);
  AddNdxOption(mark, o, "dBASE III index files (.NDX, comma-separated) kept current");
    AddRecordArgument(mark, o);
    AddSharingOptions(mark, o);
  }

  CLI::App& locate = commands.Add(
      {"locate", "FILE \"FIELD [NOCASE] [EXACT] [CONTAINED]\" VALUE [--all]",
       "Prints the number of the first record (or of every record) whose field matches VALUE.",
       "vxdbf locate films.dbf \"TITLE NOCASE CONTAINED\" wind --all", LocateRecords});
  AddFileArgument(locate, o);
  AddArguments(locate, o, "CONDITION VALUE",
               "the field with NOCASE (any case), EXACT (whole field) or CONTAINED (anywhere), "
               "then the text",
               2);
  locate.add_flag("--all", o.all, "print every matching record, not only the first");
  AddTextOptions(locate, o);
  AddSharingOptions(locate, o);
}

}  // namespace vx::tool
