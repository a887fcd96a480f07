// vxdbf pack and zap: what they keep and remove, and that a refusal, a full disk, a failed
// flush or a process killed at any stage leaves the table, memo file and index as they were.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <sstream>

#include "engine/api/ops/file_replacement.h"
#include "engine/startup/engine_startup.h"
#include "platform/os/file.h"
#include "tests/support/child_process.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"
#include "tools/vxdbf/command_line.h"

namespace vx::tool {
namespace {

using ops::FileReplacement;
using ops::RecoverReplacement;
using ops::ReplaceStage;
using ops::ReplaceStageHook;
using Snapshot = std::map<std::string, std::vector<unsigned char>>;

class MaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override { InitEngine(); }

  // 40 records with memos of growing length, every fourth deleted, three tags (one with FOR).
  std::string Table(const std::string& version) {
    path_ = dir_.File("t.dbf");
    EXPECT_EQ(Vxdbf({"create", path_, "--version", version, "--field", "NAME,C,10", "--field",
                     "NUM,N,6", "--field", "NOTES,M"})
                  .status,
              0);
    std::string rows = "NAME,NUM,NOTES\n";
    for (int i = 1; i <= 40; ++i) {
      rows += "n" + std::to_string(i % 7) + "," + std::to_string(1000 - i) + "," +
              (i % 5 == 0 ? "" : "memo " + std::to_string(i) + std::string(i * 37, 'x')) + "\n";
    }
    EXPECT_EQ(Vxdbf({"append", path_}, rows).status, 0);
    for (int n = 4; n <= 40; n += 4)
      EXPECT_EQ(Vxdbf({"delete", path_, std::to_string(n)}).status, 0);
    EXPECT_EQ(Vxdbf({"index", path_, "--tag", "NAME", "--key", "NAME"}).status, 0);
    EXPECT_EQ(Vxdbf({"index", path_, "--tag", "NUM", "--key", "NUM", "--descending"}).status, 0);
    EXPECT_EQ(Vxdbf({"index", path_, "--tag", "SOME", "--key", "NAME+STR(NUM)", "--for", "NUM>980"})
                  .status,
              0);
    return path_;
  }

  Snapshot Files() const {
    Snapshot files;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      files[entry.path().filename().string()] = test::ReadBytes(entry.path().string());
    }
    return files;
  }
  void Restore(const Snapshot& files) {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      std::filesystem::remove(entry.path());
    }
    for (const auto& [name, bytes] : files) test::WriteBytes(dir_.File(name), bytes);
  }
  std::string Visible() { return Vxdbf({"dump", path_, "--visible"}).out; }

  test::TempDir dir_;
  std::string path_;
};

TEST_F(MaintenanceTest, PackKeepsTheLiveRecordsTheirMemosAndEveryTag) {
  for (const char* version : {"0x83", "0x8B", "0xF5"}) {
    SCOPED_TRACE(version);
    Table(version);
    const std::string memo_name = std::string(version) == "0xF5" ? "t.fpt" : "t.dbt";
    const std::string live = Visible();
    const auto old_memo = test::ReadBytes(dir_.File(memo_name)).size();
    const Result pack = Vxdbf({"pack", path_});
    ASSERT_EQ(pack.status, 0) << pack.err;
    const auto new_memo = test::ReadBytes(dir_.File(memo_name)).size();
    EXPECT_EQ(pack.out,
              "removed 10 record(s), 30 kept\nmemo file: " + std::to_string(old_memo - new_memo) +
                  " bytes removed (" + std::to_string(old_memo) + " -> " +
                  std::to_string(new_memo) + ")\nrebuilt tag(s): NAME, NUM, SOME\n");
    EXPECT_LT(new_memo, old_memo);
    EXPECT_EQ(Vxdbf({"dump", path_}).out, live);
    const Result check = Vxdbf({"check", path_});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(check.out, "No problems found (3 tags)\n");
    // Records that were 5, 6, 7 are now 4, 5, 6: the tags walk the new numbers.
    EXPECT_EQ(Vxdbf({"seek", path_, "--tag", "NUM", "995"}).out, "4\n");
    const Snapshot files = Files();
    EXPECT_EQ(files.size(), 3u);  // no temporary file, journal or backup is left
    // Packing again finds nothing to remove and changes no record.
    EXPECT_EQ(Vxdbf({"pack", path_}).out.substr(0, 29), "removed 0 record(s), 30 kept\n");
    EXPECT_EQ(Vxdbf({"dump", path_}).out, live);
    Restore({});
  }
}

