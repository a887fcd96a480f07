// The binary field kinds of Visual FoxPro and level 7 tables: their bytes as other programs
// write them, round trips, _NullFlags bits, and headers whose fields need more than the record
// length they state.

#include "engine/table/field_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "platform/os/file.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

std::string Hex(const char* p, std::size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += kHex[static_cast<unsigned char>(p[i]) >> 4];
    out += kHex[p[i] & 0xF];
  }
  return out;
}

FieldEntry Binary(FieldStorage storage, std::uint16_t length) {
  FieldEntry f;
  f.storage = storage;
  f.length = length;
  f.offset = 1;
  return f;
}

// Encodings pinned by files in the corpus (level 7: php-xbase, dBASE's own samples; Visual
// FoxPro: payments.dbf, testfile.dbf) and read back to the same value.
TEST(FieldValuesTest, NumbersStoreAsOtherProgramsWriteThem) {
  struct Case {
    FieldStorage storage;
    std::uint16_t length;
    double value;
    const char* hex;
  };
  const Case cases[] = {
      {FieldStorage::kInt32Flipped, 4, 1, "80000001"},
      {FieldStorage::kInt32Flipped, 4, -1, "7fffffff"},
      {FieldStorage::kInt32Flipped, 4, 2147483647, "ffffffff"},
      {FieldStorage::kInt32Flipped, 4, 5000000, "804c4b40"},
      {FieldStorage::kDoubleFlipped, 8, 43.65, "c045d33333333333"},
      {FieldStorage::kDoubleFlipped, 8, -199.99, "3f970051eb851eb7"},
      {FieldStorage::kDoubleFlipped, 8, 0, "8000000000000000"},
      {FieldStorage::kInt32, 4, -2, "feffffff"},
      {FieldStorage::kDouble, 8, 1.5, "000000000000f83f"},
      {FieldStorage::kCurrency, 8, 1000, "8096980000000000"},
      {FieldStorage::kCurrency, 8, -0.0001, "ffffffffffffffff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    const FieldEntry f = Binary(c.storage, c.length);
    char record[16] = {};
    ASSERT_TRUE(PutBinaryNumber(f, record, c.value));
    EXPECT_EQ(Hex(record + 1, c.length), c.hex);
    const auto back = BinaryNumber(f, record);
    ASSERT_TRUE(back.has_value());
    EXPECT_DOUBLE_EQ(*back, c.value);
  }
  // What a field cannot hold changes nothing.
  char record[16] = {};
  const FieldEntry i = Binary(FieldStorage::kInt32, 4);
  EXPECT_FALSE(PutBinaryNumber(i, record, 1.5));
  EXPECT_FALSE(PutBinaryNumber(i, record, 4294967296.0));
  EXPECT_FALSE(PutBinaryNumber(Binary(FieldStorage::kDouble, 8), record, NAN));
  EXPECT_EQ(Hex(record, 16), std::string(32, '0'));
  // A new level 7 record's all-zero O and I fields hold no value.
  EXPECT_FALSE(BinaryNumber(Binary(FieldStorage::kDoubleFlipped, 8), record).has_value());
  EXPECT_FALSE(BinaryNumber(Binary(FieldStorage::kInt32Flipped, 4), record).has_value());
}

TEST(FieldValuesTest, DateTimesStoreAsDayNumberAndMilliseconds) {
  // Visual FoxPro T: 2020-03-27 09:30:09.999 as testfile.dbf holds it.
  const FieldEntry t = Binary(FieldStorage::kDateTime, 8);
  const DateTimeValue value{DayNumber(2020, 3, 27), 34209999};
  char record[16] = {};
  PutBinaryDateTime(t, record, value);
  EXPECT_EQ(Hex(record + 1, 8), "38852500cf000a02");
  ASSERT_TRUE(BinaryDateTime(t, record).has_value());
  EXPECT_EQ(DateTimeText(*BinaryDateTime(t, record)), "2020-03-27T09:30:09.999");
  // Level 7 @: dBASE's own tables hold the plain big-endian double (written so); the form with
  // the sign bit flipped that some libraries write reads the same.
  const FieldEntry at = Binary(FieldStorage::kTimestamp, 8);
  const char plain[9] = "\x42\xcc\x41\x8b\xa9\x9a\x00\x00";  // 1970-01-01
  std::memcpy(record + 1, plain, 8);
  EXPECT_EQ(DateTimeText(*BinaryDateTime(at, record)), "1970-01-01T00:00:00");
  PutBinaryDateTime(at, record, {DayNumber(1970, 1, 1), 0});
  EXPECT_EQ(Hex(record + 1, 8), "42cc418ba99a0000");
  EXPECT_EQ(DateTimeText(*BinaryDateTime(at, record)), "1970-01-01T00:00:00");
  record[1] = static_cast<char>(0xc2);
  EXPECT_EQ(DateTimeText(*BinaryDateTime(at, record)), "1970-01-01T00:00:00");
  PutBinaryDateTime(at, record, {kBlankDate, 0});
  EXPECT_FALSE(BinaryDateTime(at, record).has_value());
  // The text form reads back; anything else is refused.
  for (const char* text : {"2020-03-27T09:30:09.999", "1999-12-31T23:59:59", "2000-02-29"}) {
    SCOPED_TRACE(text);
    const auto parsed = ParseDateTimeText(text);
    ASSERT_TRUE(parsed.has_value());
    const std::string again = DateTimeText(*parsed);
    EXPECT_EQ(again.substr(0, std::strlen(text)), text);
  }
  for (const char* text : {"2001-02-29", "2020-03-27T24:00:00", "2020-03-27X", "yesterday"}) {
    EXPECT_FALSE(ParseDateTimeText(text).has_value()) << text;
  }
}

// Every timestamp of the corpus's level 7 tables (written by dBASE) stores back as the same
// bytes.
TEST(FieldValuesTest, CorpusTimestampsStoreBackAsTheirOwnBytes) {
  const auto corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus folder (../shared/corpus) is absent";
  int values = 0;
  for (const char* name : {"php-xbase/dBase/dBaseVII.dbf", "php-xbase/dBase/dBaseVII_ts.dbf"}) {
    SCOPED_TRACE(name);
    TableRecord t;
    t.file_name = (corpus / name).string();
    t.open_mode = os::kOpenReadOnlyDenyNone;
    OpenDbf(t);
    ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
    for (std::int32_t n = 1; n <= t.record_count; ++n) {
      GetDbfRecord(t, n);
      for (const FieldEntry& f : t.fields) {
        if (f.storage != FieldStorage::kTimestamp) continue;
        const auto value = BinaryDateTime(f, t.record.data());
        if (!value) continue;
        std::vector<char> copy = t.record;
        std::memset(copy.data() + f.offset, 0, 8);
        PutBinaryDateTime(f, copy.data(), *value);
        EXPECT_EQ(Hex(copy.data() + f.offset, 8), Hex(t.record.data() + f.offset, 8))
            << "record " << n << ", " << DateTimeText(*value);
        ++values;
      }
    }
    CloseDbf(t);
  }
  EXPECT_GE(values, 18);
}

class FoxProTableTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = DefaultDbfVersion; }
  void TearDown() override { DefaultDbfVersion = saved_; }
  // Creates a table with CreateDBF and opens it.
  void CreateAndOpen(std::uint8_t version, const std::vector<FieldEntry>& fields, TableRecord& t) {
    DefaultDbfVersion = version;
    TableRecord created;
    CreateDBF(created, path_, fields);
    ASSERT_EQ(EngineErrorCode, 0);
    t.file_name = path_;
    t.open_mode = os::kOpenReadWriteDenyNone;
    OpenDbf(t);
    ASSERT_EQ(EngineErrorCode, 0);
  }
  test::TempDir dir_;
  std::string path_ = dir_.File("fox.dbf");
  std::uint8_t saved_ = 0;
};

