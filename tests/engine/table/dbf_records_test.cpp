// Record input and output, header updates, closing and table creation, pinned at the byte level.

#include "engine/table/dbf_records.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

using test::Bytes;
using test::DbfBuilder;

std::string Record(const TableRecord& t) { return std::string(t.record.data(), t.record.size()); }

// Prologue bytes 1..3 for today.
Bytes TodayBytes() {
  const os::LocalTime now = os::Now();
  return {static_cast<unsigned char>(now.year - 1900), static_cast<unsigned char>(now.month),
          static_cast<unsigned char>(now.day)};
}

class DbfRecordsTest : public ::testing::Test {
 protected:
  void OpenTable(const Bytes& bytes, TableRecord& t, int mode = os::kOpenReadWriteDenyNone) {
    path_ = dir_.File("t.dbf");
    test::WriteBytes(path_, bytes);
    t.file_name = path_;
    t.open_mode = mode;
    OpenDbf(t);
  }
  static Bytes ThreeNames() {
    return DbfBuilder(0x03)
        .Field("NAME", 'C', 5)
        .Record(" Alice")
        .Record(" Bob  ")
        .Record("*Carol")
        .Build();
  }
  test::TempDir dir_;
  std::string path_;
};

TEST_F(DbfRecordsTest, ReadsRecordsByNumber) {
  TableRecord t;
  OpenTable(ThreeNames(), t);
  GetDbfRecord(t, 3);
  EXPECT_EQ(Record(t), "*Carol");
  EXPECT_EQ(t.record_number, 3);
  GetDbfRecord(t, 1);
  EXPECT_EQ(Record(t), " Alice");
}

TEST_F(DbfRecordsTest, RejectsRecordNumbersOutOfRangeAndKeepsPosition) {
  TableRecord t;
  OpenTable(ThreeNames(), t);
  GetDbfRecord(t, 2);
  for (const std::int32_t n : {0, 4, -1}) {
    SCOPED_TRACE(n);
    try {
      GetDbfRecord(t, n);
      FAIL();
    } catch (const EVexelError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Error # 212 (Request beyond range)\r\nInvalid record number = " +
                    std::to_string(n) + " (" + path_ + ")  [GetDbfRecord]");
    }
    EXPECT_EQ(t.record_number, 2);
    EXPECT_EQ(Record(t), " Bob  ");
  }
}

TEST_F(DbfRecordsTest, ShortReadIsEndOfFileError) {
  TableRecord t;
  Bytes bytes = ThreeNames();
  bytes.resize(bytes.size() - 4);  // cut in the middle of record 3 (and the end marker)
  OpenTable(bytes, t);
  try {
    GetDbfRecord(t, 3);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()), "Error # 213 (End of file found unexpectedly)\r\nFile:  " +
                                         path_ + "  [GetDbfRecord]");
  }
}

TEST_F(DbfRecordsTest, WritingBeyondTheCountAppendsOneRecord) {
  TableRecord t;
  OpenTable(ThreeNames(), t);
  std::memcpy(t.record.data(), " Dave ", 6);
  PutDbfRecord(t, 99);
  EXPECT_EQ(t.record_count, 4);
  EXPECT_EQ(t.record_number, 4);
  EXPECT_EQ(t.state, kStateAppended);
  CloseDbf(t);
  const Bytes bytes = test::ReadBytes(path_);
  const std::size_t header = 32 + 32 + 1;
  ASSERT_EQ(bytes.size(), header + 4 * 6 + 1);
  EXPECT_EQ(std::string(bytes.begin() + header + 18, bytes.begin() + header + 24), " Dave ");
}

TEST_F(DbfRecordsTest, ClosingAfterAppendsWritesCountDateAndOneEndMarker) {
  TableRecord t;
  OpenTable(ThreeNames(), t);
  std::memcpy(t.record.data(), " Eve  ", 6);
  AppendFromBuffer(t);
  std::memcpy(t.record.data(), " Finn ", 6);
  AppendFromBuffer(t);
  CloseDbf(t);
  EXPECT_EQ(t.state, kStateClosed);
  const Bytes bytes = test::ReadBytes(path_);
  const std::size_t end = 65 + 5 * 6;
  ASSERT_EQ(bytes.size(), end + 1);
  EXPECT_EQ(bytes[end], 0x1A);
  EXPECT_EQ(bytes[4], 5);
  EXPECT_EQ(Bytes(bytes.begin() + 1, bytes.begin() + 4), TodayBytes());
}

