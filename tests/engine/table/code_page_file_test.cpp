// The .cpg file beside a table: the forms GIS programs write, the choice between it and the
// table's mark, and writing one safely.

#include "engine/table/code_page_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/table/dbf_records.h"
#include "engine/table/language_driver.h"
#include "engine/table/table_code_page.h"
#include "platform/os/codepage.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  const auto bytes = test::ReadBytes(path);
  return {bytes.begin(), bytes.end()};
}

TEST(CpgTextTest, NamesThePagesGisProgramsWrite) {
  const std::pair<const char*, int> kTexts[] = {
      {"UTF-8", 65001},     {"utf8", 65001},        {"\xEF\xBB\xBFUTF-8\r\n", 65001},
      {" 1252\r\n", 1252},  {"ANSI 1251", 1251},    {"CP1251", 1251},
      {"cp 1250", 1250},    {"OEM 866", 866},       {"Windows-1253", 1253},
      {"IBM855", 855},      {"88591", 28591},       {"8859-2", 28592},
      {"ISO-8859-15", 28605}, {"ISO 88595", 28595}, {"ISO8859_7", 28597},
      {"Big5", 950},        {"KOI8-R", 20866},      {"65001", 65001},
      {"", 0},              {"   ", 0},             {"latin", 0},
      {"123456", 0},        {"8859-17", 0},         {"0", 0},
      {"UTF-16", 0},        {"CP", 0},              {"1252 extra", 0},
  };
  for (const auto& [text, page] : kTexts) {
    EXPECT_EQ(CodePageOfCpgText(text), page) << text;
  }
  // What we write reads back as the same page.
  for (const int page : {65001, 28591, 28605, 855, 1258, 874}) {
    EXPECT_EQ(CodePageOfCpgText(CpgTextForPage(page)), page) << page;
  }
}

class CpgTableTest : public ::testing::Test {
 protected:
  // A table "t.dbf" with mark `mark`, opened; its .cpg (named `cpg_name`) holds `cpg`.
  CodePageChoice Choose(std::uint8_t mark, const char* cpg, const std::string& cpg_name = "t.cpg",
                        int* stored = nullptr) {
    auto bytes = test::DbfBuilder(0x03).Field("NAME", 'C', 10).Record(" x").Build();
    bytes[29] = mark;
    const std::string path = dir_.File("t.dbf");
    test::WriteBytes(path, bytes);
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      if (entry.path().filename() != "t.dbf") std::filesystem::remove_all(entry.path());
    }
    if (cpg != nullptr) WriteText(dir_.File(cpg_name), cpg);
    TableRecord t;
    t.file_name = path;
    t.open_mode = os::kOpenReadOnlyDenyNone;
    OpenDbf(t);
    if (stored != nullptr) *stored = t.code_page;
    const CodePageChoice choice = ChooseTableCodePage(ReadTableMark(t), 0, "", false);
    CloseDbf(t);
    return choice;
  }
  test::TempDir dir_;
};

TEST_F(CpgTableTest, ReadWhenTheMarkNamesNoPage) {
  const struct {
    std::uint8_t mark;
    const char* cpg;
    const char* cpg_name;
    int page;
    const char* reason;
  } kCases[] = {
      {0x00, "UTF-8", "t.cpg", 65001, ".cpg file t.cpg (UTF-8)"},
      {0x00, "ANSI 1251", "T.CPG", 1251, ".cpg file T.CPG (ANSI 1251)"},
      {0x00, "OEM 866\n", "t.Cpg", 866, ".cpg file t.Cpg (OEM 866)"},
      // A mark that names a page wins; 0x57 ("the writer's ANSI page") does not.
      {0x03, "1251", "t.cpg", 1252, "language driver 0x03"},
      {0xC9, "UTF-8", "t.cpg", 1251, "language driver 0xC9"},
      {0x57, "1251", "t.cpg", 1251, ".cpg file t.cpg (1251)"},
      {0x57, nullptr, "t.cpg", 1252, "language driver 0x57"},
      // An unknown mark gives way to the .cpg, and says so.
      {0xF0, "1250", "t.cpg", 1250,
       ".cpg file t.cpg (1250); language driver 0xF0 is unknown"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.cpg != nullptr ? c.cpg : "(none)") + " " + std::to_string(c.mark));
    int stored = 0;
    const CodePageChoice choice = Choose(c.mark, c.cpg, c.cpg_name, &stored);
    EXPECT_EQ(choice.page, c.page);
    EXPECT_EQ(choice.reason, c.reason);
    EXPECT_EQ(choice.warning, "");
    // The engine's own open (keys, the browser) goes the same way.
    EXPECT_EQ(stored, c.page);
  }
}

