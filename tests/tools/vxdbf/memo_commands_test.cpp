// vxdbf over memo fields: append and set write memo text, dump and memo print it, info
// describes the memo file, packmemo shrinks it.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "engine/memo/memo_storage.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {
namespace {

class MemoCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { InitMemoStorage(); }
  std::string Create(const std::string& version) {
    const std::string path = dir_.File("notes.dbf");
    EXPECT_EQ(Vxdbf({"create", path, "--version", version, "--field", "NAME,C,8", "--field",
                     "NOTES,M,10"})
                  .status,
              0);
    return path;
  }
  test::TempDir dir_;
};

// Rows wait in a spool file beside the table until every one is checked: a bad row after
// thousands of good ones (each with a memo) leaves the table and memo file as they were, and
// neither a failed nor a good append leaves the spool behind.
TEST_F(MemoCommandsTest, ABadRowLateInALargeInputWritesNothing) {
  const std::string path = Create("0x8B");
  ASSERT_EQ(Vxdbf({"append", path}, "NAME,NOTES\r\nfirst,kept\r\n").status, 0);
  const auto table = test::ReadBytes(path);
  const auto memos = test::ReadBytes(dir_.File("notes.dbt"));
  std::string input = "NAME,NOTES\r\n";
  for (int i = 0; i < 20000; ++i) {
    input += "n" + std::to_string(i) + "," + std::string(100 + i % 300, 'a' + i % 26) + "\r\n";
  }
  for (const char* bad : {"far too long a name,x\r\n", "\"never closed\r\n"}) {
    SCOPED_TRACE(bad);
    const Result r = Vxdbf({"append", path}, input + bad);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(test::ReadBytes(path), table);
    EXPECT_EQ(test::ReadBytes(dir_.File("notes.dbt")), memos);
  }
  const Result good = Vxdbf({"append", path}, input);
  ASSERT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(good.out, "20000\n");
  const std::string dump = Vxdbf({"dump", path}).out;
  EXPECT_NE(dump.find("n19999," + std::string(100 + 19999 % 300, 'a' + 19999 % 26)),
            std::string::npos);
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2u);  // the table and its memo file
}

TEST_F(MemoCommandsTest, AppendSetDumpAndPrintMemoText) {
  for (const char* version : {"0x83", "0x8B", "0xF5"}) {
    SCOPED_TRACE(version);
    const std::string path = Create(version);
    const std::string big(1500, 'b');
    ASSERT_EQ(Vxdbf({"append", path},
                    "NAME,NOTES\none,\"first, with \"\"quotes\"\"\r\nline 2\"\n"
                    "two,\ncafé," +
                        big + "\n")
                  .status,
              0);
    EXPECT_EQ(Vxdbf({"memo", path, "1", "notes"}).out, "first, with \"quotes\"\r\nline 2\n");
    EXPECT_EQ(Vxdbf({"memo", path, "2", "NOTES"}).out, "\n");
    ASSERT_EQ(Vxdbf({"set", path, "3", "NOTES=Grüße"}).status, 0);
    const Result jsonl = Vxdbf({"dump", path, "--format", "jsonl"});
    EXPECT_EQ(jsonl.out,
              "{\"NAME\":\"one\",\"NOTES\":\"first, with \\\"quotes\\\"\\r\\nline 2\"}\n"
              "{\"NAME\":\"two\",\"NOTES\":\"\"}\n"
              "{\"NAME\":\"café\",\"NOTES\":\"Grüße\"}\n");
    EXPECT_EQ(Vxdbf({"dump", path}).out,
              "NAME,NOTES\r\none,\"first, with \"\"quotes\"\"\r\nline 2\"\r\ntwo,\r\n"
              "café,Grüße\r\n");
    EXPECT_EQ(Vxdbf({"memo", path, "1", "NAME"}).status, 2);
    std::filesystem::remove_all(dir_.path() / "notes.dbf");
    for (const char* ext : {"notes.dbt", "notes.fpt"}) std::filesystem::remove(dir_.path() / ext);
  }
}

