#include "tools/vxdbf/table_text.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <ostream>

#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/language_driver.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"

namespace vx::tool {

namespace {

std::string Hex(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

// "byte 0x81", "bytes 0x93 0x7B": the input a fault stopped at.
std::string FaultBytes(std::string_view input, std::size_t offset, std::size_t length) {
  std::string text = length > 1 ? "bytes" : "byte";
  for (std::size_t i = offset; i < offset + length && i < input.size() && i < offset + 4; ++i) {
    text += " " + Hex(static_cast<std::uint8_t>(input[i]));
  }
  return text;
}

}  // namespace

TableMark ReadTableMark(const TableRecord& table) {
  TableMark mark;
  if (table.IsDbase2()) return mark;
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

CodePageChoice ChooseCodePage(const TableMark& mark, const Options& o) {
  CodePageChoice choice;
  if (o.codepage != 0) {
    choice.page = o.codepage;
    choice.reason = "--codepage";
    return choice;
  }
  // A level 7 table's readers go by its driver name; byte 29 is the mark of the others.
  if (const int page = CodePageOfDriverName(mark.driver_name); page != 0) {
    choice.page = page;
    choice.reason = "language driver " + mark.driver_name;
    return choice;
  }
  if (const LanguageDriver* driver = FindLanguageDriver(mark.id); driver != nullptr) {
    if (os::CodePageAvailable(driver->code_page)) {
      choice.page = driver->code_page;
      choice.reason = "language driver " + Hex(mark.id);
      return choice;
    }
    choice.warning = "language driver " + Hex(mark.id) + " names code page " +
                     std::to_string(driver->code_page) + ", which this system cannot convert";
  } else if (mark.id != 0) {
    choice.warning = "language driver " + Hex(mark.id) + " is unknown";
  } else if (!mark.driver_name.empty()) {
    choice.warning = "language driver " + mark.driver_name + " is unknown";
  }
  choice.page = o.ansi ? os::AnsiCodePage() : os::OemCodePage();
  choice.reason = std::string(choice.warning.empty() ? "no mark" : "mark not usable") + ": the " +
                  (o.ansi ? "ANSI page (--ansi)" : "OEM page");
  if (!choice.warning.empty()) {
    choice.warning += "; the text is read as code page " + std::to_string(choice.page) +
                      " (--codepage N chooses another)";
  }
  return choice;
}

TableText::TableText(const TableRecord& table, const Options& options, std::ostream& err)
    : lossy_(options.lossy) {
  const CodePageChoice choice = ChooseCodePage(ReadTableMark(table), options);
  if (!choice.warning.empty()) err << "vxdbf: " << choice.warning << "\n";
  page_ = choice.page;
}

std::string TableText::ToUtf8(std::string_view bytes, const std::string& where) {
  os::ConvertedText result =
      os::DecodeCodePage(page_, bytes, lossy_ ? os::OnFault::kReplace : os::OnFault::kStop);
  if (result.fault == os::TextFault::kNone || (lossy_ && result.replaced > 0)) {
    replaced_ += result.replaced;
    return std::move(result.text);
  }
  throw DataError{where + ": " + FaultBytes(bytes, result.fault_offset, result.fault_length) +
                  " at position " + std::to_string(result.fault_offset + 1) +
                  " is no character of code page " + std::to_string(page_) +
                  " (--codepage N reads another page; --lossy gives \"?\")"};
}

std::string TableText::FromUtf8(std::string_view utf8, const std::string& where) {
  os::ConvertedText result =
      os::EncodeCodePage(page_, utf8, lossy_ ? os::OnFault::kReplace : os::OnFault::kStop);
  if (result.fault == os::TextFault::kNone || (lossy_ && result.replaced > 0)) {
    replaced_ += result.replaced;
    return std::move(result.text);
  }
  if (result.fault == os::TextFault::kInvalidUtf8) {
    throw InputError{where + ": the text is not UTF-8 (" +
                     FaultBytes(utf8, result.fault_offset, result.fault_length) + " at position " +
                     std::to_string(result.fault_offset + 1) + ")"};
  }
  throw InputError{where + ": " + Quoted(utf8.substr(result.fault_offset, result.fault_length)) +
                   " has no place in code page " + std::to_string(page_) +
                   " (--lossy stores \"?\")"};
}

std::string TableText::Name(std::string_view utf8) const {
  return os::EncodeCodePage(page_, utf8, os::OnFault::kReplace).text;
}

void TableText::ReportReplacements(std::ostream& err) const {
  if (replaced_ == 0) return;
  err << "vxdbf: " << replaced_ << (replaced_ == 1 ? " character" : " characters")
      << " of code page " << page_ << " replaced by \"?\" (--lossy)\n";
}

void CheckCodePageMark(int page, bool level7) {
  if (!LanguageDriverForCodePage(page)) {
    throw InputError{"no language driver is known for code page " + std::to_string(page)};
  }
  if (level7 && DriverNameForCodePage(page).empty()) {
    throw InputError{"no level 7 language driver name is known for code page " +
                     std::to_string(page) + " (437, 850, 852, 866 and 1252 have one)"};
  }
}

std::uint8_t WriteCodePageMark(const std::string& file, int page) {
  const std::optional<std::uint8_t> id = LanguageDriverForCodePage(page);
  CheckCodePageMark(page, false);
  // Open as the engine would, to refuse what is not a table.
  TableRecord t;
  t.file_name = file;
  t.open_mode = os::kOpenReadOnlyDenyNone;
  OpenDbf(t);
  const bool dbase2 = t.IsDbase2();
  const bool level7 = t.IsLevel7();
  const std::uint8_t version = t.version();
  CloseDbf(t);
  if (dbase2) throw InputError{file + " is a dBASE II table: it has no language driver byte"};
  CheckCodePageMark(page, level7);
  const std::string name = level7 ? DriverNameForCodePage(page) : std::string();
  os::File f;
  if (const int code = os::File::Open(file, os::kOpenReadWriteDenyAll, f); code != 0) {
    throw LockRefused{file + " cannot be opened for exclusive use (error " + std::to_string(code) +
                      "): another program may have it open"};
  }
  std::array<std::byte, kPrologueSize> prologue{};
  std::size_t got = 0;
  if (f.ReadAt(0, prologue, got) != 0 || got != prologue.size() ||
      static_cast<std::uint8_t>(prologue[0]) != version) {
    throw DataError{file + " changed while its mark was being written; nothing was written"};
  }
  const std::byte mark{*id};
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
    throw DataError{"writing the mark into " + file + " failed (error " + std::to_string(code) +
                    ")"};
  }
  return *id;
}

}  // namespace vx::tool