// Another program's memo file may be packed tighter than the blocks a rewrite gives each memo
// (here a memo filling exactly one block, which the rewrite gives two): the file grows, and
// pack says so instead of counting negative bytes "removed".
TEST_F(MaintenanceTest, PackSaysWhenTheMemoFileGrows) {
  path_ = dir_.File("g.dbf");
  ASSERT_EQ(Vxdbf({"create", path_, "--version", "0x8B", "--field", "NOTES,M"}).status, 0);
  const std::string text(504, 'x');
  ASSERT_EQ(Vxdbf({"append", path_}, "NOTES\n" + text + "\n" + text + "\n" + text + "\n" + text + "\n")
                .status,
            0);
  ASSERT_EQ(Vxdbf({"delete", path_, "4"}).status, 0);
  // The memos moved into one block each: 8 bytes of block header and 504 of text.
  auto dbf = test::ReadBytes(path_);
  auto dbt = test::ReadBytes(dir_.File("g.dbt"));
  const std::size_t header = dbf[8] | dbf[9] << 8, record = dbf[10] | dbf[11] << 8;
  std::vector<unsigned char> packed(dbt.begin(), dbt.begin() + 512);
  for (unsigned i = 0; i < 4; ++i) {
    const std::string pointer = std::string(9, ' ') + std::to_string(i + 1);
    std::copy(pointer.begin(), pointer.end(), dbf.begin() + header + i * record + 1);
    const unsigned char block_header[] = {0xFF, 0xFF, 0x08, 0x00, 0x00, 0x02, 0x00, 0x00};
    packed.insert(packed.end(), std::begin(block_header), std::end(block_header));
    packed.insert(packed.end(), text.begin(), text.end());
  }
  packed[0] = 5, packed[1] = packed[2] = packed[3] = 0;  // next free block
  test::WriteBytes(path_, dbf);
  test::WriteBytes(dir_.File("g.dbt"), packed);
  const std::string live = Visible();
  ASSERT_EQ(live, "NOTES\r\n" + text + "\r\n" + text + "\r\n" + text + "\r\n");

  const Result pack = Vxdbf({"pack", path_});
  ASSERT_EQ(pack.status, 0) << pack.err;
  const auto grown = test::ReadBytes(dir_.File("g.dbt")).size();
  ASSERT_GT(grown, packed.size());
  EXPECT_EQ(pack.out, "removed 1 record(s), 3 kept\nmemo file: " +
                          std::to_string(grown - packed.size()) + " bytes larger (" +
                          std::to_string(packed.size()) + " -> " + std::to_string(grown) + ")\n");
  EXPECT_EQ(Visible(), live);
  EXPECT_EQ(Vxdbf({"check", path_}).status, 0);
}

