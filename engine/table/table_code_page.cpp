#include "engine/table/table_code_page.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <span>

#include "engine/table/dbf_records.h"
#include "engine/table/language_driver.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"

namespace vx {

namespace {

std::string Hex(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

}  // namespace

TableMark ReadTableMark(const TableRecord& table) {
  TableMark mark;
  if (table.IsDbase2()) return mark;
  mark.cpg = table.cpg;
  mark.has_byte = true;
  mark.id = table.header[kLanguageDriverOffset];
  if (table.IsLevel7() && table.header_length >= kLevel7DriverNameOffset + kLevel7DriverNameSize) {
    std::array<std::byte, kLevel7DriverNameSize> name{};
    std::size_t got = 0;
    // The table's own handle: a second open could be refused by its sharing mode.
    auto& file = const_cast<os::File&>(table.file);
    if (file.ReadAt(kLevel7DriverNameOffset, name, got) == 0) {
      for (std::size_t i = 0; i < got && name[i] != std::byte{0}; ++i) {
        mark.driver_name += static_cast<char>(name[i]);
      }
    }
  }
  return mark;
}

std::string DescribeMark(const TableMark& mark) {
  if (!mark.has_byte) return "none (dBASE II)";
  std::string text = Hex(mark.id);
  if (mark.id == 0) {
    text += " (no mark)";
  } else if (const LanguageDriver* driver = FindLanguageDriver(mark.id); driver != nullptr) {
    text += " (" + std::string(driver->meaning) + ", code page " +
            std::to_string(driver->code_page) + ")";
  } else {
    text += " (unknown)";
  }
  if (!mark.driver_name.empty()) {
    const int page = CodePageOfDriverName(mark.driver_name);
    text += ", driver name " + mark.driver_name +
            (page != 0 ? " (code page " + std::to_string(page) + ")" : " (unknown)");
  }
  return text;
}

CodePageChoice ChooseTableCodePage(const TableMark& mark, int requested,
                                   const std::string& requested_by, bool ansi) {
  CodePageChoice choice;
  if (requested != 0) {
    choice.page = requested;
    choice.reason = requested_by;
    return choice;
  }
  // A level 7 table's readers go by its driver name; byte 29 is the mark of the others.
  if (const int page = CodePageOfDriverName(mark.driver_name); page != 0) {
    choice.page = page;
    choice.reason = "language driver " + mark.driver_name;
    return choice;
  }
  // 0x57 names no page of its own when a .cpg names one.
  const bool weak = mark.id == kWriterAnsiDriver && mark.cpg.page != 0;
  if (const LanguageDriver* driver = FindLanguageDriver(mark.id); driver != nullptr && !weak) {
    if (os::CodePageAvailable(driver->code_page)) {
      choice.page = driver->code_page;
      choice.reason = "language driver " + Hex(mark.id);
      return choice;
    }
    choice.warning = "language driver " + Hex(mark.id) + " names code page " +
                     std::to_string(driver->code_page) + ", which this system cannot convert";
  } else if (mark.id != 0 && !weak) {
    choice.warning = "language driver " + Hex(mark.id) + " is unknown";
  } else if (!mark.driver_name.empty()) {
    choice.warning = "language driver " + mark.driver_name + " is unknown";
  }
  const std::string cpg_name = mark.cpg.path.substr(mark.cpg.path.find_last_of('/') + 1);
  if (mark.cpg.page != 0) {
    choice.page = mark.cpg.page;
    choice.reason = ".cpg file " + cpg_name + " (" + mark.cpg.text + ")";
    if (!choice.warning.empty()) choice.reason += "; " + choice.warning;
    choice.warning.clear();
    return choice;
  }
  if (!mark.cpg.problem.empty()) {
    choice.warning += (choice.warning.empty() ? "" : "; ") + cpg_name + ": " + mark.cpg.problem;
  }
  choice.page = ansi ? os::AnsiCodePage() : os::OemCodePage();
  choice.reason = std::string(choice.warning.empty() ? "no mark" : "mark not usable") + ": the " +
                  (ansi ? "ANSI page" : "OEM page");
  if (!choice.warning.empty()) {
    choice.warning += "; the text is read as code page " + std::to_string(choice.page);
  }
  return choice;
}

MarkWrite WriteTableMark(const std::string& file, int page, std::uint8_t& id, std::string& why) {
  const std::optional<std::uint8_t> driver = LanguageDriverForCodePage(page);
  // A page no driver byte names goes into a .cpg file, and the mark is cleared so that it
  // does not name another page.
  if (!driver && !os::CodePageAvailable(page)) return MarkWrite::kNoDriver;
  id = driver.value_or(0);
  // Open as the engine would, to refuse what is not a table.
  TableRecord t;
  t.file_name = file;
  t.open_mode = os::kOpenReadOnlyDenyNone;
  OpenDbf(t);
  const bool dbase2 = t.IsDbase2();
  const bool level7 = t.IsLevel7();
  const std::uint8_t version = t.version();
  const bool has_cpg = !t.cpg.path.empty();
  CloseDbf(t);
  // A .cpg that names another page is rewritten too: some readers go by it before the mark.
  const auto write_cpg = [&](MarkWrite done) {
    if (driver && !has_cpg) return done;
    std::string written;
    if (const int code = WriteCpgFile(file, page, written); code != 0) {
      why = "error " + std::to_string(code) + " writing " + written;
      return MarkWrite::kFailed;
    }
    return driver ? done : MarkWrite::kCpgWritten;
  };
  if (dbase2) return driver ? MarkWrite::kDbase2 : write_cpg(MarkWrite::kCpgWritten);
  const std::string name = level7 ? DriverNameForCodePage(page) : std::string();
  if (level7 && name.empty()) return MarkWrite::kNoDriverName;
  os::File f;
  if (const int code = os::File::Open(file, os::kOpenReadWriteDenyAll, f); code != 0) {
    why = "error " + std::to_string(code);
    return MarkWrite::kLocked;
  }
  std::array<std::byte, kPrologueSize> prologue{};
  std::size_t got = 0;
  if (f.ReadAt(0, prologue, got) != 0 || got != prologue.size() ||
      static_cast<std::uint8_t>(prologue[0]) != version) {
    return MarkWrite::kChanged;
  }
  const std::byte mark{id};
  int code = f.WriteAt(kLanguageDriverOffset, std::span<const std::byte>(&mark, 1));
  if (code == 0 && level7) {
    std::array<std::byte, kLevel7DriverNameSize> padded{};
    for (std::size_t i = 0; i < name.size(); ++i) padded[i] = static_cast<std::byte>(name[i]);
    code = f.WriteAt(kLevel7DriverNameOffset, padded);
  }
  if (code == 0) code = f.Flush();
  const int close_code = f.Close();
  if (code == 0) code = close_code;
  if (code != 0) {
    why = "error " + std::to_string(code);
    return MarkWrite::kFailed;
  }
  return write_cpg(MarkWrite::kWritten);
}

}  // namespace vx