TEST_F(FoxProTableTest, NullAndVaryingBitsFollowFieldOrder) {
  FieldEntry maybe_null{"N1", 'I', 4, 0, 0};
  maybe_null.flags = kFieldMayBeNull;
  TableRecord t;
  CreateAndOpen(kVersionVisualFoxPro,
                {{"V1", 'V', 10, 0, 0}, maybe_null, {"C1", 'C', 3, 0, 0}, {"Q1", 'Q', 4, 0, 0}}, t);
  EXPECT_EQ(t.version(), kVersionVisualFoxProVarchar);
  EXPECT_EQ(t.header_length, 32 + 5 * 32 + 1 + 263);
  ASSERT_EQ(t.fields.size(), 4u);  // _NullFlags is held apart
  EXPECT_EQ(t.null_flags_length, 1);
  EXPECT_EQ(t.fields[0].varying_bit, 0);
  EXPECT_EQ(t.fields[1].null_bit, 1);
  EXPECT_EQ(t.fields[2].null_bit, -1);
  EXPECT_EQ(t.fields[3].varying_bit, 2);
  char* record = t.record.data();
  BlankNewRecordFields(t);
  PutVaryingBytes(t, t.fields[0], record, "abc");
  SetFieldNull(t, t.fields[1], record, true);
  PutVaryingBytes(t, t.fields[3], record, std::string("\x01\x02\x03\x04", 4));
  EXPECT_EQ(static_cast<unsigned char>(record[t.null_flags_offset]), 0x03);
  EXPECT_EQ(record[t.fields[0].offset + 9], 3);  // the length in the last byte
  EXPECT_EQ(VaryingBytes(t, t.fields[0], record), "abc");
  EXPECT_TRUE(FieldIsNull(t, t.fields[1], record));
  EXPECT_EQ(VaryingBytes(t, t.fields[3], record).size(), 4u);  // full: no varying bit
  PutVaryingBytes(t, t.fields[0], record, "0123456789");
  SetFieldNull(t, t.fields[1], record, false);
  EXPECT_EQ(static_cast<unsigned char>(record[t.null_flags_offset]), 0x00);
  EXPECT_EQ(VaryingBytes(t, t.fields[0], record), "0123456789");
  CloseDbf(t);
}

