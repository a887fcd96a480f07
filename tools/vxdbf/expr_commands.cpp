#include "tools/vxdbf/expr_commands.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <optional>
#include <vexel/inspect.hpp>

#include "tools/vxdbf/index_commands.h"
#include "tools/vxdbf/text_formats.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

// One evaluated value, ready for CSV (text) and JSON.
struct Value {
  std::string text;  // CSV and plain text
  std::string json;
};

std::string ShortestNumber(double v) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, v);
  return error == std::errc() ? std::string(buffer, end) : std::string();
}

Value Render(const vexel::Value& value) {
  Value out;
  if (const auto* text = std::get_if<std::string>(&value)) {
    out.text = *text;
    out.json = JsonString(out.text);
  } else if (std::holds_alternative<double>(value) ||
             std::holds_alternative<std::int64_t>(value)) {
    // A whole number prints as its double does (1e+15), whichever form it came in.
    const double n = std::holds_alternative<double>(value)
                         ? std::get<double>(value)
                         : static_cast<double>(std::get<std::int64_t>(value));
    out.text = ShortestNumber(n);
    out.json = std::isfinite(n) ? out.text : "null";
  } else if (const auto* d = std::get_if<vexel::Date>(&value)) {
    char date[32];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", d->year, d->month, d->day);
    out.text = date;
    out.json = JsonString(out.text);
  } else if (const auto* b = std::get_if<bool>(&value)) {
    out.text = *b ? "T" : "F";
    out.json = *b ? "true" : "false";
  } else {
    out.json = "null";  // a blank date
  }
  return out;
}

// Runs `body`: an expression that does not compile or fails ends the command with status 2 and
// the engine's message.
template <typename F>
int Guarded(std::ostream& err, F&& body) {
  try {
    return body();
  } catch (const vexel::ExpressionError& e) {
    err << e.what() << "\n";
    return kExitUsage;
  }
}

}  // namespace

int ListRecords(const Options& options, const ListRequest& request, std::ostream& out,
                std::ostream& err) {
  return Guarded(err, [&] {
    const bool csv = request.format != "jsonl";
    vexel::ExpressionRows rows;
    rows.begin = [&] {
      if (!csv) return;
      std::vector<std::string> header = {"_recno"};
      header.insert(header.end(), request.expressions.begin(), request.expressions.end());
      out << CsvLine(header);
    };
    rows.row = [&](std::uint32_t n, const std::vector<vexel::Value>& results) {
      if (csv) {
        std::vector<std::string> fields = {std::to_string(n)};
        for (const vexel::Value& r : results) fields.push_back(Render(r).text);
        out << CsvLine(fields);
        return;
      }
      out << "{\"_recno\": " << n;
      for (std::size_t i = 0; i < results.size(); ++i) {
        out << ", " << JsonString(request.expressions[i]) << ": " << Render(results[i]).json;
      }
      out << "}\n";
    };
    try {
      vexel::list_expressions(
          request.file,
          {request.expressions, request.condition, request.deleted, options.tag, options.index},
          OpenOptionsOf(options, err), rows);
    } catch (const vexel::ExpressionError&) {
      throw;
    } catch (const vexel::InputError& e) {
      if (e.code() != 9) throw;
      err << "vxdbf: --for needs a logical condition: " << request.condition << "\n";
      return kExitUsage;
    }
    return kExitOk;
  });
}

int EvalExpression(const Options& options, const EvalRequest& request, std::ostream& out,
                   std::ostream& err) {
  return Guarded(err, [&] {
    std::optional<vexel::Expression> e;
    vexel::Value value;
    if (request.table.empty()) {
      e = vexel::compile(request.expression);
      value = vexel::evaluate(*e);
    } else {
      // Read-only; an index that cannot be read is no concern of an expression.
      vexel::OpenOptions open = OpenOptionsOf(options, err);
      open.mode = vexel::OpenMode::read_only;
      open.ignore_index = true;
      const vexel::Table table = vexel::open(request.table, open);
      for (const std::string& w : table.warnings()) err << "vxdbf: warning: " << w << "\n";
      // A table without records: its blank record.
      const std::uint32_t size = table.size();
      const auto recno = static_cast<std::uint32_t>(request.record);
      if (size > 0 && (recno < 1 || recno > size)) {
        throw InputError{"record " + std::to_string(recno) + " is not in " + request.table};
      }
      e = table.compile(request.expression);
      value = table.eval(*e, size == 0 ? 0 : recno);
    }
    const Value v = Render(value);
    if (request.format == "jsonl") {
      out << "{\"value\": " << v.json << ", \"type\": \"" << e->type()
          << "\", \"width\": " << e->width() << ", \"decimals\": " << e->decimals() << "}\n";
    } else {
      out << v.text << "\n";
    }
    return kExitOk;
  });
}

void RegisterExprCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& list = commands.Add(
      {"list", "FILE EXPR... [--for COND] [--deleted] [--tag NAME] [--format csv|jsonl]",
       "Prints, for every record whose COND is true, its number and the value of each EXPR.",
       "vxdbf list films.dbf TITLE \"YEAR + 1\" --for \"YEAR > 1950\" --format jsonl",
       [](const Options& options, const Streams& io) {
         ListRequest r{options.file,    options.arguments, options.condition,
                       options.deleted, options.ansi,      options.format};
         return ListRecords(options, r, io.out, io.err);
       }});
  AddFileArgument(list, o);
  AddArguments(list, o, "EXPR", "a dBASE expression (its text names the column)", -1);
  list.add_option("--for", o.condition, "a logical expression that selects the records");
  list.add_flag("--deleted", o.deleted, "deleted records too");
  AddTagOptions(list, o, TagOptions::kOrderOnly);
  AddFormatOption(list, o, "csv (a header line, then one line per record) or jsonl");
  AddTextOptions(list, o);

  CLI::App& eval = commands.Add(
      {"eval", "EXPR [--table FILE [--record N]] [--format text|jsonl]",
       "Prints the value of one expression, over one record of a table or with no table.",
       "vxdbf eval \"UPPER(TITLE)\" --table films.dbf --record 3 --format jsonl",
       [](const Options& options, const Streams& io) {
         EvalRequest r{options.arguments.empty() ? std::string() : options.arguments[0],
                       options.table, options.record == 0 ? 1 : options.record, options.ansi,
                       options.format == "jsonl" ? "jsonl" : "text"};
         return EvalExpression(options, r, io.out, io.err);
       }});
  AddArguments(eval, o, "EXPR", "a dBASE expression", 1);
  eval.add_option("--table", o.table, "the table whose fields the expression reads");
  eval.add_option("--record", o.record, "the record to read (default 1)")
      ->check(CLI::Range(1, 2147483647));
  eval.add_option("--format", o.format, "text (the value) or jsonl (value, type, width, decimals)")
      ->check(CLI::IsMember({"text", "jsonl"}));
  AddTextOptions(eval, o);
}

}  // namespace vx::tool
