// Opening tables: accepted variants, field lists, and every kind of damaged header.

#include "engine/table/dbf_file.h"

#include <gtest/gtest.h>

#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/table/dbf_records.h"
#include "platform/os/file.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

using test::Bytes;
using test::DbfBuilder;

class OpenDbfTest : public ::testing::Test {
 protected:
  // Opens `bytes` written to a file; answers the EVexelError text, or "" when it opened.
  std::string Open(const Bytes& bytes, TableRecord& t, const std::string& name = "t.dbf") {
    path_ = dir_.File(name);
    test::WriteBytes(path_, bytes);
    t.file_name = path_;
    t.open_mode = os::kOpenReadWriteDenyNone;
    try {
      OpenDbf(t);
    } catch (const EVexelError& e) {
      return e.what();
    }
    return "";
  }
  // After a failed open the file must be closed: a deny-all open then succeeds.
  void ExpectFileClosed() {
    os::File probe;
    EXPECT_EQ(os::File::Open(path_, os::kOpenReadWriteDenyAll, probe), 0);
  }

  test::TempDir dir_;
  std::string path_;
};

TEST_F(OpenDbfTest, RejectsShortPrologue) {
  TableRecord t;
  const std::string error = Open(Bytes(31, 0x03), t);
  EXPECT_EQ(error, "Error # 210 (Not a dBASE data file)\r\n" + path_ +
                       " is not a dBASE database. (Prolog is less than 32 bytes) [USE/OpenDBF]");
  EXPECT_EQ(EngineErrorCode, 210);
  ExpectFileClosed();
}

TEST_F(OpenDbfTest, AcceptsOnlyKnownVersionBytes) {
  for (const std::uint8_t version : {0x05, 0xF8, 0x33, 0xFB}) {
    SCOPED_TRACE(int{version});
    TableRecord t;
    const std::string error = Open(DbfBuilder(version).Field("A", 'C', 5).Build(), t);
    EXPECT_EQ(error, "Error # 210 (Not a dBASE data file)\r\n" + path_ +
                         " is not a dBASE database.(Invalid version byte)+ [USE/OpenDBF]");
    ExpectFileClosed();
  }
  // Visual FoxPro (0x30 to 0x32) says in byte 28 whether a memo file belongs to the table.
  // A dBASE IV SQL table (0xCB) has a memo file only for memo fields.
  for (const std::uint8_t version : {0x03, 0x83, 0x8B, 0xF5, 0x04, 0x8C, 0x30, 0x31, 0x32, 0xCB}) {
    SCOPED_TRACE(int{version});
    TableRecord t;
    EXPECT_EQ(Open(DbfBuilder(version).Field("A", 'C', 5).Build(), t), "");
    EXPECT_EQ(t.fields.size(), 1u);
    EXPECT_EQ(t.has_memo, (version & 0x80) != 0 && version != 0xCB);
  }
}

TEST_F(OpenDbfTest, ExtraVersionBytesAreAcceptedWhenSet) {
  TableRecord t;
  ExtraVersionMemo = 0x30;
  const std::string error = Open(DbfBuilder(0x30).Field("A", 'C', 5).Build(), t);
  ExtraVersionMemo = 0;
  EXPECT_EQ(error, "");
  EXPECT_TRUE(t.has_memo);
}

TEST_F(OpenDbfTest, CountsFieldsFromHeaderLength) {
  TableRecord t;
  // 32 * (n + 1) + 1 with three fields.
  Bytes bytes = DbfBuilder(0x03).Field("A", 'C', 2).Field("B", 'N', 3).Field("C", 'L', 1).Build();
  EXPECT_EQ(bytes[8] | bytes[9] << 8, 32 * 4 + 1);
  ASSERT_EQ(Open(bytes, t), "");
  ASSERT_EQ(t.fields.size(), 3u);
  EXPECT_EQ(t.fields[1].name, "B");
  EXPECT_EQ(t.fields[1].offset, 3);
  EXPECT_EQ(t.fields[2].offset, 6);
  EXPECT_EQ(t.record_length, 7);
}

