#include "engine/table/language_driver.h"

#include <algorithm>
#include <cctype>

#include "engine/table/dbf_file.h"
#include "platform/os/codepage.h"

namespace vx {

namespace {

// The language driver ids that xBase writers put at offset 29 and the page each one means.
// Several ids share a page: they differ in the sort order of their language, which does not
// change how the text decodes.
//
// Source of truth: Microsoft's Visual FoxPro documentation ("Code Pages Supported by Visual
// FoxPro", the code page identifiers of the table header) for the ids FoxPro writes, 0x01-0x04,
// 0x64-0x6C, 0x78-0x7E, 0x96-0x98 and 0xC8-0xCB, and the dBASE IV/5 language driver list for the
// country drivers 0x08-0x59, 0x86-0x88 and 0xCC. Two ids are easy to get wrong and some
// libraries swap them: 0x65 is 866 (Russian MS-DOS) and 0x66 is 865 (Nordic MS-DOS), as Visual
// FoxPro documents them. Mazovia and Kamenický carry Visual FoxPro's numbers 620 and 895 (other
// lists call Kamenický 867 and Mazovia 667 or 790).
const std::vector<LanguageDriver> kDrivers = {
    {0x01, 437, "U.S. MS-DOS"},
    {0x02, 850, "International MS-DOS"},
    {0x03, 1252, "Windows ANSI Latin I"},
    {0x04, 10000, "Standard Macintosh"},
    {0x08, 865, "Danish OEM"},
    {0x09, 437, "Dutch OEM"},
    {0x0A, 850, "Dutch OEM (secondary)"},
    {0x0B, 437, "Finnish OEM"},
    {0x0D, 437, "French OEM"},
    {0x0E, 850, "French OEM (secondary)"},
    {0x0F, 437, "German OEM"},
    {0x10, 850, "German OEM (secondary)"},
    {0x11, 437, "Italian OEM"},
    {0x12, 850, "Italian OEM (secondary)"},
    {0x13, 932, "Japanese Shift-JIS"},
    {0x14, 850, "Spanish OEM (secondary)"},
    {0x15, 437, "Swedish OEM"},
    {0x16, 850, "Swedish OEM (secondary)"},
    {0x17, 865, "Norwegian OEM"},
    {0x18, 437, "Spanish OEM"},
    {0x19, 437, "English OEM (Great Britain)"},
    {0x1A, 850, "English OEM (Great Britain, secondary)"},
    {0x1B, 437, "English OEM (U.S.)"},
    {0x1C, 863, "French OEM (Canada)"},
    {0x1D, 850, "French OEM (secondary)"},
    {0x1F, 852, "Czech OEM"},
    {0x22, 852, "Hungarian OEM"},
    {0x23, 852, "Polish OEM"},
    {0x24, 860, "Portuguese OEM"},
    {0x25, 850, "Portuguese OEM (secondary)"},
    {0x26, 866, "Russian OEM"},
    {0x37, 850, "English OEM (U.S., secondary)"},
    {0x40, 852, "Romanian OEM"},
    {0x4D, 936, "Chinese GBK (PRC)"},
    {0x4E, 949, "Korean (ANSI/OEM)"},
    {0x4F, 950, "Chinese Big5 (Taiwan)"},
    {0x50, 874, "Thai (ANSI/OEM)"},
    {0x57, 1252, "ANSI (the writer's page; read as Latin I)"},
    {0x58, 1252, "Western European ANSI"},
    {0x59, 1252, "Spanish ANSI"},
    {0x64, 852, "Eastern European MS-DOS"},
    {0x65, 866, "Russian MS-DOS"},
    {0x66, 865, "Nordic MS-DOS"},
    {0x67, 861, "Icelandic MS-DOS"},
    {0x68, 895, "Kamenicky (Czech) MS-DOS"},
    {0x69, 620, "Mazovia (Polish) MS-DOS"},
    {0x6A, 737, "Greek MS-DOS"},
    {0x6B, 857, "Turkish MS-DOS"},
    {0x6C, 863, "French-Canadian MS-DOS"},
    {0x78, 950, "Taiwan Big5"},
    {0x79, 949, "Hangul (Wansung)"},
    {0x7A, 936, "PRC GBK"},
    {0x7B, 932, "Japanese Shift-JIS"},
    {0x7C, 874, "Thai Windows/MS-DOS"},
    {0x7D, 1255, "Hebrew Windows"},
    {0x7E, 1256, "Arabic Windows"},
    {0x86, 737, "Greek OEM"},
    {0x87, 852, "Slovenian OEM"},
    {0x88, 857, "Turkish OEM"},
    {0x96, 10007, "Russian Macintosh"},
    {0x97, 10029, "Eastern European Macintosh"},
    {0x98, 10006, "Greek Macintosh"},
    {0xC8, 1250, "Eastern European Windows"},
    {0xC9, 1251, "Russian Windows"},
    {0xCA, 1254, "Turkish Windows"},
    {0xCB, 1253, "Greek Windows"},
    {0xCC, 1257, "Baltic Windows"},
};

// The mark written for a page: the driver that names the page without a language of its own.
constexpr struct {
  int page;
  std::uint8_t id;
} kPlainDrivers[] = {
    {437, 0x01},  {850, 0x02},  {1252, 0x03}, {865, 0x66},  {932, 0x7B},  {863, 0x6C},
    {852, 0x64},  {860, 0x24},  {866, 0x65},  {936, 0x7A},  {949, 0x79},  {950, 0x78},
    {874, 0x7C},  {861, 0x67},  {737, 0x6A},  {857, 0x6B},  {1255, 0x7D}, {1256, 0x7E},
    {1250, 0xC8}, {1251, 0xC9}, {1254, 0xCA}, {1253, 0xCB}, {1257, 0xCC}, {895, 0x68},
    {620, 0x69},  {10000, 0x04}, {10007, 0x96}, {10029, 0x97}, {10006, 0x98},
};

// Level 7 names: "DB" + the DOS page + country + version for DOS pages, "DBWIN" + country for
// the Windows page.
constexpr int kDosPagesInNames[] = {437, 737, 850, 852, 857, 860, 861, 863, 865, 866};
constexpr const char* kWindowsNames[] = {"DBWINUS0", "DBWINWE0", "DBWINES0"};
constexpr struct {
  int page;
  const char* name;
} kNamesWritten[] = {
    {437, "DB437US0"}, {850, "DB850US0"}, {852, "DB852HDC"}, {866, "DB866RU0"}, {1252, "DBWINWE0"},
};

}  // namespace

const LanguageDriver* FindLanguageDriver(std::uint8_t id) {
  const auto it =
      std::lower_bound(kDrivers.begin(), kDrivers.end(), id,
                       [](const LanguageDriver& d, std::uint8_t key) { return d.id < key; });
  return it != kDrivers.end() && it->id == id ? &*it : nullptr;
}

std::optional<std::uint8_t> LanguageDriverForCodePage(int page) {
  for (const auto& plain : kPlainDrivers) {
    if (plain.page == page) return plain.id;
  }
  return std::nullopt;
}

const std::vector<LanguageDriver>& LanguageDrivers() { return kDrivers; }

int CodePageOfDriverName(std::string_view name) {
  std::string upper;
  for (const char c : name) {
    if (c == '\0') break;
    upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  for (const char* windows : kWindowsNames) {
    if (upper == windows) return 1252;
  }
  if (upper.size() == 8 && upper.compare(0, 2, "DB") == 0 &&
      std::all_of(upper.begin() + 2, upper.begin() + 5,
                  [](char c) { return c >= '0' && c <= '9'; })) {
    const int page = std::stoi(upper.substr(2, 3));
    for (const int dos : kDosPagesInNames) {
      if (dos == page) return page;
    }
  }
  return 0;
}

std::string DriverNameForCodePage(int page) {
  for (const auto& written : kNamesWritten) {
    if (written.page == page) return written.name;
  }
  return {};
}

int MarkedCodePage(const TableRecord& table) {
  int page = CodePageOfDriverName(table.driver_name);
  if (page == 0 && !table.IsDbase2()) {
    const std::uint8_t id = table.header[kLanguageDriverOffset];
    const LanguageDriver* driver = FindLanguageDriver(id);
    if (driver != nullptr && !(id == kWriterAnsiDriver && table.cpg.page != 0)) {
      page = driver->code_page;
    }
  }
  return page != 0 && os::CodePageAvailable(page) ? page : table.cpg.page;
}

int TableCodePage(const TableRecord& table) {
  if (table.code_page != 0) return table.code_page;
  return table.oem ? os::OemCodePage() : os::AnsiCodePage();
}

}  // namespace vx
