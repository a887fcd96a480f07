#include "tools/vxdbf/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>
#include <vexel/vexel.hpp>

#include "tools/vxdbf/progress.h"

namespace vx::tool {

CLI::App& Commands::Add(CommandEntry entry) {
  CLI::App* command = app_.add_subcommand(entry.name, entry.purpose);
  command->footer("Example:\n  " + entry.example);
  entries_.push_back(std::move(entry));
  return *command;
}

std::string Commands::Overview() const {
  std::string text;
  for (const CommandEntry& entry : entries_) {
    text += (text.empty() ? "usage: vxdbf " : "       vxdbf ") + entry.name + " " + entry.synopsis +
            "\n";
  }
  return text +
         "       vxdbf --version\n"
         "Every command takes --help for its options and an example.\n"
         "Editing commands open the table shared; --exclusive opens it for exclusive use, and\n"
         "--retries N and --wait S set how often and how long a refused lock is tried again.\n"
         "Text is UTF-8; a table's text is in the code page of its language driver mark, else\n"
         "in the OEM (DOS) page, or the Windows page with --ansi; --codepage N says which.\n"
         "Exit status: 0 done, 1 engine error or a file that is missing or no table (locate,\n"
         "seek: no hit), 2 usage or a refused request, 3 lock refused, 4 check and locktest\n"
         "found a problem; the man page lists them per command.\n";
}

namespace {

// The exit statuses of every command, in one table (the man page prints it). Every command may
// end with 0 (done), 1 (the engine failed: a file that is missing, is a folder or is no table,
// a file that cannot be read) and 2 (usage: arguments, options or an expression that does not
// compile; a value or an edit the table refuses); what else a command answers, and what a
// status means for it in particular, is here.
struct CommandStatuses {
  const char* name;
  const char* statuses;
};
constexpr CommandStatuses kCommandStatuses[] = {
    {"info", "0 1 2; several tables: the highest"},
    {"dump", "0 1 2 3; 1 also after printing every readable record (a memo that cannot be read, "
             "a file cut short, a missing memo file)"},
    {"create", "0 1 2 3 (--overwrite while another program has the table open)"},
    {"append", "0 1 2 3"},
    {"set", "0 1 2 3"},
    {"delete", "0 1 2 3"},
    {"recall", "0 1 2 3"},
    {"locate", "0 1 (no record found) 2"},
    {"memo", "0 1 2 3"},
    {"packmemo", "0 1 2 3"},
    {"sample", "0 1 2"},
    {"codepage", "0 1 2 3 (--set)"},
    {"list", "0 1 2"},
    {"eval", "0 1 2"},
    {"tags", "0 1 (also: a tag that cannot be read; the others are listed) 2; several tables: "
             "the highest"},
    {"seek", "0 1 (no record found) 2"},
    {"index", "0 1 2 3"},
    {"reindex", "0 1 2 3"},
    {"check", "0 1 2 3 (--repair) 4 (a problem found, also one --repair did not mend); several "
              "tables: the highest"},
    {"pack", "0 1 2 3"},
    {"zap", "0 1 2 3"},
    {"copy", "0 1 2 3"},
    {"alter", "0 1 2 3"},
    {"locktest", "0 1 2 4 (a check failed)"},
    {"sql", "0 1 (also: --dir left out a file that is no table; the others were queried) 2 3"},
    {"export", "0 1 (also: a table that cannot be opened was left out; the others were copied) 2 "
               "3"},
    {"completion", "0 2"},
    {"man", "0 2"},
};

}  // namespace

std::string Commands::StatusesOf(const std::string& name) const {
  for (const CommandStatuses& entry : kCommandStatuses) {
    if (name == entry.name) return entry.statuses;
  }
  // A command added without its line in the table: the man page would be incomplete.
  throw std::logic_error("no exit statuses for the command " + name);
}

std::string Commands::UsageOf(const std::string& name) const {
  for (const CommandEntry& entry : entries_) {
    if (entry.name == name) {
      return "usage: vxdbf " + entry.name + " " + entry.synopsis + "\n" + "(vxdbf " + entry.name +
             " --help shows its options and an example)\n";
    }
  }
  return Overview();
}

bool Commands::Has(const std::string& name) const {
  for (const CommandEntry& entry : entries_) {
    if (entry.name == name) return true;
  }
  return false;
}

const CommandEntry& Commands::Chosen() const {
  const std::string name = app_.get_subcommands().at(0)->get_name();
  for (const CommandEntry& entry : entries_) {
    if (entry.name == name) return entry;
  }
  throw UsageError{"no command"};
}

namespace {

// The tables FILE arguments name: a folder stands for its .dbf files, in name order.
std::vector<std::string> ExpandTables(const std::vector<std::string>& arguments) {
  std::vector<std::string> tables;
  for (const std::string& argument : arguments) {
    if (const auto names = vexel::table_files(argument)) {
      const std::string dir = argument.ends_with('/') ? argument : argument + "/";
      for (const std::string& name : *names) tables.push_back(dir + name);
      continue;
    }
    tables.push_back(argument);
  }
  return tables;
}

}  // namespace

void Commands::AllowSeveralFiles(const std::string& name) {
  CLI::App* command = app_.get_subcommand(name);
  command->remove_option(command->get_option("FILE"));
  command->add_option("FILE", options_.files, "tables, or folders of tables (one result each)")
      ->required()
      ->expected(1, -1);
  for (CommandEntry& entry : entries_) {
    if (entry.name != name) continue;
    entry.synopsis = "FILE|DIR... " + entry.synopsis.substr(entry.synopsis.find(' ') + 1);
    CommandRunner single = entry.run;
    entry.run = [single](const Options& o, const Streams& io) {
      const std::vector<std::string> tables = ExpandTables(o.files);
      if (tables.empty()) throw InputError{"no table (.dbf) in " + o.files.front()};
      int status = 0;
      for (const std::string& table : tables) {
        Options one = o;
        one.file = table;
        if (tables.size() == 1) return single(one, io);
        io.out << (&table == &tables.front() ? "" : "\n") << "==> " << table << " <==\n";
        try {
          status = std::max(status, single(one, io));
        } catch (const InputError& e) {
          io.err << "vxdbf: " << table << ": " << e.message << "\n";
          status = std::max(status, 2);
        } catch (const LockRefused& e) {
          io.err << "vxdbf: " << table << ": " << e.message << "\n";
          status = std::max(status, 3);
        } catch (const vexel::InputError& e) {
          io.err << "vxdbf: " << table << ": " << Worded(e) << "\n";
          status = std::max(status, 2);
        } catch (const vexel::LockError& e) {
          io.err << "vxdbf: " << table << ": " << Worded(e) << "\n";
          status = std::max(status, 3);
        } catch (const vexel::Error& e) {
          io.err << "vxdbf: " << table << ": " << Worded(e) << "\n";
          status = std::max(status, 1);
        } catch (const std::exception& e) {  // the engine's errors name the table themselves
          io.err << e.what() << "\n";
          status = std::max(status, 1);
        }
      }
      return status;
    };
  }
}

std::string Commands::BashCompletion() const {
  std::string commands;
  std::string cases;
  for (const CommandEntry& entry : entries_) {
    commands += (commands.empty() ? "" : " ") + entry.name;
    std::string flags = "--help";
    for (const CLI::Option* option : app_.get_subcommand(entry.name)->get_options()) {
      if (option->get_group().empty()) continue;  // hidden
      for (const std::string& flag : option->get_lnames()) {
        if (flag != "help") flags += " --" + flag;
      }
    }
    cases += "    " + entry.name + ") opts=\"" + flags + "\" ;;\n";
  }
  return "# bash completion for vxdbf, made by `vxdbf completion`\n"
         "_vxdbf() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} opts\n"
         "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         "    COMPREPLY=($(compgen -W \"" +
         commands +
         " --help --version\" -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  case ${COMP_WORDS[1]} in\n" +
         cases +
         "  esac\n"
         "  if [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _vxdbf vxdbf\n";
}

namespace {

// roff: a backslash is escaped, a minus is a hyphen-minus, and a line that begins with a dot or
// a quote would start a request.
std::string Roff(const std::string& text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    line_start = c == '\n';
  }
  return out;
}

// The manual's own text (manual.md): general sections ("## Title"), then one section per
// command ("### name"); the comment at its top is left out.
struct ManualText {
  std::vector<std::pair<std::string, std::string>> general;
  std::vector<std::pair<std::string, std::string>> commands;
};

ManualText ParseManual(std::string_view text) {
  if (text.starts_with("<!--")) {
    const std::size_t end = text.find("-->");
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 3);
  }
  ManualText manual;
  std::vector<std::pair<std::string, std::string>>* into = nullptr;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (line.starts_with("### ") || line.starts_with("## ")) {
      into = line.starts_with("### ") ? &manual.commands : &manual.general;
      into->emplace_back(std::string(line.substr(line.find(' ') + 1)), std::string());
    } else if (into != nullptr) {
      into->back().second.append(line).append("\n");
    }
  }
  for (auto* sections : {&manual.general, &manual.commands}) {
    for (auto& [title, body] : *sections) {
      body.erase(0, body.find_first_not_of('\n'));
      body.erase(body.find_last_not_of('\n') + 1);
    }
  }
  return manual;
}

// Markdown paragraphs and bullets as roff: `code` in bold, [text](link) as its text.
std::string RoffFromMarkdown(const std::string& markdown) {
  std::string plain;
  for (std::size_t i = 0; i < markdown.size(); ++i) {
    const char c = markdown[i];
    if (c == '`') {
      const std::size_t end = markdown.find('`', i + 1);
      if (end != std::string::npos) {
        plain += "\x01" + markdown.substr(i + 1, end - i - 1) + "\x02";
        i = end;
        continue;
      }
    } else if (c == '[') {
      const std::size_t close = markdown.find("](", i);
      const std::size_t end = close == std::string::npos ? close : markdown.find(')', close);
      if (end != std::string::npos && markdown.find('\n', i) > close) {
        plain += markdown.substr(i + 1, close - i - 1);
        i = end;
        continue;
      }
    }
    plain += c;
  }
  std::string out;
  std::size_t pos = 0;
  bool paragraph = true;
  while (pos <= plain.size()) {
    std::size_t eol = plain.find('\n', pos);
    if (eol == std::string::npos) eol = plain.size();
    std::string line = plain.substr(pos, eol - pos);
    pos = eol + 1;
    const std::size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos) {
      paragraph = true;
      continue;
    }
    if (line.compare(indent, 2, "- ") == 0) {
      out += indent == 0 ? ".IP \\(bu 2\n" : ".IP \\(bu 4\n";
      line.erase(0, indent + 2);
    } else {
      if (paragraph) out += ".PP\n";
      line.erase(0, indent);
    }
    paragraph = false;
    std::string roff = Roff(line);
    for (std::size_t at; (at = roff.find('\x01')) != std::string::npos;) roff.replace(at, 1, "\\fB");
    for (std::size_t at; (at = roff.find('\x02')) != std::string::npos;) roff.replace(at, 1, "\\fR");
    out += roff + "\n";
  }
  return out;
}