TEST_F(OpenDbfTest, RejectsHeaderWithoutRoomForADescriptor) {
  TableRecord t;
  Bytes bytes = DbfBuilder(0x03).Field("A", 'C', 2).Build();
  bytes[8] = 33;
  bytes[9] = 0;
  EXPECT_EQ(Open(bytes, t),
            "Error # 210 (Not a dBASE data file)\r\nt.dbf is not a dBASE "
            "database. (Number of fields is out of range) [Use/OpenDbf]");
  ExpectFileClosed();
}

TEST_F(OpenDbfTest, StopsAtTerminatorAndIgnoresTrailingHeaderBytes) {
  TableRecord t;
  Bytes bytes = DbfBuilder(0x03).Field("A", 'C', 2).Field("B", 'C', 3).HeaderSlack(300).Build();
  ASSERT_EQ(Open(bytes, t), "");
  EXPECT_EQ(t.fields.size(), 2u);
  EXPECT_EQ(t.header_length, 32 * 3 + 1 + 300);
}

TEST_F(OpenDbfTest, HoldsBinaryAndPictureFieldsAsMemo) {
  TableRecord t;
  ASSERT_EQ(Open(DbfBuilder(0x8B).Field("PIC", 'P', 10).Field("BIN", 'b', 10).Build(), t), "");
  EXPECT_EQ(t.fields[0].type, 'M');
  EXPECT_EQ(t.fields[1].type, 'M');
}

TEST_F(OpenDbfTest, RejectsUnknownFieldTypeNamingFieldAndFile) {
  TableRecord t;
  const std::string error =
      Open(DbfBuilder(0x03).Field("NAME", 'C', 5).Field("ID", 'I', 4).Build(), t);
  EXPECT_EQ(error, "Error # 211 (Invalid database field type encountered)\r\nField: ID [I] in " +
                       path_ + " is not a valid field type");
  ExpectFileClosed();
  // Lower-case letters of the accepted types are not accepted.
  EXPECT_NE(Open(DbfBuilder(0x03).Field("N", 'c', 5).Build(), t), "");
}

TEST_F(OpenDbfTest, EmptyTableStandsAtBeginningAndEnd) {
  TableRecord t;
  ASSERT_EQ(Open(DbfBuilder(0x03).Field("A", 'C', 5).Build(), t), "");
  EXPECT_EQ(t.record_count, 0);
  EXPECT_EQ(t.record_number, 0);
  EXPECT_TRUE(t.at_beginning);
  EXPECT_TRUE(t.at_end);
}

TEST_F(OpenDbfTest, ReadsPrologueValues) {
  TableRecord t;
  Bytes bytes = DbfBuilder(0x03).Field("NAME", 'C', 5).Record(" Alice").Record("*Bob  ").Build();
  bytes[1] = 124;  // 2024
  bytes[2] = 3;
  bytes[3] = 7;
  ASSERT_EQ(Open(bytes, t), "");
  EXPECT_EQ(t.record_count, 2);
  EXPECT_EQ(t.record_number, 1);
  EXPECT_FALSE(t.at_beginning || t.at_end);
  EXPECT_EQ(t.update_date, "20240307");
  EXPECT_EQ(t.state, kStateOpen);
  EXPECT_FALSE(t.table_key.empty());
}

TEST_F(OpenDbfTest, ReadsLevel7Descriptors) {
  TableRecord t;
  Bytes bytes = DbfBuilder(0x8C).Field("LONGFIELDNAME", 'C', 12).Field("AMOUNT", 'N', 8, 2).Build();
  EXPECT_EQ(bytes[8] | bytes[9] << 8, 68 + 2 * 48 + 1);
  ASSERT_EQ(Open(bytes, t), "");
  ASSERT_EQ(t.fields.size(), 2u);
  EXPECT_EQ(t.fields[0].name, "LONGFIELDN");
  EXPECT_EQ(t.fields[1].decimals, 2);
  EXPECT_TRUE(t.IsLevel7());
}

