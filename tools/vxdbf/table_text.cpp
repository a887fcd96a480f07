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

CodePageChoice ChooseCodePage(const TableMark& mark, const Options& o) {
  CodePageChoice choice = ChooseTableCodePage(mark, o.codepage, "--codepage", o.ansi);
  if (o.codepage == 0 && o.ansi) choice.reason += " (--ansi)";
  if (!choice.warning.empty()) choice.warning += " (--codepage N chooses another)";
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
  CheckCodePageMark(page, false);
  std::uint8_t id = 0;
  std::string why;
  switch (WriteTableMark(file, page, id, why)) {
    case MarkWrite::kWritten:
      return id;
    case MarkWrite::kNoDriver:
    case MarkWrite::kNoDriverName:
      CheckCodePageMark(page, true);
      break;
    case MarkWrite::kDbase2:
      throw InputError{file + " is a dBASE II table: it has no language driver byte"};
    case MarkWrite::kLocked:
      throw LockRefused{file + " cannot be opened for exclusive use (" + why +
                        "): another program may have it open"};
    case MarkWrite::kChanged:
      throw DataError{file + " changed while its mark was being written; nothing was written"};
    case MarkWrite::kFailed:
      break;
  }
  throw DataError{"writing the mark into " + file + " failed (" + why + ")"};
}

}  // namespace vx::tool