const std::string* SectionOf(const ManualText& manual, const std::string& name) {
  for (const auto& [title, body] : manual.commands) {
    if (title == name) return &body;
  }
  return nullptr;
}

// A section of the manual that names no command would never be printed: a renamed command
// must take its section along.
void CheckManualNamesCommands(const ManualText& manual, const std::vector<CommandEntry>& entries) {
  for (const auto& [title, body] : manual.commands) {
    if (std::none_of(entries.begin(), entries.end(),
                     [&](const CommandEntry& e) { return e.name == title; })) {
      throw std::logic_error("manual.md has a section for \"" + title + "\", which is no command");
    }
  }
}

}  // namespace

std::string Commands::ManPage() const {
  const ManualText manual = ParseManual(kManualText);
  CheckManualNamesCommands(manual, entries_);
  std::string page =
      ".TH VXDBF 1 \"\" \"vxdbf\" \"User Commands\"\n"
      ".SH NAME\nvxdbf \\- inspect, dump, create, edit and maintain dBASE tables\n"
      ".SH SYNOPSIS\n";
  for (const CommandEntry& entry : entries_) {
    page += ".B vxdbf " + Roff(entry.name) + "\n" + Roff(entry.synopsis) + "\n.br\n";
  }
  page += ".SH DESCRIPTION\n";
  const std::string overview = Overview();
  const std::size_t notes = overview.find("Every command");
  page += Roff(overview.substr(notes == std::string::npos ? 0 : notes)) + "\n";
  for (const auto& [title, body] : manual.general) {
    std::string heading = title;
    std::transform(heading.begin(), heading.end(), heading.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    page += ".SH " + Roff(heading) + "\n" + RoffFromMarkdown(body);
  }
  page += ".SH COMMANDS\n";
  for (const CommandEntry& entry : entries_) {
    page += ".SS " + Roff(entry.name) + "\n" + Roff(entry.purpose) + "\n";
    if (const std::string* text = SectionOf(manual, entry.name)) page += RoffFromMarkdown(*text);
    for (const CLI::Option* option : app_.get_subcommand(entry.name)->get_options()) {
      if (option->get_group().empty() || option->get_lnames().empty() ||
          option->get_lnames().front() == "help") {
        continue;  // hidden, positional, or the --help every command has
      }
      page += ".TP\n.B \\-\\-" + Roff(option->get_lnames().front()) + "\n" +
              Roff(option->get_description()) + "\n";
    }
    page += ".PP\nExample:\n.nf\n" + Roff(entry.example) + "\n.fi\n";
  }
  page += ".SH EXIT STATUS\n"
          ".TP\n.B 0\ndone\n"
          ".TP\n.B 1\nthe engine failed: a file that is missing, a folder or no table, a file "
          "that cannot be read or written; for some commands also a result (below)\n"
          ".TP\n.B 2\nusage: arguments, options or an expression that does not compile; a "
          "value or an edit the table refuses (nothing is written)\n"
          ".TP\n.B 3\na lock another program holds, still refused after the retries (nothing "
          "is written)\n"
          ".TP\n.B 4\ncheck found a problem, locktest a failed check\n"
          ".PP\nPer command:\n";
  for (const CommandEntry& entry : entries_) {
    page += ".TP\n.B " + Roff(entry.name) + "\n" + Roff(StatusesOf(entry.name)) + "\n";
  }
  return page;
}

std::string Commands::Markdown() const {
  const ManualText manual = ParseManual(kManualText);
  CheckManualNamesCommands(manual, entries_);
  const std::string overview = Overview();
  std::string page =
      "# vxdbf — the command-line tool\n\n"
      "<!-- Made by `vxdbf man --markdown` (scripts/make-docs.sh) from vxdbf's command "
      "definitions and tools/vxdbf/manual.md: edit those, not this file. -->\n\n"
      "```\n" +
      overview.substr(0, overview.find("Every command")) + "```\n\n";
  for (const auto& [title, body] : manual.general) page += "## " + title + "\n\n" + body + "\n\n";
  page += "## Commands\n";
  for (const CommandEntry& entry : entries_) {
    page += "\n### " + entry.name + "\n\n```\nvxdbf " + entry.name + " " + entry.synopsis +
            "\n```\n\n" + entry.purpose + "\n\n";
    if (const std::string* text = SectionOf(manual, entry.name)) page += *text + "\n\n";
    std::string options;
    for (const CLI::Option* option : app_.get_subcommand(entry.name)->get_options()) {
      if (option->get_group().empty() || option->get_lnames().empty() ||
          option->get_lnames().front() == "help") {
        continue;  // hidden, positional, or the --help every command has
      }
      options += "- `--" + option->get_lnames().front() + "`: " + option->get_description() + "\n";
    }
    if (!options.empty()) page += "Options:\n\n" + options + "\n";
    page += "Example:\n\n```\n" + entry.example + "\n```\n\nExit status: " +
            StatusesOf(entry.name) + "\n";
  }
  return page;
}

void AddFileArgument(CLI::App& command, Options& o) {
  command.add_option("FILE", o.file, "the table (.dbf)")->required();
}

void AddRecordArgument(CLI::App& command, Options& o) {
  // Digits only: a blank, a sign or a base prefix is no record number. Leading zeros go before
  // the conversion, which would read them as an octal prefix.
  const CLI::Validator digits(
      [](std::string& text) -> std::string {
        const std::string refusal = "must be a record number, not " + Quoted(text);
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
          return refusal;
        }
        text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
        if (text.size() > 10 || std::stoll(text) < 1 || std::stoll(text) > 0x7FFFFFFF) {
          return refusal;
        }
        return {};
      },
      "RECORD NUMBER");
  command.add_option("RECNO", o.record, "the record number, from 1")->required()->check(digits);
}