TEST_F(OpenDbfTest, ReadsDbase2Header) {
  TableRecord t;
  Bytes bytes(521, 0);
  bytes[0] = 0x02;
  bytes[1] = 1;  // one record
  bytes[3] = 12;
  bytes[4] = 31;
  bytes[5] = 84;
  bytes[6] = 1 + 3 + 2 + 1;
  const char* names[] = {"ABC", "NUM", "OK"};
  const char types[] = {'C', 'N', 'L'};
  const int lengths[] = {3, 2, 1};
  for (int i = 0; i < 3; ++i) {
    std::memcpy(&bytes[8 + 16 * i], names[i], std::strlen(names[i]));
    bytes[8 + 16 * i + 11] = static_cast<unsigned char>(types[i]);
    bytes[8 + 16 * i + 12] = static_cast<unsigned char>(lengths[i]);
  }
  bytes[8 + 16 * 3] = 0x0D;
  for (char c : std::string(" xyz42T")) bytes.push_back(static_cast<unsigned char>(c));
  ASSERT_EQ(Open(bytes, t), "");
  EXPECT_EQ(t.header_length, 521);
  EXPECT_EQ(t.fields.size(), 3u);
  EXPECT_EQ(t.record_count, 1);
  EXPECT_EQ(t.update_date, "19841231");
  EXPECT_FALSE(t.has_memo);
  GetDbfRecord(t, 1);
  EXPECT_EQ(std::string(t.record.data(), t.record.size()), " xyz42T");

  TableRecord short_table;
  bytes.resize(520);
  EXPECT_EQ(Open(bytes, short_table), "Error # 210 (Not a dBASE data file)\r\n" + path_ +
                                          " is not a dBASE database.(Header is less than 521 "
                                          "bytes) [Use/OpenDBF]");
}

TEST_F(OpenDbfTest, RejectsDbase2WithoutTerminator) {
  TableRecord t;
  Bytes bytes(521, 0);
  bytes[0] = 0x02;
  bytes[6] = 2;
  for (int i = 0; i < 32; ++i) {
    bytes[8 + 16 * i] = 'F';
    bytes[8 + 16 * i + 11] = 'C';
    bytes[8 + 16 * i + 12] = 1;
  }
  bytes[520] = 0x0D;
  EXPECT_NE(Open(bytes, t).find("Number of fields is out of range"), std::string::npos);
}

// Damaged headers: each gets a numbered error and leaves no open file behind.
TEST_F(OpenDbfTest, RejectsDamagedHeaders) {
  const Bytes good =
      DbfBuilder(0x03).Field("NAME", 'C', 10).Field("N", 'N', 5).Record(" abcdefghij12345").Build();
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    std::uint16_t code;
    const char* text;
  };
  const Case cases[] = {
      {"header beyond file", [](Bytes& b) { b.resize(80); }, 100, "Error reading"},
      {"header length below prologue",
       [](Bytes& b) {
         b[8] = 20;
         b[9] = 0;
       },
       210, "Header length is out of range"},
      {"header length above 32767",
       [](Bytes& b) {
         b[8] = 0;
         b[9] = 0x90;
       },
       210, "Header length is out of range"},
      {"record length zero",
       [](Bytes& b) {
         b[10] = 0;
         b[11] = 0;
       },
       210, "Record length is out of range"},
      {"field past record",
       [](Bytes& b) {
         b[10] = 10;
         b[11] = 0;
       },
       210, "Fields do not fit the record length"},
      {"count above 2^31", [](Bytes& b) { b[7] = 0x80; }, 210, "Record count is out of range"},
      {"terminator first", [](Bytes& b) { b[32] = 0x0D; }, 222, "Error reading"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = good;
    c.damage(bytes);
    TableRecord t;
    const std::string error = Open(bytes, t);
    EXPECT_EQ(EngineErrorCode, c.code);
    EXPECT_NE(error.find(c.text), std::string::npos) << error;
    ExpectFileClosed();
  }
}