TEST_F(DbfRecordsTest, ClosingAfterRewritesUpdatesDateButAddsNoEndMarker) {
  TableRecord t;
  Bytes original = ThreeNames();
  original.pop_back();  // a file without the end-of-file byte
  OpenTable(original, t);
  GetDbfRecord(t, 2);
  std::memcpy(t.record.data(), " Bert ", 6);
  PutDbfRecord(t, 2);
  EXPECT_EQ(t.state, kStateRewritten);
  CloseDbf(t);
  const Bytes bytes = test::ReadBytes(path_);
  ASSERT_EQ(bytes.size(), original.size());
  EXPECT_EQ(std::string(bytes.begin() + 71, bytes.begin() + 77), " Bert ");
  EXPECT_EQ(Bytes(bytes.begin() + 1, bytes.begin() + 4), TodayBytes());
  EXPECT_EQ(bytes[4], 3);
}

TEST_F(DbfRecordsTest, UnchangedTableIsNotWrittenOnClose) {
  TableRecord t;
  const Bytes original = ThreeNames();
  OpenTable(original, t);
  GetDbfRecord(t, 1);
  CloseDbf(t);
  EXPECT_EQ(test::ReadBytes(path_), original);
}

TEST_F(DbfRecordsTest, DeleteFlagWritesOneByte) {
  TableRecord t;
  OpenTable(ThreeNames(), t);
  GetDbfRecord(t, 1);
  t.record[0] = kDeletedFlag;
  t.record[1] = 'X';  // only the flag reaches the file
  WriteDeleteFlag(t, 1);
  CloseDbf(t);
  const Bytes bytes = test::ReadBytes(path_);
  EXPECT_EQ(std::string(bytes.begin() + 65, bytes.begin() + 71), "*Alice");
}

TEST_F(DbfRecordsTest, HeaderWriteKeepsOtherWritersMultiUserBytes) {
  TableRecord t;
  OpenTable(ThreeNames(), t);
  // Another program writes its bytes into the multi-user area while the table is open.
  {
    os::File other;
    ASSERT_EQ(os::File::Open(path_, os::kOpenReadWriteDenyNone, other), 0);
    const std::byte mark[3] = {std::byte{0xAB}, std::byte{0xCD}, std::byte{0xEF}};
    ASSERT_EQ(other.WriteAt(20, mark), 0);
  }
  GetDbfRecord(t, 1);
  PutDbfRecord(t, 1);
  CloseDbf(t);
  const Bytes bytes = test::ReadBytes(path_);
  EXPECT_EQ(bytes[20], 0xAB);
  EXPECT_EQ(bytes[22], 0xEF);
}

TEST_F(DbfRecordsTest, OemTableKeepsAnsiTextInTheBufferAndOemOnDisk) {
  ASSERT_TRUE(os::SetCodePages(437, 1252));
  TableRecord t;
  t.oem = true;
  // 0x82 is e-acute in code page 437.
  OpenTable(DbfBuilder(0x03).Field("NAME", 'C', 4).Record(" Ren\x82").Build(), t);
  GetDbfRecord(t, 1);
  EXPECT_EQ(Record(t), " Ren\xE9");
  std::memcpy(t.record.data(), " caf\xE9", 5);
  PutDbfRecord(t, 1);
  EXPECT_EQ(Record(t), " caf\xE9");
  CloseDbf(t);
  const Bytes bytes = test::ReadBytes(path_);
  EXPECT_EQ(bytes[32 + 32 + 1 + 4], 0x82);
}