TEST_F(MaintenanceTest, ZapEmptiesTheTableAndKeepsItsDefinitions) {
  Table("0x8B");
  const Snapshot before = Files();
  const Result refused = Vxdbf({"zap", path_});  // no terminal to ask, no --yes
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("give --yes"), std::string::npos) << refused.err;
  EXPECT_EQ(Files(), before);

  const Result zap = Vxdbf({"zap", path_, "--yes", "--backup"});
  ASSERT_EQ(zap.status, 0) << zap.err;
  EXPECT_NE(zap.out.find("removed 40 record(s), 0 kept\n"), std::string::npos) << zap.out;
  EXPECT_EQ(Vxdbf({"dump", path_}).out, "NAME,NUM,NOTES\r\n");
  EXPECT_EQ(Vxdbf({"check", path_}).status, 0);
  EXPECT_EQ(test::ReadBytes(dir_.File("t.dbt")).size(), 512u);
  const std::string tags = Vxdbf({"tags", path_, "--json"}).out;
  EXPECT_NE(tags.find("\"name\":\"SOME\",\"key\":\"NAME+STR(NUM)\",\"for\":\"NUM>980\""),
            std::string::npos)
      << tags;
  // The old files are kept byte for byte.
  for (const char* name : {"t.dbf", "t.dbt", "t.mdx"}) {
    EXPECT_EQ(test::ReadBytes(dir_.File(std::string(name) + ".bak")), before.at(name)) << name;
  }
  // An empty table takes new records and keys.
  EXPECT_EQ(Vxdbf({"append", path_}, "NAME,NUM,NOTES\nnew,5,text\n").status, 0);
  EXPECT_EQ(Vxdbf({"seek", path_, "--tag", "NAME", "new"}).out, "1\n");
}

TEST_F(MaintenanceTest, RefusedWhileAnotherProgramHasAFileOpen) {
  Table("0x8B");
  const Snapshot before = Files();
  for (const char* name : {"t.dbf", "t.dbt", "t.mdx"}) {
    SCOPED_TRACE(name);
    os::File other;
    ASSERT_EQ(os::File::Open(dir_.File(name), os::kOpenReadWriteDenyNone, other), 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"pack", path_}, {"zap", path_, "--yes"}}) {
      const Result r = Vxdbf(args);
      EXPECT_EQ(r.status, 3) << r.err;
      EXPECT_NE(r.err.find("is open in another program"), std::string::npos) << r.err;
    }
    EXPECT_EQ(Files(), before);
  }
}

// A full disk or a failed flush while any of the new files is written: the command fails, the
// old files are untouched and nothing is left beside them.
TEST_F(MaintenanceTest, AFullDiskOrAFailedFlushChangesNothing) {
  Table("0x8B");
  const Snapshot before = Files();
  const struct {
    const char* what;
    void (*arm)(test::FaultInjection&);
  } kFaults[] = {
      {"table full", [](test::FaultInjection& f) { f.DiskFull(".dbf", 100); }},
      {"memo full", [](test::FaultInjection& f) { f.DiskFull(".dbt", 256); }},
      // The index is built in a temporary file and renamed into place.
      {"index full", [](test::FaultInjection& f) { f.DiskFull(".tmp", 2048); }},
      {"memo flush", [](test::FaultInjection& f) { f.Fail(test::Call::kFsync, ".dbt", EIO); }},
      {"index flush", [](test::FaultInjection& f) { f.Fail(test::Call::kFsync, ".mdx", EIO); }},
      {"journal", [](test::FaultInjection& f) { f.Fail(test::Call::kWrite, ".vxj", ENOSPC); }},
  };
  for (const auto& fault : kFaults) {
    for (const char* command : {"pack", "zap"}) {
      SCOPED_TRACE(std::string(fault.what) + " " + command);
      Result r;
      {
        test::FaultInjection faults;
        fault.arm(faults);
        std::vector<std::string> args = {command, path_};
        if (std::string(command) == "zap") args.push_back("--yes");
        r = Vxdbf(args);
        EXPECT_GT(faults.fired(), 0);
      }
      EXPECT_EQ(r.status, 1) << r.out << r.err;
      EXPECT_NE(r.err.find("unchanged"), std::string::npos) << r.err;
      EXPECT_EQ(Files(), before);
    }
  }
}