void AddArguments(CLI::App& command, Options& o, const std::string& name,
                  const std::string& description, int count) {
  command.add_option(name, o.arguments, description)->required()->expected(count);
}

CLI::Option* AddCodePageOption(CLI::App& command, const std::string& name, int& page,
                               const std::string& description) {
  return command.add_option(name, page, description)
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            if (text.empty() || text.size() > 5 ||
                text.find_first_not_of("0123456789") != std::string::npos ||
                !vexel::codepage_available(std::stoi(text))) {
              return "wants a code page this system converts (437, 850, 852, 866, 1250, "
                     "1251, 1252, ...), not " +
                     Quoted(text);
            }
            text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
            return {};
          },
          "PAGE"));
}

void AddTextOptions(CLI::App& command, Options& o) {
  AddCodePageOption(command, "--codepage", o.codepage,
                    "the code page of the table's text, whatever its language driver mark says");
  command.add_flag("--ansi", o.ansi,
                   "a table without a mark holds Windows (ANSI) text, not DOS (OEM) text");
  command.add_flag("--lossy", o.lossy,
                   "text that does not convert becomes \"?\" (counted on standard error) "
                   "instead of an error");
}

void AddSharingOptions(CLI::App& command, Options& o) {
  command.add_flag("--exclusive", o.exclusive, "open the table for exclusive use");
  command.add_option("--retries", o.retries, "how often a refused lock is tried again")
      ->check(CLI::Range(0, 255));
  command
      .add_option("--wait", o.wait_seconds,
                  "seconds between two tries of a refused lock (decimals allowed: 0.05)")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            char* end = nullptr;
            const double seconds = std::strtod(text.c_str(), &end);
            // The comparison also refuses "nan", which compares false with everything.
            if (text.empty() || *end != '\0' || !(seconds >= 0 && seconds <= 255)) {
              return "wants seconds from 0 to 255, not " + Quoted(text);
            }
            return {};
          },
          "SECONDS"));
}