// Only character text is converted: a character field marked binary (and every binary type)
// keeps its bytes both ways, in a rewrite and in an append.
TEST_F(DbfRecordsTest, OemConversionLeavesFieldsMarkedBinaryAlone) {
  ASSERT_TRUE(os::SetCodePages(437, 1252));
  TableRecord t;
  t.oem = true;
  OpenTable(DbfBuilder(0x03)
                .Field("NAME", 'C', 4)
                .Field("RAW", 'C', 2)
                .Record(" Ren\x82\x82\xE9")
                .Build(),
            t);
  t.fields[1].flags = kFieldBinary;
  GetDbfRecord(t, 1);
  EXPECT_EQ(Record(t), " Ren\xE9\x82\xE9");
  std::memcpy(t.record.data(), " caf\xE9\xE9\x82", 7);
  PutDbfRecord(t, 1);
  PutDbfRecord(t, 2);
  EXPECT_EQ(Record(t), " caf\xE9\xE9\x82");
  CloseDbf(t);
  const Bytes bytes = test::ReadBytes(path_);
  const std::size_t first = 32 + 2 * 32 + 1;
  for (const std::size_t at : {first, first + 7}) {
    EXPECT_EQ(bytes[at + 4], 0x82);
    EXPECT_EQ(bytes[at + 5], 0xE9);
    EXPECT_EQ(bytes[at + 6], 0x82);
  }
}

void Rot1Read(char* data, int length) {
  for (int i = 0; i < length; ++i) data[i] = static_cast<char>(data[i] - 1);
}
void Rot1Write(char* data, int length) {
  for (int i = 0; i < length; ++i) data[i] = static_cast<char>(data[i] + 1);
}

TEST_F(DbfRecordsTest, TranslationHooksApplyToTheBytesAfterTheFlag) {
  TableRecord t;
  t.read_hook = Rot1Read;
  t.write_hook = Rot1Write;
  OpenTable(DbfBuilder(0x03).Field("A", 'C', 3).Record(" bcd").Build(), t);
  GetDbfRecord(t, 1);
  EXPECT_EQ(Record(t), " abc");
  PutDbfRecord(t, 1);
  EXPECT_EQ(Record(t), " abc");
  CloseDbf(t);
  EXPECT_EQ(test::ReadBytes(path_)[65 + 1], 'b');
}

TEST_F(DbfRecordsTest, FailedAppendDoesNotCountTheRecord) {
  TableRecord t;
  OpenTable(ThreeNames(), t, os::kOpenReadOnlyDenyNone);
  try {
    AppendFromBuffer(t);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_NE(std::string(e.what()).find("[Replace/Append/PutDbfRecord]"), std::string::npos);
  }
  EXPECT_EQ(t.record_count, 3);
  EXPECT_EQ(t.state, kStateOpen);
  CloseDbf(t);
  EXPECT_EQ(test::ReadBytes(path_), ThreeNames());
}

TEST_F(DbfRecordsTest, Dbase2TableRefusesTheAppendPastItsSixteenBitCount) {
  // 65,535 records of one byte beside the flag; the next would store a count of 0.
  Bytes bytes(521, 0);
  bytes[0] = 0x02;
  bytes[1] = 0xFF;
  bytes[2] = 0xFF;
  bytes[6] = 2;
  std::memcpy(&bytes[8], "F", 1);
  bytes[8 + 11] = 'C';
  bytes[8 + 12] = 1;
  bytes[8 + 16] = 0x0D;
  for (int i = 0; i < 65535; ++i) {
    bytes.push_back(' ');
    bytes.push_back('x');
  }
  TableRecord t;
  OpenTable(bytes, t, os::kOpenReadWriteDenyAll);
  ASSERT_EQ(t.record_count, 65535);
  try {
    AppendFromBuffer(t);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_NE(std::string(e.what()).find("at most 65535 records"), std::string::npos) << e.what();
  }
  EXPECT_EQ(t.record_count, 65535);
  CloseDbf(t);
  EXPECT_EQ(test::ReadBytes(path_), bytes);
}

TEST_F(DbfRecordsTest, CommitWritesHeaderAndMarkerAndKeepsTableOpen) {
  TableRecord t;
  OpenTable(ThreeNames(), t);
  AppendFromBuffer(t);
  CommitDbf(t);
  EXPECT_EQ(t.state, kStateOpen);
  const Bytes bytes = test::ReadBytes(path_);
  EXPECT_EQ(bytes[4], 4);
  EXPECT_EQ(bytes.back(), 0x1A);
  EXPECT_EQ(bytes.size(), 65u + 4 * 6 + 1);
  GetDbfRecord(t, 4);
  CloseDbf(t);
}