// A field whose length cannot hold its type would make every transfer of it read or write
// outside its bytes (an L 0 field, for one, past the record). Number fields of length 0 and
// dates wider than 8 occur in real files and still open.
TEST_F(OpenDbfTest, RefusesFieldsWhoseLengthCannotHoldTheirType) {
  struct Case {
    char type;
    int length;
    bool opens;
  };
  const Case cases[] = {
      {'C', 0, false}, {'C', 1, true},  {'L', 0, false}, {'L', 2, false}, {'L', 1, true},
      {'D', 0, false}, {'D', 7, false}, {'D', 8, true},  {'D', 10, true}, {'M', 0, false},
      {'M', 4, false}, {'M', 10, true}, {'N', 0, true},  {'F', 0, true},  {'N', 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + " " + std::to_string(c.length));
    TableRecord t;
    const std::string error =
        Open(DbfBuilder(0x8B).Field("NAME", 'C', 23).Field("FLAG", c.type, c.length).Build(), t);
    if (c.opens) {
      EXPECT_EQ(error, "");
      CloseDbf(t);
      continue;
    }
    EXPECT_EQ(EngineErrorCode, 210);
    EXPECT_NE(error.find("(Field FLAG " + std::string(1, c.type) + " of length " +
                         std::to_string(c.length) + " cannot hold its type)"),
              std::string::npos)
        << error;
    ExpectFileClosed();
  }
}

TEST_F(OpenDbfTest, ReportsMissingFileWithItsIoCode) {
  TableRecord t;
  t.file_name = dir_.File("missing");
  t.open_mode = os::kOpenReadWriteDenyNone;
  try {
    OpenDbf(t);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()), "Error # 2 (File not found)\r\nFailure to open " +
                                         dir_.File("missing.DBF") + " [USE/OpenDbf]");
  }
}

TEST_F(OpenDbfTest, QuietFailureLeavesCodeForTheCaller) {
  TableRecord t;
  QuietErrors quiet;
  EXPECT_EQ(Open(Bytes(10, 0), t), "");
  EXPECT_EQ(EngineErrorCode, 210);
  EXPECT_FALSE(t.file.IsOpen());
}

TEST_F(OpenDbfTest, ReadsWideCharacterFieldsWhenTheyFitTheRecord) {
  TableRecord t;
  // A character field of 260 written as length 4 with 1 in the decimal count.
  DbfBuilder builder(0x03);
  builder.Field("CODE", 'C', 5).Field("WIDE", 'C', 4, 1).Field("TAIL", 'C', 2);
  builder.RecordLength(1 + 5 + 260 + 2);
  ASSERT_EQ(Open(builder.Build(), t), "");
  EXPECT_EQ(t.fields[1].length, 260);
  EXPECT_EQ(t.fields[1].decimals, 0);
  EXPECT_EQ(t.fields[2].offset, 1 + 5 + 260);
}

TEST_F(OpenDbfTest, CountFromFileSizeOverridesHeaderCount) {
  TableRecord t;
  Bytes bytes = DbfBuilder(0x03).Field("A", 'C', 1).Record(" x").Record(" y").Build();
  bytes[4] = 9;
  CountFromFileSize = true;
  const std::string error = Open(bytes, t);
  CountFromFileSize = false;
  ASSERT_EQ(error, "");
  EXPECT_EQ(t.record_count, 2);
}

TEST(DerivedFileNameTest, TakesTheCaseOfTheTableExtension) {
  EXPECT_EQ(DerivedFileName("data/movie.dbf", "DBT"), "data/movie.dbt");
  EXPECT_EQ(DerivedFileName("data/MOVIE.DBF", "dbt"), "data/MOVIE.DBT");
  EXPECT_EQ(DerivedFileName("x/Movie.Dbf", "MDX"), "x/Movie.mdx");
}

}  // namespace
}  // namespace vx
