#include "engine/table/code_page_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <span>

#include "engine/foundation/strings.h"
#include "engine/table/dbf_file.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"

namespace vx {

namespace {

bool AllDigits(std::string_view text) {
  return !text.empty() && text.size() <= 5 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "8859-1", "8859_15", "88591", "885915" (after an "ISO" prefix is gone): the part number, or 0.
int Iso8859Part(std::string_view text) {
  if (!StartsWith(text, "8859")) return 0;
  text.remove_prefix(4);
  if (!text.empty() && (text.front() == '-' || text.front() == '_' || text.front() == ' ')) {
    text.remove_prefix(1);
  }
  if (!AllDigits(text) || text.size() > 2) return 0;
  const int part = std::stoi(std::string(text));
  return part >= 1 && part <= 16 ? part : 0;
}

}  // namespace

int CodePageOfCpgText(std::string_view raw) {
  // Upper case, without blanks around it or a byte order mark before it.
  if (StartsWith(raw, "\xEF\xBB\xBF")) raw.remove_prefix(3);
  std::string text;
  for (const char c : raw) {
    if (c == '\r' || c == '\n' || c == '\0') break;
    text += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  std::string_view name = text;
  while (!name.empty() && blank(name.front())) name.remove_prefix(1);

  constexpr struct {
    std::string_view name;
    int page;
  } kNames[] = {
      {"UTF-8", os::kUtf8Page}, {"UTF8", os::kUtf8Page},  {"LATIN1", 28591},
      {"BIG5", 950},            {"BIG-5", 950},           {"GBK", 936},
      {"GB2312", 936},          {"SJIS", 932},            {"SHIFT_JIS", 932},
      {"SHIFT-JIS", 932},       {"EUC-KR", 949},          {"KOI8-R", 20866},
      {"KOI8R", 20866},         {"KOI8-U", 21866},        {"KOI8U", 21866},
  };
  for (const auto& known : kNames) {
    if (name == known.name) return known.page;
  }
  // "ANSI 1251", "OEM 866", "CP1251", "CP 1251", "WINDOWS-1251", "IBM866", "ISO 88591",
  // "ISO-8859-1", or the plain number.
  for (const std::string_view prefix : {"WINDOWS-", "WINDOWS", "ANSI", "OEM", "CP", "IBM", "MS"}) {
    if (StartsWith(name, prefix)) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  if (StartsWith(name, "ISO")) {
    name.remove_prefix(3);
    if (!name.empty() && (name.front() == '-' || name.front() == '_')) name.remove_prefix(1);
  }
  while (!name.empty() && (blank(name.front()) || name.front() == '-' || name.front() == '_')) {
    name.remove_prefix(1);
  }
  if (const int part = Iso8859Part(name); part != 0) return 28590 + part;
  if (!AllDigits(name)) return 0;
  const int page = std::stoi(std::string(name));
  return page > 0 && page <= 65535 ? page : 0;
}

std::string CpgTextForPage(int page) {
  if (page == os::kUtf8Page) return "UTF-8";
  if (page > 28590 && page <= 28606) return "8859" + std::to_string(page - 28590);
  return std::to_string(page);
}

CpgFile ReadCpgFile(const std::string& table_file) {
  CpgFile cpg;
  const std::string name = DerivedFileName(table_file, "CPG");
  if (!os::FileExists(name)) return cpg;
  os::File file;
  cpg.path = os::ResolvePath(name);
  // A directory or a device is no .cpg: Open takes regular files only.
  if (const int code = os::File::Open(name, os::kOpenReadOnlyDenyNone, file); code != 0) {
    cpg.problem = "it cannot be read (error " + std::to_string(code) + ")";
    return cpg;
  }
  std::array<std::byte, kMaxCpgSize + 1> bytes{};
  std::size_t got = 0;
  if (file.ReadAt(0, bytes, got) != 0) {
    cpg.problem = "it cannot be read";
    return cpg;
  }
  if (got > kMaxCpgSize) {
    cpg.problem = "it is larger than " + std::to_string(kMaxCpgSize) + " bytes";
    return cpg;
  }
  for (std::size_t i = 0; i < got; ++i) {
    const char c = static_cast<char>(bytes[i]);
    if (c == '\r' || c == '\n' || c == '\0') break;
    cpg.text += c;
  }
  const int page = CodePageOfCpgText(cpg.text);
  // Shown to the user as it reads: printable, and short.
  std::string shown;
  for (const char c : cpg.text.substr(0, 40)) {
    shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  }
  cpg.text = shown;
  if (page == 0) {
    cpg.problem = "\"" + shown + "\" names no code page";
  } else if (!os::CodePageAvailable(page)) {
    cpg.problem = "\"" + shown + "\" names code page " + std::to_string(page) +
                  ", which this system cannot convert";
  } else {
    cpg.page = page;
  }
  return cpg;
}

int WriteCpgFile(const std::string& table_file, int page, std::string& path) {
  const std::string name = DerivedFileName(table_file, "CPG");
  path = os::ResolvePath(name);
  const PathParts parts = SplitPath(path);
  std::string temp;
  os::File file;
  // In the same folder, so that the rename stays on one file system.
  const std::string dir = parts.dir.empty() ? "./" : parts.dir;
  int code = os::CreateUniqueFile(dir, parts.name + ".cpg-", "TMP", temp, file);
  if (code != 0) return code;
  // One line without an end, as GIS programs write it.
  const std::string text = CpgTextForPage(page);
  code = file.WriteAt(0, std::as_bytes(std::span(text.data(), text.size())));
  if (code == 0) code = file.Flush();
  // As readable as the table; a file this user may not give away keeps its own owner.
  if (code == 0) os::TakeModeAndOwner(table_file, file);
  const int closed = file.Close();
  if (code == 0) code = closed;
  if (code == 0) code = os::RenameFile(temp, path);
  if (code != 0) {
    os::DeleteFile(temp);
    return code;
  }
  os::SyncDirectoryOf(path);
  return 0;
}

}  // namespace vx
