// vxdbf's commands end to end on real files: create, info and dump, and its exit statuses.

#include "tools/vxdbf/vxdbf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "engine/startup/engine_startup.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

class VxdbfTest : public ::testing::Test {
 protected:
  // A film table with three records written as another program would.
  std::string FilmTable() {
    const std::string path = dir_.File("films.dbf");
    std::vector<unsigned char> b(32 + 5 * 32 + 1, 0);
    b[0] = 0x03;
    b[1] = 124;
    b[2] = 3;
    b[3] = 7;
    b[4] = 3;
    b[8] = static_cast<unsigned char>(b.size());
    const int record_length = 1 + 12 + 4 + 6 + 1 + 8;
    b[10] = record_length;
    const struct {
      const char* name;
      char type;
      int length;
      int decimals;
    } kFields[] = {{"TITLE", 'C', 12, 0},
                   {"YEAR", 'N', 4, 0},
                   {"RATING", 'N', 6, 2},
                   {"COLOR", 'L', 1, 0},
                   {"PREMIERE", 'D', 8, 0}};
    for (int i = 0; i < 5; ++i) {
      unsigned char* slot = &b[32 + 32 * i];
      std::memcpy(slot, kFields[i].name, std::strlen(kFields[i].name));
      slot[11] = static_cast<unsigned char>(kFields[i].type);
      slot[16] = static_cast<unsigned char>(kFields[i].length);
      slot[17] = static_cast<unsigned char>(kFields[i].decimals);
    }
    b[32 + 5 * 32] = 0x0D;
    for (const char* r : {" Metropolis  1927  8.30F19270110", "*Vertigo, \"B\"1958  8.25T        ",
                          " Unknown         ******?20230230"}) {
      b.insert(b.end(), r, r + record_length);
    }
    b.push_back(0x1A);
    test::WriteBytes(path, b);
    return path;
  }
  test::TempDir dir_;
};

// A table named by its extension alone (".x") would share its memo file and index (".dbt",
// ".mdx") with every other such table: creating or opening one is refused, and nothing of
// another table's files is touched.
TEST_F(VxdbfTest, ATableWithoutANameBeforeItsExtensionIsRefused) {
  const std::string memo = dir_.File(".dbt");
  test::WriteBytes(memo, {1, 2, 3});
  for (const char* name : {".x", ".dbf"}) {
    SCOPED_TRACE(name);
    const Result created =
        Vxdbf({"create", dir_.File(name), "--field", "A,C,5", "--field", "NOTE,M"});
    EXPECT_NE(created.status, 0);
    EXPECT_NE(created.err.find("has no name before its extension"), std::string::npos)
        << created.err;
    EXPECT_FALSE(std::filesystem::exists(dir_.File(name)));
  }
  EXPECT_EQ(test::ReadBytes(memo), (std::vector<unsigned char>{1, 2, 3}));
  std::filesystem::copy_file(FilmTable(), dir_.File(".y"));
  const Result dumped = Vxdbf({"dump", dir_.File(".y")});
  EXPECT_NE(dumped.status, 0);
  EXPECT_NE(dumped.err.find("has no name before its extension"), std::string::npos)
      << dumped.err;
}

#ifdef VX_HAVE_SQLITE
// A value that does not fit its field is named in the error cut short, not echoed whole.
TEST_F(VxdbfTest, AnSqlValueErrorCutsALongValue) {
  FilmTable();
  const Result r = Vxdbf({"sql", "UPDATE films SET TITLE = printf('%.*c', 10000, 'x')", "--dir",
                          dir_.path().string()});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("xxx...\" is longer than"), std::string::npos) << r.err.substr(0, 300);
  EXPECT_LT(r.err.size(), 500u);
}
#endif