// Record 1 names a block past the end of the memo file, record 2 is intact, the memos of
// records 3 and 4 lost their end markers (3 would run into 4's, 4 to the end of the file):
// every record is printed, the damage is named per record and field, and the exit status says
// that something was wrong.
TEST_F(MemoCommandsTest, DamagedMemosAreNamedAndTheDumpGoesOn) {
  const std::string path = Create("0x83");
  ASSERT_EQ(
      Vxdbf({"append", path}, "NAME,NOTES\none,lost\ntwo,kept\nthree,open\nfour,last\n").status, 0);
  auto table = test::ReadBytes(path);
  const std::size_t header = table[8] | table[9] << 8, length = table[10];
  std::memcpy(&table[header + 9], "    999999", 10);  // record 1
  test::WriteBytes(path, table);
  auto memo = test::ReadBytes(dir_.File("notes.dbt"));
  const std::size_t third = 3 * 512;  // record 3's memo: blocks 1, 2, 3, 4 in order
  ASSERT_EQ(std::string(memo.begin() + third, memo.begin() + third + 4), "open");
  for (const std::size_t at : {third, third + 512}) {  // records 3 and 4
    memo[at + 4] = 'X';
    memo[at + 5] = 'Y';
  }
  test::WriteBytes(dir_.File("notes.dbt"), memo);
  ASSERT_EQ(length, 19u);

  const Result jsonl = Vxdbf({"dump", path, "--format", "jsonl"});
  EXPECT_EQ(jsonl.status, 1);
  const std::string zeros = [] {
    std::string z;
    for (int i = 0; i < 512 - 6; ++i) z += "\\u0000";
    return z;
  }();
  EXPECT_EQ(jsonl.out,
            "{\"NAME\":\"one\",\"NOTES\":null}\n"
            "{\"NAME\":\"two\",\"NOTES\":\"kept\"}\n"
            "{\"NAME\":\"three\",\"NOTES\":\"openXY" +
                zeros +
                "\"}\n"
                "{\"NAME\":\"four\",\"NOTES\":\"lastXY" +
                zeros + "\"}\n");
  EXPECT_NE(jsonl.err.find("record 1, field NOTES: memo unreadable"), std::string::npos)
      << jsonl.err;
  EXPECT_NE(jsonl.err.find("Invalid memo address"), std::string::npos) << jsonl.err;
  for (const char* record : {"record 3", "record 4"}) {
    EXPECT_NE(jsonl.err.find(std::string(record) + ", field NOTES: memo has no end marker, cut "
                                                   "at 512 bytes"),
              std::string::npos)
        << jsonl.err;
  }
  const Result csv = Vxdbf({"dump", path});
  EXPECT_EQ(csv.status, 1);
  EXPECT_EQ(csv.out.substr(0, csv.out.find("two")), "NAME,NOTES\r\none,\r\n");
}

TEST_F(MemoCommandsTest, InfoDescribesTheMemoFileAndPackmemoShrinksIt) {
  const std::string path = Create("0x8B");
  ASSERT_EQ(
      Vxdbf({"append", path}, "NAME,NOTES\na," + std::string(1200, 'a') + "\nb," +
                                  std::string(100, 'b') + "\nc," + std::string(1200, 'c') + "\n")
          .status,
      0);
  // The new text goes to a new block (8) before the record names it; then 1-3 are free.
  ASSERT_EQ(Vxdbf({"set", path, "1", "NOTES=small"}).status, 0);
  ASSERT_EQ(Vxdbf({"set", path, "3", "NOTES="}).status, 0);       // blocks 5-7 free
  const Result info = Vxdbf({"info", path});
  EXPECT_NE(info.out.find("Memo kind:        dBASE IV\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Memo block size:  512\n"), std::string::npos);
  EXPECT_NE(info.out.find("Next free block:  1\n"), std::string::npos);
  EXPECT_NE(info.out.find("Free chain:       2 groups, 6 blocks\n"), std::string::npos);
  const Result json = Vxdbf({"info", path, "--json"});
  EXPECT_NE(json.out.find("\"memo\":{\"kind\":\"dBASE IV\",\"block_size\":512,\"size\":4608,"
                          "\"next_free\":1,\"free_groups\":2,\"free_blocks\":6,"
                          "\"chain_damaged\":false}"),
            std::string::npos)
      << json.out;

  const Result pack = Vxdbf({"packmemo", path});
  ASSERT_EQ(pack.status, 0) << pack.err;
  EXPECT_EQ(pack.out, "3072 bytes saved\n");  // 9 blocks down to 3
  EXPECT_EQ(Vxdbf({"dump", path}).out,
            "NAME,NOTES\r\na,small\r\nb," + std::string(100, 'b') + "\r\nc,\r\n");
  EXPECT_NE(Vxdbf({"info", path}).out.find("Free chain:       0 groups, 0 blocks\n"),
            std::string::npos);
}

}  // namespace
}  // namespace vx::tool