class CreateDbfTest : public ::testing::Test {
 protected:
  void TearDown() override {
    DefaultDbfVersion = 0x8B;
    MemoBlockSize = 512;
  }
  static std::vector<FieldEntry> Fields(bool with_memo) {
    std::vector<FieldEntry> f = {{"title", 'C', 20, 0, 0}, {" YEAR ", 'n', 4, 0, 0}};
    if (with_memo) f.push_back({"PLOT", 'M', 0, 0, 0});
    return f;
  }
  test::TempDir dir_;
};

TEST_F(CreateDbfTest, WritesDbase4TableWithMemoFile) {
  TableRecord t;
  CreateDBF(t, dir_.File("movie"), Fields(true));
  EXPECT_EQ(t.state, kStateClosed);
  const Bytes bytes = test::ReadBytes(dir_.File("movie.DBF"));
  ASSERT_EQ(bytes.size(), 130u);
  Bytes expected(130, 0);
  expected[0] = 0x8B;
  const Bytes today = TodayBytes();
  std::copy(today.begin(), today.end(), expected.begin() + 1);
  expected[8] = 129;
  expected[10] = 35;
  const struct {
    int at;
    const char* name;
    char type;
    int length;
  } kDescriptors[] = {{32, "TITLE", 'C', 20}, {64, "YEAR", 'N', 4}, {96, "PLOT", 'M', 10}};
  for (const auto& d : kDescriptors) {
    std::memcpy(&expected[d.at], d.name, std::strlen(d.name));
    expected[d.at + 11] = static_cast<unsigned char>(d.type);
    expected[d.at + 16] = static_cast<unsigned char>(d.length);
  }
  expected[128] = 0x0D;
  expected[129] = 0x1A;
  EXPECT_EQ(bytes, expected);

  const Bytes memo = test::ReadBytes(dir_.File("movie.DBT"));
  const Bytes expected_memo = {1,   0, 0, 0, 0, 0, 0, 0, 'm', 'o', 'v', 'i',
                               'e', 0, 0, 0, 0, 0, 2, 1, 0,   2,   0,   0};
  EXPECT_EQ(memo, expected_memo);
}

TEST_F(CreateDbfTest, TableWithoutMemoGetsVersion3AndNoMemoFile) {
  TableRecord t;
  CreateDBF(t, dir_.File("plain.dbf"), Fields(false));
  const Bytes bytes = test::ReadBytes(dir_.File("plain.dbf"));
  ASSERT_EQ(bytes.size(), 32u + 64 + 1 + 1);
  EXPECT_EQ(bytes[0], 0x03);
  EXPECT_EQ(bytes[10], 25);
  EXPECT_FALSE(os::FileExists(dir_.File("plain.dbt")));
}

TEST_F(CreateDbfTest, Dbase3MemoFileIsOneBlockWithMarker) {
  DefaultDbfVersion = 0x83;
  TableRecord t;
  std::vector<FieldEntry> fields = Fields(true);
  fields.push_back({"RATE", 'F', 6, 2, 0});
  CreateDBF(t, dir_.File("old.dbf"), fields);
  const Bytes bytes = test::ReadBytes(dir_.File("old.dbf"));
  EXPECT_EQ(bytes[0], 0x83);
  EXPECT_EQ(bytes[32 * 4 + 11], 'N');  // F is held as N in dBASE III
  EXPECT_EQ(bytes[32 * 4 + 17], 2);
  Bytes expected_memo(513, 0);
  expected_memo[0] = 1;
  expected_memo[512] = 0x1A;
  EXPECT_EQ(test::ReadBytes(dir_.File("old.dbt")), expected_memo);
}

