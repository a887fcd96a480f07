// vxdbf's answers that must not depend on the command: the exit status of a missing file, a
// folder, a file that is no table or an expression that does not compile; nothing printed
// before a refusal; folders and batches that skip what they cannot open and leave no partial
// output; alter keeping the fields other programs wrote.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "engine/startup/engine_startup.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

struct RawField {
  std::string name;
  char type;
  int length;
  int decimals;
};

// A dBASE III table written as another program would, with one record of `values` (each
// padded to its field's width).
std::vector<unsigned char> RawTable(const std::vector<RawField>& fields,
                                    const std::vector<std::string>& values) {
  const std::size_t header = 32 + 32 * fields.size() + 1;
  int record_length = 1;
  for (const RawField& f : fields) record_length += f.length;
  std::vector<unsigned char> b(header, 0);
  b[0] = 0x03;
  b[1] = 124;
  b[2] = 1;
  b[3] = 1;
  b[4] = 1;
  b[8] = static_cast<unsigned char>(header & 0xFF);
  b[9] = static_cast<unsigned char>(header >> 8);
  b[10] = static_cast<unsigned char>(record_length & 0xFF);
  b[11] = static_cast<unsigned char>(record_length >> 8);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    unsigned char* slot = &b[32 + 32 * i];
    std::memcpy(slot, fields[i].name.data(), fields[i].name.size());
    slot[11] = static_cast<unsigned char>(fields[i].type);
    slot[16] = static_cast<unsigned char>(fields[i].length);
    slot[17] = static_cast<unsigned char>(fields[i].decimals);
  }
  b[header - 1] = 0x0D;
  b.push_back(' ');
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::string v = values[i];
    v.resize(static_cast<std::size_t>(fields[i].length), ' ');
    b.insert(b.end(), v.begin(), v.end());
  }
  b.push_back(0x1A);
  return b;
}

class StatusesTest : public ::testing::Test {
 protected:
  void SetUp() override { InitEngine(); }
  std::string Films() {
    const std::string path = dir_.File("films.dbf");
    EXPECT_EQ(Vxdbf({"sample", path}).status, 0);
    return path;
  }
  test::TempDir dir_;
};

// Every command names a missing file, a folder and a file that is no table alike: status 1.
TEST_F(StatusesTest, AMissingFileAFolderAndANonTableEndEveryCommandAlike) {
  const std::string films = Films();
  const std::string missing = dir_.File("missing.dbf");
  const std::string folder = dir_.File("adir");
  const std::string junk = dir_.File("notdbf.dbf");
  std::filesystem::create_directory(folder);
  test::WriteBytes(junk, std::vector<unsigned char>(300, 'x'));
  const std::vector<std::vector<std::string>> commands = {
      {"info"},        {"dump"},          {"check"},          {"tags"},
      {"pack"},        {"zap", "--yes"},  {"reindex"},        {"set", "1", "TITLE=x"},
      {"delete", "1"}, {"memo", "1", "PLOT"}, {"list", "TITLE"}, {"alter", "--drop", "YEAR"},
      {"copy", dir_.File("new.dbf")},     {"seek", "--tag", "TITLE", "A"}};
  for (const std::string& file : {missing, folder, junk}) {
    for (std::vector<std::string> args : commands) {
      // info, check and tags take a folder for the tables in it.
      if (file == folder && (args[0] == "info" || args[0] == "check" || args[0] == "tags")) continue;
      args.insert(args.begin() + 1, file);
      SCOPED_TRACE(args[0] + " " + file);
      const Result r = Vxdbf(args);
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.find("no index"), std::string::npos) << r.err;
      if (file == folder) {
        EXPECT_NE(r.err.find("adir is a folder, not a table"), std::string::npos) << r.err;
      }
    }
  }
  EXPECT_NE(Vxdbf({"pack", missing}).err.find("File not found"), std::string::npos);
}

// An expression that does not compile is a usage error wherever it is given, and says where.
TEST_F(StatusesTest, ExpressionErrorsAreUsageErrorsInEveryCommand) {
  const std::string films = Films();
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"list", films, "NOPE(TITLE)"},
           {"eval", "NOPE(TITLE)", "--table", films},
           {"copy", films, dir_.File("c.dbf"), "--for", "NOPE(TITLE)"},
           {"index", films, "--tag", "BAD", "--key", "NOPE(TITLE)"},
           {"index", films, "--tag", "BAD", "--key", "TITLE", "--for", "NOPE(TITLE)"}}) {
    SCOPED_TRACE(args[0]);
    const Result r = Vxdbf(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("NOPE at position 1"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("c.dbf")));
}