TEST_F(MaintenanceTest, CopyWritesTheChosenFieldsAndRecordsInAnyKindAndPage) {
  Table("0x8B");
  ASSERT_EQ(Vxdbf({"set", path_, "1", "NAME=Grüße"}).status, 0);
  const std::string copy = dir_.File("c.dbf");
  const struct {
    std::vector<std::string> options;
    const char* dump;  // the copy's first lines
    const char* info;  // a line of `info`
  } kCases[] = {
      {{}, "NAME,NUM,NOTES\r\nGrüße,999,memo 1xxxxx", "Version:          0x8B"},
      {{"--fields", "notes,NAME", "--for", "NUM>=997", "--version", "0xF5"},
       "NOTES,NAME\r\nmemo 1",
       "Version:          0xF5 (FoxPro with memo)"},
      {{"--fields", "NUM,NAME", "--tag", "NUM", "--version", "0x03", "--codepage", "1252"},
       "NUM,NAME\r\n999,Grüße\r\n998,n2\r\n",
       "Language driver:  0x03 (Windows ANSI Latin I, code page 1252)"},
      {{"--structure-only", "--version", "0x83"}, "NAME,NUM,NOTES\r\n", "Records:          0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.dump);
    std::vector<std::string> args = {"copy", path_, copy, "--overwrite"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Result r = Vxdbf(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string dump = Vxdbf({"dump", copy}).out;
    EXPECT_EQ(dump.substr(0, std::string(c.dump).size()), c.dump) << dump.substr(0, 200);
    EXPECT_NE(Vxdbf({"info", copy}).out.find(c.info), std::string::npos);
    EXPECT_EQ(Vxdbf({"check", copy}).status, 0);
  }
  // Every record and memo of the default copy, deletion marks included, and the tags on demand.
  ASSERT_EQ(Vxdbf({"copy", path_, copy, "--overwrite", "--with-index"}).status, 0);
  EXPECT_EQ(Vxdbf({"dump", copy, "--deleted"}).out, Vxdbf({"dump", path_, "--deleted"}).out);
  EXPECT_EQ(Vxdbf({"check", copy}).out, "No problems found (3 tags)\n");

  // Refusals: the copy exists, a character the page lacks (naming record and field), a field
  // that is not there; none of them leaves a file.
  // Overwritten by a copy without memo fields or tags: the old memo file and index go too.
  ASSERT_EQ(Vxdbf({"copy", path_, copy, "--overwrite", "--fields", "NAME"}).status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("c.dbt")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("c.mdx")));
  EXPECT_EQ(Vxdbf({"check", copy}).status, 0);
  std::filesystem::remove(copy);
  const Snapshot before = Files();
  Result r = Vxdbf({"copy", path_, path_});
  EXPECT_EQ(r.status, 2);
  r = Vxdbf({"copy", path_, copy, "--codepage", "1251"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("record 1, field NAME: \"ü\" has no place in code page 1251"),
            std::string::npos)
      << r.err;
  r = Vxdbf({"copy", path_, copy, "--fields", "NAME,WHO"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no field \"WHO\""), std::string::npos) << r.err;
  EXPECT_EQ(Files(), before);
  r = Vxdbf({"copy", path_, copy, "--codepage", "1251", "--lossy"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Vxdbf({"dump", copy}).out.substr(0, 25), "NAME,NUM,NOTES\r\nGr??e,999");
  EXPECT_EQ(Vxdbf({"copy", path_, copy}).err,
            "vxdbf: " + copy + " exists (--overwrite replaces it)\n");
}

TEST_F(MaintenanceTest, AlterConvertsTheRecordsAndRebuildsTheTagsThatStillCompile) {
  Table("0x8B");
  const std::string before = Vxdbf({"dump", path_, "--deleted"}).out;
  // Refusals first: each names what is wrong, and nothing changes.
  const Snapshot files = Files();
  const struct {
    std::vector<std::string> options;
    const char* refusal;
  } kRefused[] = {
      {{"--rename", "NAME=TITLE"}, "tag(s) NAME, SOME name a field that is gone or renamed"},
      {{"--drop", "NUM", "--drop-tag", "NUM"}, "tag(s) SOME name a field"},
      {{"--retype", "NUM,N,2"}, "record 1, field NUM: 999 does not fit in NUM (2,0)"},
      {{"--retype", "NAME,N,5", "--drop-tag", "SOME"},
       "record 1, field NAME: \"n1\" is not a number"},
      {{"--retype", "NAME,D", "--drop-tag", "SOME"}, "record 1, field NAME: \"n1\" is not a date"},
      {{"--retype", "NOTES,N,5"}, "field NOTES cannot change from type M to N"},
      {{"--drop", "WHO"}, "no field \"WHO\""},
      {{"--add", "num,C,3"}, "field 4 \"num\": the name of field 2 again"},
      {{"--drop-tag", "NONE"}, "no tag \"NONE\""},
  };
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.refusal);
    std::vector<std::string> args = {"alter", path_};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Result r = Vxdbf(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.refusal), std::string::npos) << r.err;
    EXPECT_EQ(Files(), files);
  }
  // Widen NUM with decimals, turn it to text and back, add fields, keep every memo.
  Result r = Vxdbf({"alter", path_, "--retype", "NUM,N,8,2", "--add", "WHEN,D", "--add", "NOTE2,M",
                    "--rename", "NOTES=TEXT", "--drop-tag", "SOME", "--backup"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "altered " + path_ +
                       ": 5 field(s), 40 record(s), rebuilt tag(s) NAME, NUM\n"
                       "old files kept as " +
                       path_ + ".bak, " + dir_.File("t.dbt") + ".bak, " + dir_.File("t.mdx") +
                       ".bak\n");
  EXPECT_EQ(Vxdbf({"check", path_}).out, "No problems found (2 tags)\n");
  const std::string dump = Vxdbf({"dump", path_, "--deleted"}).out;
  EXPECT_EQ(dump.rfind("_deleted,NAME,NUM,TEXT,WHEN,NOTE2\r\n,n1,999.00,memo 1xxx", 0), 0u)
      << dump.substr(0, 80);
  EXPECT_EQ(Vxdbf({"seek", path_, "--tag", "NUM", "995.00"}).out, "5\n");
  ASSERT_EQ(Vxdbf({"alter", path_, "--retype", "NUM,C,7", "--retype", "TEXT,C,254", "--drop",
                   "WHEN", "--drop", "NOTE2"})
                .status,
            2);  // memo 39 is longer than 254 characters
  ASSERT_EQ(Vxdbf({"alter", path_, "--retype", "NUM,C,7", "--drop", "WHEN", "--drop", "NOTE2",
                   "--rename", "TEXT=NOTES"})
                .status,
            0);
  ASSERT_EQ(Vxdbf({"alter", path_, "--retype", "NUM,N,6"}).status, 0);
  EXPECT_EQ(Vxdbf({"dump", path_, "--deleted"}).out, before);
  EXPECT_EQ(Vxdbf({"check", path_}).status, 0);
}

// info, check and tags over several tables or a folder: one result each, the worst status.
TEST_F(MaintenanceTest, SeveralFilesGiveOneResultEach) {
  Table("0x8B");
  const std::string other = dir_.File("u.dbf");
  ASSERT_EQ(Vxdbf({"copy", path_, other}).status, 0);
  Result r = Vxdbf({"info", path_, other});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("==> " + path_ + " <==\nVersion:"), 0u) << r.out;
  EXPECT_NE(r.out.find("\n\n==> " + other + " <==\nVersion:"), std::string::npos) << r.out;
  // A folder stands for its tables; a damaged one makes the status 4, the other is still told.
  auto bytes = test::ReadBytes(other);
  bytes[4] = 99;  // the header counts records the file does not hold
  test::WriteBytes(other, bytes);
  r = Vxdbf({"check", dir_.path().string()});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.out.find("t.dbf <==\nNo problems found (3 tags)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("u.dbf <==\ntable: the header counts 99 records"), std::string::npos)
      << r.out;
  r = Vxdbf({"tags", path_, dir_.File("none.dbf")});
  EXPECT_EQ(r.status, 1);  // a missing file
  EXPECT_NE(r.out.find("NAME       C  10"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("none.dbf: "), std::string::npos) << r.err;
  // The completion script and the man page come from the same definitions.
  const std::string completion = Vxdbf({"completion", "bash"}).out;
  EXPECT_NE(completion.find("    pack) opts=\"--help --index --backup\" ;;\n"), std::string::npos)
      << completion;
  EXPECT_NE(completion.find("complete -o filenames -F _vxdbf vxdbf"), std::string::npos);
  const std::string man = Vxdbf({"man"}).out;
  EXPECT_NE(man.find(".SS zap\nRemoves every record"), std::string::npos);
  EXPECT_NE(man.find(".B \\-\\-yes\ndo not ask"), std::string::npos) << man.substr(0, 300);
  // The manual's own text goes under its command in both forms (docs/vxdbf.md is the second).
  const std::string markdown = Vxdbf({"man", "--markdown"}).out;
  EXPECT_NE(markdown.find("On a terminal it asks first; elsewhere it needs `--yes`."),
            std::string::npos);
  EXPECT_LT(markdown.find("### zap\n"), markdown.find("elsewhere it needs `--yes`"));
  EXPECT_NE(man.find("On a terminal it asks first; elsewhere it needs \\fB\\-\\-yes\\fR."),
            std::string::npos);
  // A line of text that begins with a dot or a quote would be a roff request: only the page's
  // own requests begin a line so.
  std::istringstream lines(man);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || (line[0] != '.' && line[0] != '\'')) continue;
    const std::string request = line.substr(0, line.find(' '));
    EXPECT_TRUE(request == ".TH" || request == ".SH" || request == ".SS" || request == ".PP" ||
                request == ".TP" || request == ".B" || request == ".br" || request == ".IP" ||
                request == ".nf" || request == ".fi")
        << line;
  }
}

// Each refusal names the field and leaves no file behind.
TEST_F(MaintenanceTest, CreateRefusesDefinitionsOtherProgramsWouldNotReadBack) {
  const std::string path = dir_.File("new.dbf");
  const struct {
    std::vector<std::string> fields;
    const char* refusal;
  } kCases[] = {
      {{"NAME,C,10", "name,N,4"}, "field 2 \"name\": the name of field 1 again"},
      {{"ABCDEFGHIJK,C,10"}, "field 1 \"ABCDEFGHIJK\": a name has at most 10 characters"},
      {{"A,C,2", "MY NAME,C,10"}, "field 2 \"MY NAME\": a name holds only letters, digits"},
      {{"NAME-2,C,10"}, "field 1 \"NAME-2\": a name holds only"},
      {{"2ND,C,10"}, "field 1 \"2ND\": a name begins with a letter"},
      {{"PRICE,N,4,4"}, "field 1 \"PRICE\": 4 decimals need a width above 4, not 4"},
      {{"PRICE,N,4,6"}, "field 1 \"PRICE\": 6 decimals need a width above 6, not 4"},
      {{"PRICE,N,21"}, "field 1 \"PRICE\": type N takes a width of 1 to 20, not 21"},
      {{"TEXT,C,0"}, "field 1 \"TEXT\": type C takes a width of 1 to 254, not 0"},
      {{"TEXT,C,255"}, "type C takes a width of 1 to 254, not 255"},
      {{"WHEN,D,10"}, "field 1 \"WHEN\": type D is 8 wide, not 10"},
      {{"WHAT,X,10"}, "field 1 \"WHAT\": no field type \"X\""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.refusal);
    std::vector<std::string> args = {"create", path};
    for (const std::string& f : c.fields) args.insert(args.end(), {"--field", f});
    const Result r = Vxdbf(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.refusal), std::string::npos) << r.err;
    EXPECT_TRUE(Files().empty());
  }
  EXPECT_NE(Vxdbf({"create", "--help"}).out.find("  N  number, LEN 1 to 20, DEC 0 to LEN - 1"),
            std::string::npos);
}