TEST_F(CreateDbfTest, FoxProMemoFileIsBigEndian) {
  DefaultDbfVersion = 0xF5;
  MemoBlockSize = 64;
  TableRecord t;
  CreateDBF(t, dir_.File("FOX.DBF"), Fields(true));
  EXPECT_EQ(test::ReadBytes(dir_.File("FOX.DBF"))[0], 0xF5);
  const Bytes memo = test::ReadBytes(dir_.File("FOX.FPT"));
  ASSERT_EQ(memo.size(), 512u);
  EXPECT_EQ(Bytes(memo.begin(), memo.begin() + 8), (Bytes{0, 0, 0, 8, 0, 0, 0, 64}));
  EXPECT_EQ(std::count(memo.begin() + 8, memo.end(), 0), 504);
}

TEST_F(CreateDbfTest, Level7LayoutWithLanguageDriver) {
  DefaultDbfVersion = 0x8C;
  TableRecord t;
  CreateDBF(t, dir_.File("seven.dbf"), Fields(false));
  const Bytes bytes = test::ReadBytes(dir_.File("seven.dbf"));
  const std::size_t header = 68 + 2 * 48 + 1;
  ASSERT_EQ(bytes.size(), header + 1);
  EXPECT_EQ(bytes[0], 0x04);
  EXPECT_EQ(bytes[8] | bytes[9] << 8, static_cast<int>(header));
  EXPECT_EQ(std::string(bytes.begin() + 32, bytes.begin() + 40), "DBWINWE0");
  EXPECT_EQ(std::count(bytes.begin() + 40, bytes.begin() + 68, 0), 28);
  EXPECT_EQ(std::string(bytes.begin() + 68, bytes.begin() + 73), "TITLE");
  EXPECT_EQ(bytes[68 + 32], 'C');
  EXPECT_EQ(bytes[68 + 33], 20);
  EXPECT_EQ(bytes[68 + 48 + 32], 'N');
  EXPECT_EQ(bytes[header - 1], 0x0D);
  // It opens again as written.
  TableRecord again;
  again.file_name = dir_.File("seven.dbf");
  again.open_mode = os::kOpenReadOnlyDenyNone;
  OpenDbf(again);
  EXPECT_EQ(again.fields.size(), 2u);
  EXPECT_EQ(again.record_length, 25);
}

TEST_F(CreateDbfTest, RejectsBadDefinitionsAndCreatesNothing) {
  const std::vector<FieldEntry> bad[] = {
      {{"NAME", 'C', 0, 0, 0}},
      {{"   ", 'C', 5, 0, 0}},
      {{"X", 'X', 5, 0, 0}},
      {{"BIG", 'C', 300, 0, 0}},
      {},
  };
  for (const auto& fields : bad) {
    TableRecord t;
    try {
      CreateDBF(t, dir_.File("bad.dbf"), fields);
      FAIL();
    } catch (const EVexelError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Error # 211 (Invalid database field type encountered)\r\nInvalid dBASE field "
                "definition [CreateDBF]");
    }
    EXPECT_FALSE(os::FileExists(dir_.File("bad.dbf")));
  }
}

TEST_F(CreateDbfTest, BinaryTypesNeedDbase4OrLevel7) {
  TableRecord t;
  CreateDBF(t, dir_.File("pic.dbf"), {{"IMG", 'G', 0, 0, 0}});
  EXPECT_EQ(test::ReadBytes(dir_.File("pic.dbf"))[0], 0x8B);
  DefaultDbfVersion = 0x83;
  EXPECT_THROW(CreateDBF(t, dir_.File("pic3.dbf"), {{"IMG", 'G', 0, 0, 0}}), EVexelError);
}

TEST_F(CreateDbfTest, RefusesToReplaceATableThatIsOpen) {
  TableRecord t;
  CreateDBF(t, dir_.File("busy.dbf"), Fields(false));
  os::File holder;
  ASSERT_EQ(os::File::Open(dir_.File("busy.dbf"), os::kOpenReadWriteDenyNone, holder), 0);
  const Bytes before = test::ReadBytes(dir_.File("busy.dbf"));
  try {
    CreateDBF(t, dir_.File("busy.dbf"), Fields(true));
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()), "Error # 32 (File sharing violation)\r\nError writing " +
                                         dir_.File("busy.dbf") + ". [CreateDbf]");
  }
  EXPECT_EQ(test::ReadBytes(dir_.File("busy.dbf")), before);
}

}  // namespace
}  // namespace vx