// Refusals print nothing before them; a refused row is named.
TEST_F(StatusesTest, RefusalsPrintNothingBeforeThemAndNameTheRow) {
  const std::string films = Films();
  ASSERT_EQ(Vxdbf({"index", films, "--tag", "TITLE", "--key", "TITLE"}).status, 0);
  Result r = Vxdbf({"dump", films, "--tag", "NOPE"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
  r = Vxdbf({"dump", films, "--tag", "TITLE"});
  EXPECT_EQ(r.out.substr(0, 6), "TITLE,") << r.out;
  r = Vxdbf({"append", films}, "TITLE,YEAR\nA,1999\nB,123456\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("row 3: "), std::string::npos) << r.err;
}

// check names a damaged header as a problem (status 4), not beside "No problems found".
TEST_F(StatusesTest, CheckCountsADamagedHeaderAsAProblem) {
  std::vector<unsigned char> bytes = RawTable({{"NAME", 'C', 10, 0}, {"NUM", 'N', 5, 0}},
                                              {"abc", "12"});
  bytes[10] = 12;  // the header's record length is 4 bytes short of the fields
  test::WriteBytes(dir_.File("short.dbf"), bytes);
  const Result r = Vxdbf({"check", dir_.File("short.dbf")});
  EXPECT_EQ(r.status, 4) << r.out << r.err;
  EXPECT_EQ(r.out.find("No problems found"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("damaged header"), std::string::npos) << r.out;
}

// The man page has one table of exit statuses: every command, and the status 4.
TEST_F(StatusesTest, TheManPageListsTheExitStatusesOfEveryCommand) {
  const Result man = Vxdbf({"man"});
  ASSERT_EQ(man.status, 0) << man.err;
  const std::size_t section = man.out.find(".SH EXIT STATUS");
  ASSERT_NE(section, std::string::npos);
  const std::string statuses = man.out.substr(section);
  EXPECT_NE(statuses.find(".B 4\n"), std::string::npos);
  for (const char* name : {"info", "dump", "check", "locktest", "pack", "alter", "man"}) {
    EXPECT_NE(statuses.find(std::string(".B ") + name + "\n"), std::string::npos) << name;
  }
  EXPECT_NE(statuses.find("check found a problem"), std::string::npos);
}

#ifdef VX_HAVE_SQLITE
// sql --dir leaves out a file that is no table and queries the rest; export skips a table it
// cannot open, copies the others, and writes its database whole or not at all.
TEST_F(StatusesTest, FoldersAndBatchesSkipWhatTheyCannotOpenAndLeaveNoPartialOutput) {
  const std::string films = Films();
  test::WriteBytes(dir_.File("linkvl.dbf"), std::vector<unsigned char>(64, 0x4B));
  Result r = Vxdbf({"sql", "SELECT count(*) AS n FROM films", "--dir", dir_.path().string(),
                    "--format", "jsonl"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "{\"n\":20}\n");
  EXPECT_NE(r.err.find("linkvl.dbf is left out"), std::string::npos) << r.err;

  const std::string db = dir_.File("out.db");
  r = Vxdbf({"export", dir_.File("linkvl.dbf"), dir_.File("missing.dbf"), "--sqlite", db});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(std::filesystem::exists(db)) << "nothing exported: no database";
  r = Vxdbf({"export", dir_.File("linkvl.dbf"), films, "--sqlite", db});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("linkvl.dbf is left out"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("table films"), std::string::npos) << r.out;
  // Whatever was written went in under another name first: only the database is left.
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".TMP"), std::string::npos) << name;
    EXPECT_EQ(name.find("journal"), std::string::npos) << name;
  }
  EXPECT_GT(std::filesystem::file_size(db), 0u);
}
#endif

// alter applies the rules of create to what it adds or changes; the fields other programs
// wrote stay as they are (a name beginning with "_", a C 255, an N 24).
TEST_F(StatusesTest, AlterKeepsTheFieldsOtherProgramsWrote) {
  const std::string path = dir_.File("other.dbf");
  test::WriteBytes(path, RawTable({{"_ID", 'N', 5, 0}, {"TEXT", 'C', 255, 0}, {"BIG", 'N', 24, 5}},
                                  {"    7", "long text", "   12345678901234.12345"}));
  Result r = Vxdbf({"alter", path, "--add", "EXTRA,C,5,0"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Vxdbf({"dump", path, "--format", "jsonl"});
  EXPECT_EQ(r.out,
            "{\"_ID\":7,\"TEXT\":\"long text\",\"BIG\":12345678901234.12345,\"EXTRA\":\"\"}\n");
  // What is added or changed still passes create's rules.
  EXPECT_EQ(Vxdbf({"alter", path, "--add", "_NEW,C,5,0"}).status, 2);
  EXPECT_EQ(Vxdbf({"alter", path, "--add", "WIDE,C,255,0"}).status, 2);
  EXPECT_EQ(Vxdbf({"alter", path, "--retype", "BIG,N,24,5"}).status, 0) << "the same shape";
  EXPECT_EQ(Vxdbf({"alter", path, "--retype", "BIG,N,25,5"}).status, 2);
  EXPECT_EQ(Vxdbf({"alter", path, "--rename", "TEXT=_T"}).status, 2);
  EXPECT_EQ(Vxdbf({"alter", path, "--add", "_id,C,5,0"}).status, 2) << "a name given twice";
  EXPECT_EQ(Vxdbf({"alter", path, "--rename", "TEXT=NOTE"}).status, 0);
}

}  // namespace
}  // namespace vx::tool