TEST_F(FoxProTableTest, AutoincrementCountersAdvanceInTheDescriptor) {
  for (const std::uint8_t version : {kVersionVisualFoxPro, kVersionLevel7}) {
    SCOPED_TRACE(int{version});
    TableRecord t;
    CreateAndOpen(version, {{"ID", '+', 4, 0, 0}, {"NAME", 'C', 5, 0, 0}}, t);
    ASSERT_TRUE(IsAutoincrement(t, t.fields[0]));
    for (int expected = 1; expected <= 3; ++expected) {
      BlankNewRecordFields(t);
      ASSERT_TRUE(AssignAutoincrements(t));
      EXPECT_EQ(BinaryNumber(t.fields[0], t.record.data()).value_or(-1), expected);
    }
    CloseDbf(t);
    std::ifstream in(path_, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const std::size_t at = version == kVersionLevel7 ? 68 + 42 : 32 + 19;
    EXPECT_EQ(bytes[at], 4);  // the next value
  }
}

TEST(DamagedHeaderTest, FieldsLongerThanTheRecordOpenOnlyForReading) {
  test::TempDir dir;
  const std::string path = dir.File("cut.dbf");
  // Two records of 1 + 4 + 4 bytes, the header saying 8 (as dbase-rs's stations file does).
  const test::Bytes bytes = test::DbfBuilder(0x03)
                                .Field("A", 'C', 4)
                                .Field("B", 'C', 4)
                                .RecordLength(8)
                                .EndMarker(false)
                                .Build();
  test::Bytes file = bytes;
  const std::string records = " aaaabbbb ccccdddd";
  file.insert(file.end(), records.begin(), records.end());
  file[4] = 2;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  TableRecord t;
  t.file_name = path;
  t.open_mode = os::kOpenReadOnlyDenyNone;
  OpenDbf(t);
  ASSERT_EQ(EngineErrorCode, 0);
  EXPECT_EQ(t.damage, "the fields need a record length of 9 bytes, the header says 8");
  EXPECT_EQ(t.record_length, 9);
  GetDbfRecord(t, 2);
  EXPECT_EQ(std::string(t.record.data(), 9), " ccccdddd");
  CloseDbf(t);
  TableRecord w;
  w.file_name = path;
  w.open_mode = os::kOpenReadWriteDenyNone;
  {
    QuietErrors quiet;
    OpenDbf(w);
  }
  EXPECT_EQ(EngineErrorCode, 210);
  EXPECT_NE(LastErrorMessage->find("opens only for reading"), std::string::npos);
}

}  // namespace
}  // namespace vx