// create on an existing table: refused, and with --overwrite the old memo file and index go too.
TEST_F(MaintenanceTest, CreateOverwritesOnlyWhenAskedAndLeavesNoOrphans) {
  Table("0x8B");
  const Snapshot before = Files();
  const Result refused = Vxdbf({"create", path_, "--field", "A,C,5"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("t.dbf exists (--overwrite replaces it)"), std::string::npos);
  EXPECT_EQ(Files(), before);
  {
    os::File other;
    ASSERT_EQ(os::File::Open(dir_.File("t.mdx"), os::kOpenReadOnlyDenyNone, other), 0);
    EXPECT_EQ(Vxdbf({"create", path_, "--overwrite", "--field", "A,C,5"}).status, 3);
    EXPECT_EQ(Files(), before);
  }
  ASSERT_EQ(Vxdbf({"create", path_, "--overwrite", "--field", "A,C,5"}).status, 0);
  const Snapshot after = Files();
  EXPECT_EQ(after.size(), 1u);
  EXPECT_EQ(after.count("t.dbf"), 1u);
  EXPECT_EQ(Vxdbf({"check", path_}).status, 0);
}

ReplaceStage KillStage = ReplaceStage::kCopying;
test::Child* Packer = nullptr;

void KillAt(ReplaceStage stage) {
  if (stage != KillStage) return;
  Packer->Send('k');
  ::kill(::getpid(), SIGKILL);
}

// A pack killed at each stage: before the journal is gone the old files come back whole (the
// next command that rewrites the table undoes the rest), after it the packed files stand.
TEST_F(MaintenanceTest, APackKilledAtAnyStageLeavesTheOldFilesOrTheNewOnes) {
  Table("0x8B");
  const Snapshot before = Files();
  const std::string live = Visible();
  for (const ReplaceStage stage :
       {ReplaceStage::kCopying, ReplaceStage::kIndexing, ReplaceStage::kWritten,
        ReplaceStage::kRenaming, ReplaceStage::kCommitted}) {
    SCOPED_TRACE(static_cast<int>(stage));
    Restore(before);
    {
      test::Child packer([&](test::Child& self) {
        Packer = &self;
        KillStage = stage;
        ReplaceStageHook = KillAt;
        Vxdbf({"pack", path_});
        return 0;
      });
      EXPECT_EQ(packer.Receive(), 'k');
      EXPECT_EQ(packer.Wait(), -1);  // killed
    }
    if (stage == ReplaceStage::kCommitted) {
      EXPECT_FALSE(RecoverReplacement(path_));
      EXPECT_EQ(Vxdbf({"dump", path_}).out, live);
      // The old files it had not yet removed: check names them, --repair removes them.
      EXPECT_NE(Vxdbf({"check", path_}).out.find(".dbf.old is a temporary file"),
                std::string::npos);
      EXPECT_EQ(Vxdbf({"check", path_, "--repair"}).status, 0);
      EXPECT_EQ(Vxdbf({"check", path_}).status, 0);
      continue;
    }
    EXPECT_TRUE(std::filesystem::exists(dir_.File("t.vxj")));
    // Any later pack undoes the half-done one first; here it is asked for directly.
    try {
      EXPECT_TRUE(RecoverReplacement(path_));
    } catch (const vexel::Error& e) {
      ADD_FAILURE() << e.what();
    }
    EXPECT_EQ(Files(), before);
    // A journal that a running rewrite holds is not undone: the other command is refused.
    {
      FileReplacement running(path_, {path_});
      const Result refused = Vxdbf({"pack", path_});
      EXPECT_EQ(refused.status, 3);
      EXPECT_NE(refused.err.find("another program is rewriting"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(Files(), before);
    // And a pack after it runs as if nothing had happened.
    const Result pack = Vxdbf({"pack", path_});
    EXPECT_EQ(pack.status, 0) << pack.err;
    EXPECT_EQ(Vxdbf({"dump", path_}).out, live);
  }
}

}  // namespace
}  // namespace vx::tool
