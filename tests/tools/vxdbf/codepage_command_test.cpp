// vxdbf and code pages: the page a table's mark names, --codepage, strict conversion with
// --lossy, create --codepage, and the code-page assistant with --set.

#include "tools/vxdbf/codepage_command.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/memo/memo_storage.h"
#include "platform/os/codepage.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

class CodePageCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { InitMemoStorage(); }
  // A table NAME C 20 (and NOTES M with a memo file), its mark set to `mark`.
  std::string Create(const std::string& name, std::uint8_t mark, bool memo = false) {
    const std::string path = dir_.File(name);
    std::vector<std::string> args = {"create", path, "--field", "NAME,C,20"};
    if (memo) args.insert(args.end(), {"--field", "NOTES,M", "--version", "0x83"});
    EXPECT_EQ(Vxdbf(args).status, 0);
    auto bytes = test::ReadBytes(path);
    bytes[29] = mark;
    test::WriteBytes(path, bytes);
    return path;
  }
  // Stores raw bytes into NAME of record 1 (appending it first).
  void StoreName(const std::string& path, const std::string& bytes) {
    ASSERT_EQ(Vxdbf({"append", path}, "NAME\nx\n").status, 0);
    auto file = test::ReadBytes(path);
    const std::size_t header = file[8] | file[9] << 8;
    std::copy(bytes.begin(), bytes.end(), file.begin() + header + 1);
    test::WriteBytes(path, file);
  }
  test::TempDir dir_;
};

TEST_F(CodePageCommandTest, TextGoesStraightToTheTablesPage) {
  // "Σ≥░" is in the DOS page only: an unmarked (OEM) table keeps it, a Windows one refuses it.
  const std::string oem = Create("oem.dbf", 0x00, /*memo=*/true);
  ASSERT_EQ(Vxdbf({"append", oem}, "NAME,NOTES\nΣ≥░,Σ≥░\n").status, 0);
  ASSERT_EQ(Vxdbf({"set", oem, "1", "NAME=░Σ≥"}).status, 0);
  const auto bytes = test::ReadBytes(oem);
  EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("\xB0\xE4\xF2"), std::string::npos);
  EXPECT_EQ(Vxdbf({"dump", oem}).out, "NAME,NOTES\r\n░Σ≥,Σ≥░\r\n");

  const std::string ansi = Create("ansi.dbf", 0x03, /*memo=*/true);
  const auto before = test::ReadBytes(ansi);
  const struct {
    std::vector<std::string> args;
    std::string input;
    const char* message;
  } kRefused[] = {
      {{"append", ansi},
       "NAME\nok\nΣ≥░\n",
       "row 3, field NAME: \"Σ\" has no place in code page 1252"},
      {{"append", ansi},
       "NAME,NOTES\nok,a\xFF\n",
       "row 2, field NOTES: the text is not UTF-8 (byte 0xFF"},
      {{"append", ansi, "--format", "jsonl"}, "{\"NOTES\":\"≥\"}\n", "line 1, field NOTES"},
      {{"append", ansi, "--format", "jsonl"}, "{\"NAME\":\"\xC3\"}\n", "ill-formed UTF-8"},
      {{"set", ansi, "1", "NAME=\xE2\x82"}, "", "record 1, field NAME: the text is not UTF-8"},
  };
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.message);
    const Result r = Vxdbf(c.args, c.input);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(test::ReadBytes(ansi), before);
  const Result lossy = Vxdbf({"append", ansi, "--lossy"}, "NAME\nΣ≥░ café\n");
  ASSERT_EQ(lossy.status, 0) << lossy.err;
  EXPECT_EQ(lossy.err, "vxdbf: 3 characters of code page 1252 replaced by \"?\" (--lossy)\n");
  EXPECT_EQ(Vxdbf({"dump", ansi}).out, "NAME,NOTES\r\n??? café,\r\n");
}

