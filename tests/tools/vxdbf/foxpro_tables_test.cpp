// Visual FoxPro and level 7 tables through vxdbf: created in every new field type, appended to
// and edited, read back; .NULL. and varying lengths; autoincrement fields numbered by two
// processes appending at once; the structural .CDX built, kept current, rebuilt and repaired,
// and its guard when it is missing; the damaged header read only.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "engine/startup/engine_startup.h"
#include "tests/support/perl_index.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {
namespace {

class FoxProTablesTest : public ::testing::Test {
 protected:
  void SetUp() override { InitEngine(); }
  std::string Dump(const std::string& path) {
    const Result r = Vxdbf({"dump", path, "--format", "jsonl"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  test::TempDir dir_;
};

// Every new type of each variant: created, appended, edited and read back.
TEST_F(FoxProTablesTest, CreatesAppendsAndEditsEveryNewType) {
  struct Case {
    const char* version;
    std::vector<std::string> fields;
    const char* row;
    const char* dumped;
    const char* set;  // an edit of record 1
    const char* edited;
  };
  const Case cases[] = {
      {"0x30",
       {"I,I", "B,B,8,2", "Y,Y", "T,T", "V,V,10", "Q,Q,4", "C,C,3,0,NULL"},
       R"({"I":-7,"B":2.5,"Y":12.3456,"T":"2024-02-29T13:14:15","V":"ab","Q":"0a0b","C":null})",
       R"({"I":-7,"B":2.5,"Y":12.3456,"T":"2024-02-29T13:14:15","V":"ab","Q":"0a0b","C":null})",
       "V=abcdefghij",
       R"({"I":-7,"B":2.5,"Y":12.3456,"T":"2024-02-29T13:14:15","V":"abcdefghij","Q":"0a0b","C":null})"},
      {"0x31",
       {"ID,+", "N,I,4,0,NULL", "T,T"},
       R"({"N":null,"T":"1999-12-31T23:59:59.5"})",
       R"({"ID":1,"N":null,"T":"1999-12-31T23:59:59.500"})",
       "N=42",
       R"({"ID":1,"N":42,"T":"1999-12-31T23:59:59.500"})"},
      {"0x04",
       {"ID,+", "I,I", "O,O", "AT,@"},
       R"({"I":-2147483647,"O":-199.99,"AT":"1970-01-01T00:00:01"})",
       R"({"ID":1,"I":-2147483647,"O":-199.99,"AT":"1970-01-01T00:00:01"})",
       "O=0.1",
       R"({"ID":1,"I":-2147483647,"O":0.1,"AT":"1970-01-01T00:00:01"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    const std::string path = dir_.File(std::string("t") + c.version + ".dbf");
    std::vector<std::string> create = {"create", path, "--version", c.version};
    for (const std::string& f : c.fields) {
      create.push_back("--field");
      create.push_back(f);
    }
    Result r = Vxdbf(create);
    ASSERT_EQ(r.status, 0) << r.err;
    r = Vxdbf({"append", path, "--format", "jsonl"}, std::string(c.row) + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Dump(path), std::string(c.dumped) + "\n");
    r = Vxdbf({"set", path, "1", c.set});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Dump(path), std::string(c.edited) + "\n");
  }
}

// copy keeps every binary value, .NULL. and varying length exactly, with some fields or all,
// and the copy numbers its autoincrement field on from the original's counter; into another
// table kind it is refused and writes nothing.
TEST_F(FoxProTablesTest, CopyKeepsBinaryValuesNullsAndCounters) {
  struct Case {
    const char* version;
    std::vector<std::string> fields;
    std::string rows;
    const char* chosen;  // --fields, or "" for all
    std::string copied;  // the copy's dump after one more append of {}
  };
  const std::string vfp_rows =
      R"({"I":-7,"B":2.5,"Y":12.3456,"T":"2024-02-29T13:14:15.250","V":"ab","Q":"0a0b","C":null,"M":"memo"})"
      "\n"
      R"({"I":null,"B":-1e-300,"Y":-0.0001,"T":null,"V":"0123456789","Q":"","C":"xyz","M":""})"
      "\n";
  const Case cases[] = {
      {"0x30",
       {"I,I,4,0,NULL", "B,B,8,2", "Y,Y", "T,T,8,0,NULL", "V,V,10", "Q,Q,4", "C,C,3,0,NULL", "M,M"},
       vfp_rows,
       "",
       R"({"I":-7,"B":2.5,"Y":12.3456,"T":"2024-02-29T13:14:15.250","V":"ab","Q":"0a0b","C":null,"M":"memo"})"
       "\n"
       R"({"I":null,"B":-1e-300,"Y":-0.0001,"T":null,"V":"0123456789","Q":"","C":"xyz","M":""})"
       "\n"
       R"({"I":0,"B":0,"Y":0.0000,"T":null,"V":"","Q":"","C":"","M":""})"
       "\n"},
      {"0x30",
       {"I,I,4,0,NULL", "B,B,8,2", "Y,Y", "T,T,8,0,NULL", "V,V,10", "Q,Q,4", "C,C,3,0,NULL", "M,M"},
       vfp_rows,
       "C,T,V",
       R"({"C":null,"T":"2024-02-29T13:14:15.250","V":"ab"})"
       "\n"
       R"({"C":"xyz","T":null,"V":"0123456789"})"
       "\n"
       R"({"C":"","T":null,"V":""})"
       "\n"},
      {"0x31",
       {"ID,+", "N,N,4,1"},
       "{\"N\":1.5}\n{}\n",
       "",
       "{\"ID\":1,\"N\":1.5}\n{\"ID\":2,\"N\":null}\n{\"ID\":3,\"N\":null}\n"},
      {"0x04",
       {"ID,+", "O,O", "AT,@"},
       R"({"O":-199.99,"AT":"1970-01-01T00:00:01"})"
       "\n",
       "",
       R"({"ID":1,"O":-199.99,"AT":"1970-01-01T00:00:01"})"
       "\n"
       R"({"ID":2,"O":0,"AT":null})"
       "\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.version) + " " + c.chosen);
    const std::string path = dir_.File("s" + std::to_string(++n) + ".dbf");
    const std::string copy = dir_.File("c" + std::to_string(n) + ".dbf");
    std::vector<std::string> create = {"create", path, "--version", c.version};
    for (const std::string& f : c.fields) {
      create.push_back("--field");
      create.push_back(f);
    }
    ASSERT_EQ(Vxdbf(create).status, 0);
    Result r = Vxdbf({"append", path, "--format", "jsonl"}, c.rows);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> args = {"copy", path, copy};
    if (*c.chosen != 0) args.insert(args.end(), {"--fields", c.chosen});
    r = Vxdbf(args);
    ASSERT_EQ(r.status, 0) << r.err;
    if (*c.chosen == 0) {
      EXPECT_EQ(Dump(copy), Dump(path));
    }
    r = Vxdbf({"append", copy, "--format", "jsonl"}, "{}\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Dump(copy), c.copied);
    EXPECT_EQ(Vxdbf({"check", path}).status, 0);
    EXPECT_EQ(Vxdbf({"check", copy}).status, 0);
  }
  const std::string refused = dir_.File("d3.dbf");
  const Result r = Vxdbf({"copy", dir_.File("s1.dbf"), refused, "--version", "0x03"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("only in a table of the same kind"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(refused));
}

TEST_F(FoxProTablesTest, RefusesValuesTheFieldsCannotHold) {
  const std::string path = dir_.File("v.dbf");
  ASSERT_EQ(Vxdbf({"create", path, "--version", "0x30", "--field", "I,I", "--field", "T,T",
                   "--field", "Q,Q,2"})
                .status,
            0);
  for (const char* row : {R"({"I":1.5})", R"({"I":3000000000})", R"({"T":"2023-02-29"})",
                          R"({"Q":"zz"})", R"({"Q":"010203"})"}) {
    SCOPED_TRACE(row);
    const Result r = Vxdbf({"append", path, "--format", "jsonl"}, std::string(row) + "\n");
    EXPECT_EQ(r.status, 2) << r.err;
  }
  EXPECT_EQ(Dump(path), "");
  // Types of one variant are refused in another.
  EXPECT_EQ(Vxdbf({"create", dir_.File("w.dbf"), "--field", "T,T"}).status, 2);
  EXPECT_EQ(Vxdbf({"create", dir_.File("w.dbf"), "--version", "0x30", "--field", "O,O"}).status, 2);
}

// Two programs appending at once each take the append lock: the autoincrement numbers stay
// unique and without gaps, and every record's varying length and null bit are its own.
TEST_F(FoxProTablesTest, TwoProcessesAppendingAtOnceNumberAndFlagEveryRecordRight) {
  constexpr int kRows = 300;
  const std::string path = dir_.File("ids.dbf");
  ASSERT_EQ(Vxdbf({"create", path, "--version", "0x31", "--field", "ID,+", "--field", "W,C,1",
                   "--field", "V,V,12", "--field", "N,I,4,0,NULL"})
                .status,
            0);
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      std::string input;
      for (int i = 0; i < kRows; ++i) {
        // Child 0 writes short V values and nulls, child 1 full ones and numbers.
        input += c == 0 ? R"({"W":"a","V":")" + std::to_string(i) + R"(","N":null})" + "\n"
                        : R"({"W":"b","V":"full-width-)" + std::to_string(i % 10) + R"(","N":)" +
                              std::to_string(i) + "}\n";
      }
      const Result r =
          Vxdbf({"append", path, "--format", "jsonl", "--retries", "60", "--wait", "1"}, input);
      _exit(r.status);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  std::istringstream dump(Dump(path));
  std::set<int> ids;
  int lines = 0;
  for (std::string line; std::getline(dump, line); ++lines) {
    ids.insert(std::stoi(line.substr(line.find(':') + 1)));
    if (line.find(R"("W":"a")") != std::string::npos) {
      EXPECT_NE(line.find(R"("N":null)"), std::string::npos) << line;
      EXPECT_EQ(line.find("full-width"), std::string::npos) << line;
    } else {
      EXPECT_NE(line.find("full-width-"), std::string::npos) << line;
      EXPECT_EQ(line.find("null"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(lines, 2 * kRows);
  EXPECT_EQ(static_cast<int>(ids.size()), 2 * kRows);
  EXPECT_EQ(*ids.begin(), 1);
  EXPECT_EQ(*ids.rbegin(), 2 * kRows);
}

// A FoxPro table whose header names a structural .CDX (here missing): edits are refused unless
// --ignore-index, which warns; reading is unaffected; check names the missing index.
TEST_F(FoxProTablesTest, StructuralCdxGuardsEdits) {
  const std::string path = dir_.File("cdx.dbf");
  ASSERT_EQ(Vxdbf({"create", path, "--version", "0x30", "--field", "A,C,3"}).status, 0);
  std::vector<unsigned char> bytes = test::ReadBytes(path);
  bytes[28] |= 0x01;
  test::WriteBytes(path, bytes);
  Result r = Vxdbf({"append", path}, "A\r\nx\r\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cdx.cdx"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadBytes(path), bytes);
  r = Vxdbf({"append", path, "--ignore-index"}, "A\r\nx\r\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("is now stale"), std::string::npos) << r.err;
  EXPECT_EQ(Dump(path), "{\"A\":\"x\"}\n");
  // The index the header names is missing: a finding check cannot mend.
  r = Vxdbf({"check", path, "--repair"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("cdx.cdx is missing"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("not repaired"), std::string::npos) << r.err;
}

// index on a Visual FoxPro table makes its structural .CDX and names it in the header; edits
// keep every tag current; --ignore-index leaves it stale, which check finds and --repair
// rebuilds (keeping .bak); reindex writes it again. Perl reads every tag as the rows give.
TEST_F(FoxProTablesTest, IndexReindexAndRepairBuildTheStructuralCdx) {
  const std::string path = dir_.File("fox.dbf");
  ASSERT_EQ(Vxdbf({"create", path, "--version", "0x30", "--field", "NAME,C,8", "--field",
                   "AMT,N,6,1"}).status, 0);
  ASSERT_EQ(Vxdbf({"append", path}, "NAME,AMT\r\npear,2\r\napple,-1\r\nfig,4\r\nApple,3\r\n").status, 0);
  for (const std::vector<std::string>& tag :
       {std::vector<std::string>{"--tag", "NAMES", "--key", "UPPER(NAME)"},
        {"--tag", "POSITIVE", "--key", "NAME", "--for", "AMT > 0", "--unique"},
        {"--tag", "AMOUNT", "--key", "AMT", "--descending"}}) {
    std::vector<std::string> args = {"index", path};
    args.insert(args.end(), tag.begin(), tag.end());
    const Result r = Vxdbf(args);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(test::ReadBytes(path)[28] & 0x01, 0x01);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("fox.mdx")));
  Result r = Vxdbf({"tags", path});
  EXPECT_NE(r.out.find("POSITIVE"), std::string::npos) << r.out;
  EXPECT_EQ(Vxdbf({"seek", path, "--tag", "NAMES", "FIG"}).out, "3\n");
  // Kept current: an append, a change of a key, a deletion.
  ASSERT_EQ(Vxdbf({"append", path}, "NAME,AMT\r\nkiwi,7\r\n").status, 0);
  ASSERT_EQ(Vxdbf({"set", path, "2", "AMT=9"}).status, 0);
  ASSERT_EQ(Vxdbf({"delete", path, "1"}).status, 0);
  r = Vxdbf({"check", path});
  EXPECT_EQ(r.status, 0) << r.out;
  const auto perl_agrees = [&] {
    if (!test::PerlHasXBase()) return;
    using Items = std::vector<std::pair<std::string, std::uint32_t>>;
    const struct {
      const char* tag;
      const char* type;
      Items items;
    } kExpected[] = {
        {"NAMES", "C", {{"APPLE", 2}, {"APPLE", 4}, {"FIG", 3}, {"KIWI", 5}, {"PEAR", 1}}},
        {"POSITIVE", "C", {{"Apple", 4}, {"apple", 2}, {"fig", 3}, {"kiwi", 5}, {"pear", 1}}},
        {"AMOUNT", "N", {{"9", 2}, {"7", 5}, {"4", 3}, {"3", 4}, {"2", 1}}},
    };
    for (const auto& e : kExpected) {
      SCOPED_TRACE(e.tag);
      Items read;
      ASSERT_TRUE(test::PerlReadsIndex(dir_.File("fox.cdx"), e.tag, e.type, dir_.File("perl.txt"), read));
      EXPECT_EQ(read, e.items);
    }
  };
  perl_agrees();
  // Left stale on purpose, found, rebuilt.
  r = Vxdbf({"set", path, "3", "NAME=zz", "--ignore-index"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Vxdbf({"check", path});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("tag NAMES of fox.cdx"), std::string::npos) << r.out;
  r = Vxdbf({"check", path, "--repair"});
  EXPECT_NE(r.err.find("rebuilt tag(s) AMOUNT, NAMES, POSITIVE of"), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir_.File("fox.cdx.bak")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("fox.mdx")));
  EXPECT_EQ(Vxdbf({"check", path}).status, 0);
  EXPECT_EQ(Vxdbf({"seek", path, "--tag", "NAMES", "ZZ"}).out, "3\n");
  ASSERT_EQ(Vxdbf({"set", path, "3", "NAME=fig"}).status, 0);
  r = Vxdbf({"reindex", path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Vxdbf({"check", path}).status, 0);
  perl_agrees();
  // Rewrites that change record numbers or fields build the .CDX again: pack drops record 1,
  // alter makes a new header (which names the .CDX again), zap empties every tag.
  r = Vxdbf({"pack", path});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Vxdbf({"check", path});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Vxdbf({"seek", path, "--tag", "NAMES", "KIWI"}).out, "4\n");
  ASSERT_EQ(Vxdbf({"alter", path, "--add", "EXTRA,N,3,0"}).status, 0);
  EXPECT_EQ(test::ReadBytes(path)[28] & 0x01, 0x01);
  r = Vxdbf({"check", path});
  EXPECT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(Vxdbf({"zap", path, "--yes"}).status, 0);
  r = Vxdbf({"tags", path, "--json"});
  EXPECT_NE(r.out.find("\"keys\":0"), std::string::npos) << r.out;
  EXPECT_EQ(Vxdbf({"check", path}).status, 0);
}

TEST_F(FoxProTablesTest, CorpusDamagedHeaderReadsWithAWarningAndRefusesEdits) {
  const std::filesystem::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus folder (../shared/corpus) is absent";
  const std::string path = dir_.File("stations.dbf");
  std::filesystem::copy_file(corpus / "dbase-rs/stations_with_deleted.dbf", path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  Result r = Vxdbf({"dump", path, "--format", "jsonl", "--deleted"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("need a record length of 1017 bytes, the header says 1016"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("Metro Center"), std::string::npos);
  // check calls it damaged too, by the same rule.
  r = Vxdbf({"check", path});
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("damaged header: the fields need a record length of 1017 bytes"),
            std::string::npos)
      << r.out;
  r = Vxdbf({"set", path, "1", "name=x"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("opens only for reading"), std::string::npos) << r.err;
}

// dBASE level 7's own samples with their level 7 MDX (version 3): the records read through
// every door (dump, check, sql, export); whatever needs the index (edits, tags, pack, zap,
// index, reindex) is refused as not supported, saying so, never advising a repair, and
// nothing changes.
TEST_F(FoxProTablesTest, CorpusLevel7TablesReadEverywhereAndTheirIndexIsNotSupported) {
  const std::filesystem::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus folder (../shared/corpus) is absent";
  const struct {
    const char* table;
    const char* field;  // a character field, in a key
    const char* first;  // dump's first line
  } tables[] = {
      {"engineer.dbf", "FIRSTNAME", R"({"ENGINEER_N":1,"FIRSTNAME":"Kathy","LASTNAME":"Kolosky"})"},
      {"qaid.DBF", "SUMMARY", nullptr},  // with a memo file
  };
  const std::string unsupported =
      "is a dBASE level 7 index (version 3), which this program neither reads nor maintains";
  for (const auto& table : tables) {
    SCOPED_TRACE(table.table);
    const std::string stem = std::filesystem::path(table.table).stem().string();
    const std::filesystem::path from = corpus / "gettingstarted-samples/Data";
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(from)) {
      const std::string name = entry.path().filename().string();
      if (name.substr(0, name.find('.')) != stem) continue;
      files.push_back(dir_.File(name));
      std::filesystem::copy_file(entry.path(), files.back());
      std::filesystem::permissions(files.back(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add);
    }
    const std::string path = dir_.File(table.table);
    const std::string dump = Dump(path);
    const auto records = std::count(dump.begin(), dump.end(), '\n');
    EXPECT_GT(records, 0);
    if (table.first != nullptr) EXPECT_EQ(dump.substr(0, dump.find('\n')), table.first);
    const Result check = Vxdbf({"check", path});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_NE(check.out.find(unsupported), std::string::npos) << check.out;
    const Result sql = Vxdbf(
        {"sql", "SELECT count(*) AS n FROM t WHERE _deleted IN (0, 1)", "--table", "t=" + path});
    EXPECT_EQ(sql.status, 0) << sql.err;
    EXPECT_EQ(sql.out, "n\r\n" + std::to_string(records) + "\r\n");
    const Result exported = Vxdbf({"export", path, "--sqlite", dir_.File("out.db")});
    EXPECT_EQ(exported.status, 0) << exported.err;
    std::filesystem::remove(dir_.File("out.db"));

    std::vector<std::vector<unsigned char>> before;
    for (const std::string& f : files) before.push_back(test::ReadBytes(f));
    for (const std::vector<std::string>& refused : std::vector<std::vector<std::string>>{
             {"set", path, "1", std::string(table.field) + "=Kate"},
             {"append", path},
             {"tags", path},
             {"dump", path, "--tag", table.field},
             {"seek", path, "--tag", table.field, "Kate"},
             {"pack", path},
             {"zap", path, "--yes"},
             {"index", path, "--tag", "NEW", "--key", table.field},
             {"reindex", path},
             {"check", path, "--repair"}}) {
      SCOPED_TRACE(refused[0]);
      const Result r = Vxdbf(refused, std::string(table.field) + "\nx\n");
      if (refused[0] == "check") {
        EXPECT_EQ(r.status, 0) << r.err;
      } else {
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_NE(r.err.find(unsupported), std::string::npos) << r.err;
      }
      EXPECT_EQ(r.err.find("repair"), std::string::npos) << r.err;
      for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(test::ReadBytes(files[i]), before[i]) << files[i];
      }
    }
  }
}

}  // namespace
}  // namespace vx::tool