TEST_F(CpgTableTest, AFileThatNamesNoUsablePageIsSaidAndIgnored) {
  const std::string big(kMaxCpgSize + 1, '1');
  const struct {
    const char* cpg;
    const char* warning;
  } kCases[] = {
      {"latin-ish\x1B[2J", "t.cpg: \"latin-ish?[2J\" names no code page"},
      {"CP4242", "t.cpg: \"CP4242\" names code page 4242, which this system cannot convert"},
      {big.c_str(), "t.cpg: it is larger than 256 bytes"},
  };
  for (const auto& c : kCases) {
    const CodePageChoice choice = Choose(0x00, c.cpg);
    EXPECT_EQ(choice.page, os::OemCodePage());
    EXPECT_EQ(choice.warning, std::string(c.warning) + "; the text is read as code page " +
                                  std::to_string(os::OemCodePage()));
  }
  // A folder or a pipe of that name is no .cpg, and reading never waits on a pipe.
  Choose(0x00, nullptr);
  std::filesystem::create_directory(dir_.File("t.cpg"));
  EXPECT_EQ(ReadCpgFile(dir_.File("t.dbf")).page, 0);
  std::filesystem::remove(dir_.File("t.cpg"));
  ASSERT_EQ(::mkfifo(dir_.File("t.cpg").c_str(), 0600), 0);
  EXPECT_EQ(ReadCpgFile(dir_.File("t.dbf")).page, 0);
}

TEST_F(CpgTableTest, WritingReplacesTheFileWholeAndFollowsNoLink) {
  Choose(0x00, "1252", "T.CPG");
  std::string written;
  ASSERT_EQ(WriteCpgFile(dir_.File("t.dbf"), 65001, written), 0);
  // The file that was there (in its own case) is replaced; nothing else is left behind.
  EXPECT_EQ(written, dir_.File("T.CPG"));
  EXPECT_EQ(ReadText(written), "UTF-8");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 2);
  // A link planted at the name is replaced, its target untouched.
  std::filesystem::remove(written);
  WriteText(dir_.File("victim"), "keep");
  std::filesystem::create_symlink(dir_.File("victim"), dir_.File("t.cpg"));
  ASSERT_EQ(WriteCpgFile(dir_.File("t.dbf"), 28591, written), 0);
  EXPECT_EQ(ReadText(dir_.File("victim")), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(dir_.File("t.cpg")));
  EXPECT_EQ(ReadText(dir_.File("t.cpg")), "88591");
  EXPECT_EQ(ReadCpgFile(dir_.File("t.dbf")).page, 28591);
}

TEST_F(CpgTableTest, SettingAPageWithoutADriverWritesTheCpgAndClearsTheMark) {
  Choose(0x03, nullptr);
  const std::string path = dir_.File("t.dbf");
  std::uint8_t id = 0xFF;
  std::string why;
  ASSERT_EQ(WriteTableMark(path, 65001, id, why), MarkWrite::kCpgWritten) << why;
  EXPECT_EQ(id, 0);
  EXPECT_EQ(test::ReadBytes(path)[29], 0);
  EXPECT_EQ(ReadText(dir_.File("t.cpg")), "UTF-8");
  // A page with a driver gets its mark, and the .cpg there follows it.
  ASSERT_EQ(WriteTableMark(path, 1251, id, why), MarkWrite::kWritten) << why;
  EXPECT_EQ(test::ReadBytes(path)[29], 0xC9);
  EXPECT_EQ(ReadText(dir_.File("t.cpg")), "1251");
  EXPECT_EQ(WriteTableMark(path, 4242, id, why), MarkWrite::kNoDriver);
}

}  // namespace
}  // namespace vx
