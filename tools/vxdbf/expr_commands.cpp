#include "tools/vxdbf/expr_commands.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <ostream>

#include "engine/expr/expression.h"
#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/memo/memo_storage.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "tools/vxdbf/index_commands.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/table_text.h"
#include "tools/vxdbf/text_formats.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

// An engine error of an expression (compiling or evaluating it): its message is printed and the
// command ends with status 2. Other engine errors (the table, its index) end it with status 1.
struct ExpressionFailed {
  std::string message;
};

// Runs `step` of an expression's compilation or evaluation, its engine errors becoming
// ExpressionFailed.
template <typename F>
auto OfExpression(F&& step) {
  try {
    return step();
  } catch (const EVexelError& e) {
    throw ExpressionFailed{e.what()};
  }
}

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

// The memo field an expression names alone (0 for any other expression). Its value is printed
// from the memo file with its line ends: inside an expression a memo's text has none.
int MemoFieldNamed(const std::string& stored_expression) {
  const TableRecord* t = SelectedTable();
  if (t == nullptr) return 0;
  const int n = FieldNo(TrimText(stored_expression));
  return n > 0 && t->fields[static_cast<std::size_t>(n - 1)].type == 'M' ? n : 0;
}

// Evaluates `e` and renders its value; `text` converts the table's text to UTF-8. `memo_field`
// (from MemoFieldNamed) is the memo field the expression is.
Value Render(CompiledExpr* e, TableText& text, const std::string& where, int memo_field = 0) {
  const void* v = OfExpression([&] { return Evaluate(e); });
  Value out;
  switch (e->result_type) {
    case 'C':
    case 'M': {
      std::string_view value(static_cast<const char*>(v), e->result_length);
      std::string memo;
      if (e->result_type == 'M' && memo_field > 0) {
        TableRecord& t = *SelectedTable();
        const FieldEntry& f = t.fields[static_cast<std::size_t>(memo_field - 1)];
        const std::int32_t block = StoredMemoBlock(t, f, t.record.data());
        if (block > 0 && MemoOf(t) != nullptr) {
          // A memo that cannot be read keeps the value the expression gave.
          QuietErrors quiet;
          if (ReadMemo(t, block, memo)) {
            value = memo;
          } else {
            EngineErrorCode = 0;
            TakeErrorMessage();
          }
        }
      }
      out.text = text.ToUtf8(value, where);
      out.json = JsonString(out.text);
      break;
    }
    case 'N': {
      const double n = *static_cast<const double*>(v);
      out.text = ShortestNumber(n);
      out.json = std::isfinite(n) ? out.text : "null";
      break;
    }
    case 'D': {
      const std::string stored = DayNumberToStored(*static_cast<const double*>(v));
      if (stored != kBlankStoredDate) {
        out.text = stored.substr(0, 4) + "-" + stored.substr(4, 2) + "-" + stored.substr(6, 2);
        out.json = JsonString(out.text);
      } else {
        out.json = "null";
      }
      break;
    }
    default: {
      const bool b = *static_cast<const std::int32_t*>(v) != 0;
      out.text = b ? "T" : "F";
      out.json = b ? "true" : "false";
      break;
    }
  }
  return out;
}

// Compiles a UTF-8 expression in the code page of the table's text; `page` remembers that page
// for the error message, which quotes the text.
Expr CompileText(const std::string& utf8, TableText& text, int& page) {
  page = text.page();
  const std::string stored = text.FromUtf8(utf8, "the expression");
  Expr e = OfExpression([&] { return Expr::Compile(stored); });
  if (!e) throw ExpressionFailed{EngineErrorText()};  // reported already when errors are quiet
  return e;
}

// An engine message in UTF-8: it quotes the expression in the code page it was compiled in.
std::string MessageText(std::string_view message, int page) {
  return os::DecodeCodePage(page, message, os::OnFault::kReplace).text;
}