void AddIndexOption(CLI::App& command, Options& o) {
  command.add_flag("--ignore-index", o.ignore_index,
                   "edit although the table's production index will then be stale");
}

void AddNdxOption(CLI::App& command, Options& o, const std::string& description) {
  command.add_option("--index", o.ndx_files, description)->delimiter(',');
}

void AddFormatOption(CLI::App& command, Options& o, const std::string& description) {
  command.add_option("--format", o.format, description)
      ->check(CLI::IsMember({"csv", "jsonl"}))
      ->default_str("csv");
}

std::string Shortened(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // Back to the first byte of a UTF-8 sequence (continuation bytes are 10xxxxxx).
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

std::string Quoted(std::string_view text) { return "\"" + Shortened(text, 60) + "\""; }

std::string OptionWords(vexel::Remedy remedy) {
  switch (remedy) {
    case vexel::Remedy::other_code_page:
      return "--codepage N";
    case vexel::Remedy::lossy:
      return "--lossy";
    case vexel::Remedy::ignore_index:
      return "--ignore-index";
    case vexel::Remedy::repair:
      return "vxdbf check --repair";
    case vexel::Remedy::check:
      return "vxdbf check";
    case vexel::Remedy::overwrite:
      return "--overwrite";
    case vexel::Remedy::repair_ndx:
      return "vxdbf check --index FILE.NDX --repair";
    case vexel::Remedy::reindex:
      return "vxdbf reindex";
    case vexel::Remedy::add_tag:
      return "vxdbf index";
    case vexel::Remedy::build_ndx:
      return "vxdbf index --ndx";
  }
  return vexel::remedy_words(remedy);
}

std::string Worded(const vexel::Error& e) {
  return vexel::advised(e.fault(), e.advice(), OptionWords);
}

vexel::OpenOptions OpenOptionsOf(const Options& o, std::ostream& err) {
  vexel::OpenOptions options;
  options.mode = o.exclusive ? vexel::OpenMode::exclusive : vexel::OpenMode::shared;
  options.lock_retries = o.retries;
  // Whole milliseconds, at least 1 for a pause that asked for any.
  options.lock_wait_ms =
      o.wait_seconds > 0 ? std::max(1, static_cast<int>(std::lround(o.wait_seconds * 1000))) : 0;
  options.ignore_index = o.ignore_index;
  options.ndx_files.assign(o.ndx_files.begin(), o.ndx_files.end());
  options.codepage = o.codepage;
  options.ansi = o.ansi;
  options.lossy = o.lossy;
  options.warn = [&err](const vexel::Warning& w) {
    err << "vxdbf: " << vexel::advised(w.fault, w.advice, OptionWords) << "\n";
  };
  options.progress = TerminalProgress(err);
  return options;
}

}  // namespace vx::tool