TEST_F(CodePageCommandTest, ReadsThePageTheMarkNames) {
  const struct {
    std::uint8_t mark;
    std::string stored;
    const char* text;
    const char* info;
  } kCases[] = {
      {0x00,
       "B\x81"
       "cher",
       "Bücher", "0x00 (no mark)\nCode page:        437 (no mark: the OEM page)"},
      {0x03,
       "B\xFC"
       "cher",
       "Bücher",
       "0x03 (Windows ANSI Latin I, code page 1252)\nCode page:        1252 (language driver "
       "0x03)"},
      {0x64, "\xA5\xA9", "ąę", "0x64 (Eastern European MS-DOS, code page 852)"},
      {0xC8, "\xB9\xEA", "ąę", "0xC8 (Eastern European Windows, code page 1250)"},
      {0x26, "\x8F\xE0\xA8", "При", "0x26 (Russian OEM, code page 866)"},
      {0xC9, "\xCF\xF0\xE8", "При", "0xC9 (Russian Windows, code page 1251)"},
      {0x7B, "\x93\xFA\x96\x7B", "日本", "0x7B (Japanese Shift-JIS, code page 932)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const std::string path = Create("marked.dbf", c.mark);
    StoreName(path, c.stored);
    EXPECT_EQ(Vxdbf({"dump", path}).out, std::string("NAME\r\n") + c.text + "\r\n");
    EXPECT_NE(Vxdbf({"info", path}).out.find(std::string("Language driver:  ") + c.info),
              std::string::npos)
        << Vxdbf({"info", path}).out;
    EXPECT_EQ(Vxdbf({"locate", path, "NAME", c.text}).out, "1\n");
    std::filesystem::remove(path);
  }
  // --codepage overrides the mark; --ansi only speaks for tables without one.
  const std::string path = Create("override.dbf", 0x03);
  StoreName(path,
            "B\x81"
            "cher");
  EXPECT_EQ(Vxdbf({"dump", path, "--codepage", "437"}).out, "NAME\r\nBücher\r\n");
  EXPECT_EQ(Vxdbf({"dump", path, "--ansi"}).out,
            "NAME\r\nB\xC2\x81"
            "cher\r\n");
  EXPECT_EQ(Vxdbf({"dump", path, "--codepage", "4242"}).status, 2);
}

TEST_F(CodePageCommandTest, AByteWithoutACharacterIsAnErrorOrWithLossyAQuestionMark) {
  const std::string path = Create("cp1250.dbf", 0xC8);
  StoreName(path, "ab\x81");
  Result r = Vxdbf({"dump", path});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("record 1, field NAME: byte 0x81 at position 3 is no character of code "
                       "page 1250"),
            std::string::npos)
      << r.err;
  r = Vxdbf({"dump", path, "--lossy", "--format", "jsonl"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"NAME\":\"ab?\"}\n");
  EXPECT_NE(r.err.find("1 character of code page 1250 replaced"), std::string::npos);
  // A mark this tool does not know: read as before, and said so.
  const std::string unknown = Create("unknown.dbf", 0xF0);
  StoreName(unknown, "\x81");
  r = Vxdbf({"dump", unknown});
  EXPECT_EQ(r.out, "NAME\r\nü\r\n");
  EXPECT_NE(r.err.find("language driver 0xF0 is unknown; the text is read as code page 437"),
            std::string::npos);
}

TEST_F(CodePageCommandTest, CreateWritesTheMarkAndNothingElse) {
  const std::string plain = dir_.File("plain.dbf");
  const std::string marked = dir_.File("marked.dbf");
  ASSERT_EQ(Vxdbf({"create", plain, "--field", "A,C,5"}).status, 0);
  ASSERT_EQ(Vxdbf({"create", marked, "--field", "A,C,5", "--codepage", "1251"}).status, 0);
  // Without --codepage: 1252, marked 0x03, and text of Western languages fits.
  auto a = test::ReadBytes(plain), b = test::ReadBytes(marked);
  EXPECT_EQ(a[29], 0x03);
  EXPECT_EQ(b[29], 0xC9);
  b[29] = 0x03;
  EXPECT_EQ(a, b);
  EXPECT_EQ(Vxdbf({"append", plain}, "A\nØrsø\n").status, 0);
  const Result refused_text = Vxdbf({"append", plain}, "A\nok\nЖук\n");
  EXPECT_EQ(refused_text.status, 2);
  EXPECT_NE(refused_text.err.find("row 3, field A: \"Ж\" has no place in code page 1252"),
            std::string::npos)
      << refused_text.err;
  EXPECT_EQ(Vxdbf({"dump", plain}).out, "A\r\nØrsø\r\n");
  // A UTF-8 table: no mark, a .cpg; values are refused by their length in bytes.
  const std::string utf8 = dir_.File("utf8.dbf");
  ASSERT_EQ(Vxdbf({"create", utf8, "--field", "A,C,5", "--codepage", "65001"}).status, 0);
  EXPECT_EQ(test::ReadBytes(utf8)[29], 0);
  EXPECT_EQ(Vxdbf({"append", utf8}, "A\nżółw\n").status, 2);  // 7 bytes
  EXPECT_EQ(Vxdbf({"append", utf8}, "A\nzół\n").status, 0);
  EXPECT_EQ(Vxdbf({"dump", utf8}).out, "A\r\nzół\r\n");
  // Level 7: byte 29 and the driver name; a page without a known name is refused first.
  const std::string level7 = dir_.File("level7.dbf");
  ASSERT_EQ(Vxdbf({"create", level7, "--field", "A,C,5", "--field", "M,M", "--version", "0x8C",
                   "--codepage", "866"})
                .status,
            0);
  EXPECT_NE(Vxdbf({"info", level7}).out.find("driver name DB866RU0 (code page 866)"),
            std::string::npos);
  const std::string refused = dir_.File("refused.dbf");
  const Result r = Vxdbf({"create", refused, "--field", "A,C,5", "--field", "M,M", "--version",
                          "0x8C", "--codepage", "1250"});
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(std::filesystem::exists(refused));
}

TEST_F(CodePageCommandTest, SetWritesOnlyTheMark) {
  const std::string path = Create("set.dbf", 0x00, /*memo=*/true);
  EXPECT_EQ(Vxdbf({"append", path, "--codepage"}, "NAME\nx\n").status, 2);  // wants a page
  ASSERT_EQ(Vxdbf({"append", path, "--codepage", "852"}, "NAME,NOTES\nZażółć,gęślą jaźń\n").status,
            0);
  auto before = test::ReadBytes(path);
  const Result r = Vxdbf({"codepage", path, "--set", "852"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Language driver 0x64 (Eastern European MS-DOS, code page 852) written to " +
                       path + "\n");
  auto after = test::ReadBytes(path);
  EXPECT_EQ(after[29], 0x64);
  after[29] = before[29];
  EXPECT_EQ(after, before);
  EXPECT_EQ(Vxdbf({"dump", path}).out, "NAME,NOTES\r\nZażółć,gęślą jaźń\r\n");
  EXPECT_NE(Vxdbf({"codepage", path}).out.find("The mark agrees: code page 852 reads best."),
            std::string::npos);
  EXPECT_EQ(Vxdbf({"codepage", path, "--set", "4242"}).status, 2);
}

TEST_F(CodePageCommandTest, ACpgFileNamesThePageOfAnUnmarkedTable) {
  // As GDAL writes a UTF-8 shapefile table: no mark, a .cpg saying "UTF-8".
  const std::string path = Create("gis.dbf", 0x00);
  StoreName(path, "Zoë ąę");
  {
    std::FILE* f = std::fopen(dir_.File("GIS.CPG").c_str(), "wb");
    std::fputs("UTF-8\r\n", f);
    std::fclose(f);
  }
  EXPECT_EQ(Vxdbf({"dump", path}).out, "NAME\r\nZoë ąę\r\n");
#ifdef _WIN32
  const char* const kCpgName = "gis.cpg";  // the name as asked for: the system ignores case
#else
  const char* const kCpgName = "GIS.CPG";  // the name on disk, found whatever its case
#endif
  EXPECT_NE(Vxdbf({"info", path}).out.find("Code page:        65001 (.cpg file " +
                                           std::string(kCpgName) + " (UTF-8))"),
            std::string::npos)
      << Vxdbf({"info", path}).out;
  EXPECT_NE(Vxdbf({"info", path, "--codepage", "1252"}).out.find("1252 (--codepage)"),
            std::string::npos);
  // --set with a page no driver byte names writes the .cpg and clears the mark.
  const std::string marked = Create("marked.dbf", 0x03);
  const Result r = Vxdbf({"codepage", marked, "--set", "1258"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Code page 1258 written to " + dir_.File("marked.cpg") +
                       " (no language driver names it; the table's mark is cleared)\n");
  EXPECT_EQ(test::ReadBytes(marked)[29], 0);
  EXPECT_NE(Vxdbf({"info", marked}).out.find("Code page:        1258 (.cpg file marked.cpg (1258))"),
            std::string::npos);
}

TEST_F(CodePageCommandTest, PaddingIsNoTextAndCloseScoresAreSaidToBeClose) {
  // NUL bytes after the text of a field hide nothing.
  const std::string path = Create("padded.dbf", 0x00);
  StoreName(path, os::EncodeCodePage(1250, "Jihočeský Plzeň", os::OnFault::kStop).text +
                      std::string(5, '\0'));
  Result r = Vxdbf({"codepage", path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("3 bytes beyond ASCII"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Best: code page 1250"), std::string::npos) << r.out;
  // German text in a DOS page: 437, 850 and 852 read it alike, equivalent rather than close.
  const std::string german = Create("german.dbf", 0x00);
  StoreName(german, os::EncodeCodePage(850, "Größe über", os::OnFault::kStop).text);
  r = Vxdbf({"codepage", german});
  EXPECT_NE(r.out.find("  850   3.67= Gr"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Equivalent: code pages 437, 850 and 852 read every byte of this text as the "
                       "same characters; any of them will do.\nBest: code page 437"),
            std::string::npos)
      << r.out;
  const std::string json = Vxdbf({"codepage", german, "--json"}).out;
  EXPECT_NE(json.find("\"equivalent\":true,\"too_close_to_call\":false"), std::string::npos);
  EXPECT_NE(json.find("{\"page\":850,\"score\":3.67,\"same_as_best\":true"), std::string::npos)
      << json;
  // One letter in Italian text that 437 and 852 read as letters in their usual places
  // ("città", "cittů"): too close to call.
  const std::string italian = Create("italian.dbf", 0x00);
  StoreName(italian, os::EncodeCodePage(437, "Città", os::OnFault::kStop).text);
  r = Vxdbf({"codepage", italian});
  EXPECT_NE(r.out.find("Too close to call: code pages 437 and 852"), std::string::npos) << r.out;
}

TEST_F(CodePageCommandTest, CorpusTablesGetTheirPage) {
  const std::filesystem::path corpus = test::CorpusDir();
  const struct {
    const char* file;
    int page;
  } kCases[] = {{"ndbfreader/CzechEncoding.dbf", 1250}, {"cimc-pcs7/meldeom/MELDOM.DBF", 936},
                {"infused-dbf/mazovia.dbf", 620}};
  for (const auto& c : kCases) {
    if (corpus.empty() || !std::filesystem::exists(corpus / c.file)) {
      GTEST_SKIP() << "the corpus file " << c.file << " is absent";
    }
    SCOPED_TRACE(c.file);
    const std::string copy = dir_.File(std::filesystem::path(c.file).filename().string());
    test::CopyWritable(corpus / c.file, copy);
    for (const char* memo : {"DBT", "dbt"}) {  // one name on Windows, which ignores case
      const auto from = (corpus / c.file).replace_extension(memo);
      if (std::filesystem::exists(from)) {
        test::CopyWritable(from, std::filesystem::path(copy).replace_extension(memo));
      }
    }
    // Read through its mark, without a word about it.
    const Result dump = Vxdbf({"dump", copy});
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.err, "");
    const Result r = Vxdbf({"codepage", copy, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    if (c.page == 620) {
      // Mazovia: the marked page, and its letters where 437 has others.
      EXPECT_NE(dump.out.find("Ś╫êëτ⌡ś"), std::string::npos) << dump.out;
      EXPECT_NE(r.out.find("\"marked_page\":620"), std::string::npos) << r.out;
      continue;
    }
    const std::string first = "\"pages\":[{\"page\":" + std::to_string(c.page) + ",";
    EXPECT_NE(r.out.find(first), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\"bytes_beyond_ascii\":0,"), std::string::npos) << r.out;
  }
}

}  // namespace
}  // namespace vx::tool