// Runs `body(page)`, turning the engine's errors of expressions into status 2 with the message;
// the body sets `page` to the code page of the text it compiles.
template <typename F>
int Guarded(std::ostream& err, F&& body) {
  int page = os::AnsiCodePage();
  try {
    return body(page);
  } catch (const ExpressionFailed& e) {
    err << MessageText(e.message, page) << "\n";
    return kExitUsage;
  }
}

}  // namespace

int ListRecords(const Options& options, const ListRequest& request, std::ostream& out,
                std::ostream& err) {
  return Guarded(err, [&](int& page) {
    TableSession session(options, request.file, Access::kRead, err);
    std::vector<Expr> columns;
    std::vector<int> memo_fields;
    for (const std::string& text : request.expressions) {
      columns.push_back(CompileText(text, session.text(), page));
      memo_fields.push_back(MemoFieldNamed(session.text().FromUtf8(text, "the expression")));
    }
    Expr condition;
    if (!request.condition.empty()) {
      condition = CompileText(request.condition, session.text(), page);
      if (condition->result_type != 'L') {
        err << "vxdbf: --for needs a logical condition: " << request.condition << "\n";
        return kExitUsage;
      }
    }
    const bool csv = request.format != "jsonl";
    if (csv) {
      std::vector<std::string> header = {"_recno"};
      header.insert(header.end(), request.expressions.begin(), request.expressions.end());
      out << CsvLine(header);
    }
    for (const OrderedRecord& ordered : RecordOrder(options, session.table(), RecCount())) {
      const std::int32_t n = ordered.record;
      GO(n);
      const TableRecord& t = session.table();
      if (!request.deleted && !t.record.empty() && t.record[0] == '*') continue;
      if (condition && *static_cast<const std::int32_t*>(
                           OfExpression([&] { return condition.Evaluate(); })) == 0) {
        continue;
      }
      // Every value first, so that an evaluation error prints no partial row.
      std::vector<Value> values;
      const std::string where = "record " + std::to_string(n);
      for (std::size_t i = 0; i < columns.size(); ++i) {
        values.push_back(Render(columns[i].get(), session.text(), where, memo_fields[i]));
      }
      if (csv) {
        std::vector<std::string> fields = {std::to_string(n)};
        for (const Value& v : values) fields.push_back(v.text);
        out << CsvLine(fields);
      } else {
        out << "{\"_recno\": " << n;
        for (std::size_t i = 0; i < values.size(); ++i) {
          out << ", " << JsonString(request.expressions[i]) << ": " << values[i].json;
        }
        out << "}\n";
      }
    }
    session.Close();
    return kExitOk;
  });
}

int EvalExpression(const Options& options, const EvalRequest& request, std::ostream& out,
                   std::ostream& err) {
  return Guarded(err, [&](int& page) {
    std::unique_ptr<TableSession> session;
    // Without a table the text is the engine's own (Windows) page.
    TableText no_table(os::AnsiCodePage(), options.lossy);
    if (!request.table.empty()) {
      session = std::make_unique<TableSession>(options, request.table, Access::kRead, err);
      if (RecCount() > 0) {
        if (request.record < 1 || request.record > RecCount()) {
          throw InputError{"record " + std::to_string(request.record) + " is not in " +
                           request.table};
        }
        GO(request.record);
      }
    } else {
      CloseAll();  // no table current: only constants and functions
    }
    TableText& text = session ? session->text() : no_table;
    Expr e = CompileText(request.expression, text, page);
    const Value v =
        Render(e.get(), text, "record " + std::to_string(request.record),
               session ? MemoFieldNamed(text.FromUtf8(request.expression, "the expression")) : 0);
    if (request.format == "jsonl") {
      out << "{\"value\": " << v.json << ", \"type\": \"" << e->result_type
          << "\", \"width\": " << e->result_width
          << ", \"decimals\": " << static_cast<int>(e->result_decimals) << "}\n";
    } else {
      out << v.text << "\n";
    }
    if (session) session->Close();
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