TEST_F(VxdbfTest, InfoAsJson) {
  const Result r = Vxdbf({"info", FilmTable(), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"version\":\"0x03\",\"variant\":\"dBASE III/IV without memo\","
            "\"last_update\":\"2024-03-07\",\"records\":3,\"header_length\":193,"
            "\"record_length\":32,\"has_memo\":false,\"production_index\":false,"
            "\"language_driver\":\"0x00\",\"language_driver_meaning\":null,\"code_page\":437,"
            "\"code_page_from\":\"no mark: the OEM page\",\"fields\":["
            "{\"name\":\"TITLE\",\"type\":\"C\",\"length\":12,\"decimals\":0},"
            "{\"name\":\"YEAR\",\"type\":\"N\",\"length\":4,\"decimals\":0},"
            "{\"name\":\"RATING\",\"type\":\"N\",\"length\":6,\"decimals\":2},"
            "{\"name\":\"COLOR\",\"type\":\"L\",\"length\":1,\"decimals\":0},"
            "{\"name\":\"PREMIERE\",\"type\":\"D\",\"length\":8,\"decimals\":0}]}\n");
}

TEST_F(VxdbfTest, InfoAsText) {
  const Result r = Vxdbf({"info", FilmTable()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Version:          0x03 (dBASE III/IV without memo)"), std::string::npos);
  EXPECT_NE(r.out.find("  RATING     N     6   2  offset 17"), std::string::npos) << r.out;
}

TEST_F(VxdbfTest, DumpsCsvInFileOrder) {
  const Result r = Vxdbf({"dump", FilmTable(), "--deleted"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "_deleted,TITLE,YEAR,RATING,COLOR,PREMIERE\r\n"
            ",Metropolis,1927,8.30,F,1927-01-10\r\n"
            "*,\"Vertigo, \"\"B\"\"\",1958,8.25,T,\r\n"
            ",Unknown,,******,,\r\n");  // a blank logical has no value
}

TEST_F(VxdbfTest, DumpsJsonLines) {
  const Result r = Vxdbf({"dump", FilmTable(), "--format", "jsonl"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"TITLE\":\"Metropolis\",\"YEAR\":1927,\"RATING\":8.30,\"COLOR\":false,"
            "\"PREMIERE\":\"1927-01-10\"}\n"
            "{\"TITLE\":\"Vertigo, \\\"B\\\"\",\"YEAR\":1958,\"RATING\":8.25,\"COLOR\":true,"
            "\"PREMIERE\":null}\n"
            "{\"TITLE\":\"Unknown\",\"YEAR\":null,\"RATING\":null,\"COLOR\":null,"
            "\"PREMIERE\":null}\n");
}

TEST_F(VxdbfTest, CreateThenInfoRoundTrip) {
  const std::string path = dir_.File("new.dbf");
  Result r = Vxdbf({"create", path, "--field", "NAME,C,20", "--field", "PRICE,N,8,2", "--field",
                    "NOTES,M", "--version", "0xF5"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Vxdbf({"info", path, "--json"});
  EXPECT_NE(r.out.find("\"version\":\"0xF5\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"name\":\"NOTES\",\"type\":\"M\",\"length\":10,\"decimals\":0}"),
            std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir_.File("new.fpt")));
}

TEST_F(VxdbfTest, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"info"},
           {"dump", "x", "--format", "xml"},
           {"create", "x.dbf"},
           {"create", "x.dbf", "--field", "A"},
           {"create", "x.dbf", "--field", "A,C,5", "--version", "0x32"},
           {"info", "x", "--bogus"}}) {
    const Result r = Vxdbf(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage: vxdbf"), std::string::npos);
  }
}

TEST_F(VxdbfTest, EveryCommandHasHelpWithItsOptionsAndAnExample) {
  const Result overview = Vxdbf({"--help"});
  ASSERT_EQ(overview.status, 0);
  std::istringstream lines(overview.out);
  int commands = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find("vxdbf ");
    if (at == std::string::npos || line.compare(at + 6, 2, "--") == 0) continue;
    const std::string name = line.substr(at + 6, line.find(' ', at + 6) - at - 6);
    SCOPED_TRACE(name);
    ++commands;
    const Result help = Vxdbf({name, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: vxdbf " + name), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("Options:\n  -h,--help"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("Example:\n  "), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("vxdbf " + name + " "), std::string::npos) << help.out;
  }
#ifdef VX_HAVE_SQLITE
  EXPECT_EQ(commands, 26 + 2);  // sql and export, when built with SQLite
#else
  EXPECT_EQ(commands, 26);
#endif
  const Result version = Vxdbf({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.substr(0, 6), "vxdbf ");
}

TEST_F(VxdbfTest, RecordNumbersAreDigitsOnly) {
  const std::string path = FilmTable();
  for (const char* recno : {" 1", "1 ", "+1", "-1", "0", "0x1", "1e0", "2147483648", ""}) {
    SCOPED_TRACE(recno);
    const Result r = Vxdbf({"memo", path, recno, "TITLE"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("must be a record number"), std::string::npos) << r.err;
  }
  // Leading zeros are digits too, and not an octal prefix.
  EXPECT_EQ(Vxdbf({"delete", path, "010"}).status, 1);  // record 10 of 3, not record 8
  EXPECT_EQ(Vxdbf({"recall", path, "02"}).status, 0);
  EXPECT_EQ(Vxdbf({"dump", path, "--deleted"}).out.find("\r\n*,"), std::string::npos);
}

TEST_F(VxdbfTest, EngineErrorsExitWithOneAndTheErrorText) {
  Result r = Vxdbf({"info", dir_.File("missing.dbf")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error # 2 (File not found)\r\nFailure to open " + dir_.File("missing.dbf") +
                       " [USE/OpenDbf]\n");
  r = Vxdbf({"create", dir_.File("bad.dbf"), "--field", "A,X,5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("field 1 \"A\": no field type \"X\""), std::string::npos) << r.err;
}

}  // namespace
}  // namespace vx::tool

namespace vx::tool {
namespace {

TEST(VxdbfSampleTest, CreatesTheFilmTableWithPlots) {
  InitEngine();  // installs the memo storage, as vxdbf's main does
  test::TempDir dir;
  const std::string path = dir.File("movie.DBF");
  std::istringstream in;
  std::ostringstream out, err;
  ASSERT_EQ(RunVxdbf({"sample", path}, in, out, err), 0) << err.str();
  EXPECT_EQ(out.str(), "20\n");
  std::ostringstream info;
  ASSERT_EQ(RunVxdbf({"info", path, "--json"}, in, info, err), 0);
  EXPECT_NE(info.str().find("\"version\":\"0x8B\""), std::string::npos);
  EXPECT_NE(info.str().find("\"records\":20"), std::string::npos);
  std::ostringstream plot;
  ASSERT_EQ(RunVxdbf({"memo", path, "8", "PLOT"}, in, plot, err), 0) << err.str();
  EXPECT_EQ(plot.str().substr(0, 31), "A retired detective afraid of h");
  EXPECT_TRUE(std::filesystem::exists(dir.File("movie.DBT")));
}

}  // namespace
}  // namespace vx::tool
