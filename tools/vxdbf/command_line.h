#pragma once
// vxdbf's command line on CLI11: the options a command may take, the table of commands (each
// command registers its subcommand, options and runner in one function of its own unit), the
// option helpers commands share, the errors that end a command, and the conversions between
// UTF-8 and a table's text at the tool's edge.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace vexel {
struct OpenOptions;
class Error;
enum class Remedy;
}

namespace vx::tool {

// A usage error: the message and the command's usage go to standard error, exit status 2.
struct UsageError {
  std::string message;
};

// Input rows or values that do not fit the table: exit status 2, nothing written.
struct InputError {
  std::string message;
};

// A file or a table's text that cannot be read (text that does not decode in its page): exit status
// 1, like other faults of a file.
struct DataError {
  std::string message;
};

// A lock that stayed refused after its retries: exit status 3, the table unchanged.
struct LockRefused {
  std::string message;
};

// Everything a command line may set. Each command binds the members it takes; the others keep
// their defaults.
struct Options {
  std::string file;                    // FILE
  std::int32_t record = 0;             // RECNO (digits only, from 1)
  std::vector<std::string> arguments;  // the command's other positional arguments
  bool json = false;
  bool deleted = false;
  bool visible = false;
  bool ansi = false;
  int codepage = 0;  // --codepage N; 0: as the table's mark says
  bool lossy = false;
  bool exclusive = false;
  bool all = false;
  bool ignore_index = false;
  int retries = 0;
  double wait_seconds = 0;  // decimals allowed: 0.05
  std::string format = "csv";
  std::vector<std::string> field_definitions;
  std::string version;
  std::string condition;  // list --for COND
  std::string table;      // eval --table FILE
  std::string tag;        // an index tag (dump, seek)
  std::string index;      // an index file other than the production index
  std::vector<std::string> ndx_files;  // --index A.NDX,B.NDX: kept current by edits, checked
  std::string ndx;                     // index --ndx FILE: the .NDX to build
  bool soft = false;
  bool exact = false;
  bool recno = false;  // dump: the record number (and with --tag the key) first
  std::string key;     // index --key EXPR
  bool descending = false;
  bool unique = false;
  bool repair = false;  // check --repair
  int fill = 100;       // index, reindex --fill: percent of each built leaf filled

  // The maintenance commands.
  bool backup = false;          // pack, zap: keep the old files as .bak
  bool yes = false;             // zap: do not ask
  bool markdown = false;        // man: the manual in Markdown instead of roff
  bool overwrite = false;       // create, copy: replace an existing table
  std::string fields;           // copy --fields A,B,...
  bool structure_only = false;  // copy: no records
  bool with_index = false;      // copy: build the production index's tags for the new table
  std::vector<std::string> add_fields, drop_fields, rename_fields, retype_fields, drop_tags;
  std::vector<std::string> files;      // several FILE arguments (AllowSeveralFiles)
  bool peer = false;                   // locktest: the helper process's side
  bool simulate_broken_locks = false;  // locktest: a helper that ignores locks
};

// The streams a command reads and writes.
struct Streams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

using CommandRunner = std::function<int(const Options&, const Streams&)>;

// One command as the overview and its --help show it.
// The manual's own text (manual.md), built into the program.
extern const char* const kManualText;

struct CommandEntry {
  std::string name;
  std::string synopsis;  // the arguments after "vxdbf NAME", as in the overview
  std::string purpose;   // one sentence for --help
  std::string example;   // one command line (or a short session) for --help
  CommandRunner run;
};

// The commands of one vxdbf run over a CLI11 application. A command's unit has one function
// `RegisterXxx(Commands&)` that calls Add and binds its options into options().
class Commands {
 public:
  Commands(CLI::App& app, Options& options) : app_(app), options_(options) {}
  Commands(const Commands&) = delete;
  Commands& operator=(const Commands&) = delete;

  // Adds a subcommand with --help; answers it for the caller's options.
  CLI::App& Add(CommandEntry entry);
  Options& options() { return options_; }

  // The overview of every command ("usage: vxdbf ..."), and one command's usage line.
  std::string Overview() const;
  std::string UsageOf(const std::string& name) const;
  bool Has(const std::string& name) const;
  // The command the parsed line chose (the parse requires one).
  const CommandEntry& Chosen() const;
  // Lets a registered command take several FILE arguments, a folder standing for the tables
  // in it: the command runs once per table, each result after a line "==> FILE <==", and the
  // exit status is the highest of them (an error in one table does not stop the others).
  void AllowSeveralFiles(const std::string& name);
  // A bash completion script and a man page, made from the registered commands and options.
  std::string BashCompletion() const;
  std::string ManPage() const;
  // The same manual in Markdown (docs/vxdbf.md is this output): the command definitions with
  // the manual's own text (manual.md, built into the program) under each command.
  std::string Markdown() const;
  // The exit statuses a command answers, as the man page lists them.
  std::string StatusesOf(const std::string& name) const;

 private:
  CLI::App& app_;
  Options& options_;
  std::vector<CommandEntry> entries_;
};

// Option helpers shared by commands, so that one option reads and checks the same everywhere.
// FILE, the first positional argument.
void AddFileArgument(CLI::App& command, Options& o);
// RECNO: a record number written in digits only, 1 to 2147483647.
void AddRecordArgument(CLI::App& command, Options& o);
// Further positional arguments, in order, into Options::arguments. `count` -1 takes one or more.
void AddArguments(CLI::App& command, Options& o, const std::string& name,
                  const std::string& description, int count);
// --codepage N, --ansi and --lossy: which code page the table's text is in, and what happens
// to text that does not convert.
void AddTextOptions(CLI::App& command, Options& o);
// A code page option alone (--codepage N of create, --set N of the code-page assistant): a page
// this system converts.
CLI::Option* AddCodePageOption(CLI::App& command, const std::string& name, int& page,
                               const std::string& description);
// --exclusive, --retries N and --wait S: how a shared table is opened and its locks retried.
void AddSharingOptions(CLI::App& command, Options& o);
// --ignore-index: edit a table whose production index cannot be kept up to date.
void AddIndexOption(CLI::App& command, Options& o);
// --index A.NDX,B.NDX: dBASE III index files that an edit keeps current (or check checks).
void AddNdxOption(CLI::App& command, Options& o, const std::string& description);
// --format csv|jsonl.
void AddFormatOption(CLI::App& command, Options& o, const std::string& description);

// The library's options for an operation on FILE from this command line: --exclusive, --retries,
// --wait, --ignore-index, --codepage, --ansi, --lossy; its warnings and notes as "vxdbf: MESSAGE"
// lines on `err`, its progress as a bar on `err` when that is a terminal.
vexel::OpenOptions OpenOptionsOf(const Options& o, std::ostream& err);
// The library's advice worded as this program's options ("--lossy"), and an error's message
// with its advice so worded.
std::string OptionWords(vexel::Remedy remedy);
std::string Worded(const vexel::Error& e);

// A value from the command line or the input, in double quotes for a message; text longer than
// about 60 bytes is cut (at a character boundary) and ends in "...", so that a refused 10 MB
// value does not flood the terminal.
std::string Quoted(std::string_view text);
// The first `limit` bytes of text (cut at a character boundary) and "...", or all of it.
std::string Shortened(std::string_view text, std::size_t limit);

}  // namespace vx::tool
