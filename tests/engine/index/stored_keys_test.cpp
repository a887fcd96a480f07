// Keys are made from the bytes a table stores, with case converted in the table's own code page:
// on OEM and ANSI tables, marked and unmarked, a name of every byte 128..255 gets the same key
// from the builder, from maintenance on edits, from a seek and from the checker's key maker.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "engine/expr/expression.h"
#include "engine/index/index_build.h"
#include "engine/index/index_check.h"
#include "engine/index/key_maker.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "platform/os/codepage.h"
#include "tests/engine/index/index_fixture.h"

namespace vx {
namespace {

// A dBASE III table NAME C 1, NUM N 3 with the language driver `mark`: record i holds the
// byte 127 + i, for every byte 128..255.
std::vector<unsigned char> HighByteTable(std::uint8_t mark) {
  std::vector<unsigned char> f(97, 0);
  f[0] = 0x03;
  f[1] = 124;
  f[2] = 1;
  f[3] = 1;
  const std::uint32_t n = 128;
  for (int i = 0; i < 4; ++i) f[4 + i] = static_cast<unsigned char>(n >> (8 * i));
  f[8] = 97;
  f[10] = 5;
  f[29] = mark;
  const auto field = [&](int at, const char* name, char type, int length) {
    std::memcpy(&f[static_cast<std::size_t>(at)], name, std::strlen(name));
    f[static_cast<std::size_t>(at) + 11] = static_cast<unsigned char>(type);
    f[static_cast<std::size_t>(at) + 16] = static_cast<unsigned char>(length);
  };
  field(32, "NAME", 'C', 1);
  field(64, "NUM", 'N', 3);
  f[96] = 0x0D;
  for (int b = 128; b < 256; ++b) {
    char record[6];
    std::snprintf(record, sizeof record, " %c%3d", static_cast<char>(b), b - 127);
    f.insert(f.end(), record, record + 5);
  }
  f.push_back(0x1A);
  return f;
}

const std::vector<TagDefinition> kTags = {
    {"NAME", "NAME", "", false, false},
    {"UNAME", "UPPER(NAME)", "", false, false},
    {"LNAME", "LOWER(NAME)", ".NOT. DELETED()", false, false},
};

struct Case {
  const char* what;
  bool ansi_switch;   // the application's choice: record buffers hold ANSI text as stored
  std::uint8_t mark;  // language driver byte
  int page;           // the page keys convert case in
  // Known case pairs of that page (lower, upper), checked against the built keys.
  std::vector<std::pair<unsigned char, unsigned char>> pairs;
};

const std::vector<Case> kCases = {
    {"OEM table without a mark", false, 0x00, 850, {{0x82, 0x90}, {0x87, 0x80}, {0xA4, 0xA5}}},
    {"ANSI table without a mark", true, 0x00, 1252, {{0xE9, 0xC9}, {0xE7, 0xC7}, {0xFF, 0x9F}}},
    {"OEM switch, table marked 1252", false, 0x03, 1252, {{0xE9, 0xC9}, {0xF1, 0xD1}}},
    {"ANSI switch, table marked 866", true, 0x65, 866, {{0xA0, 0x80}, {0xE0, 0x90}}},
};

class StoredKeysTest : public test::IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    os::SetCodePages(850, 1252);
  }
  void TearDown() override {
    IndexTest::TearDown();
    AnsiTables = false;
    os::SetCodePagesFromLocale();
  }

  // (key, record) items of every tag of the table's index file, each tree checked.
  std::map<std::string, std::set<std::pair<std::string, std::uint32_t>>> IndexItems() {
    std::map<std::string, std::set<std::pair<std::string, std::uint32_t>>> all;
    MdxFile file;
    EXPECT_TRUE(file.Open(dir_.File("T.MDX"), os::kOpenReadOnlyDenyNone));
    for (int tag = 1; tag <= file.header().TagCount(); ++tag) {
      TagHeader header;
      EXPECT_TRUE(file.ReadTagHeader(tag, header));
      std::vector<std::string> problems;
      std::vector<TagItem> items;
      CheckTagTree(file, header, ChooseComparator('C', 'C', false), problems, &items);
      EXPECT_TRUE(problems.empty()) << problems.front();
      for (const TagItem& item : items) all[header.KeyExpression()].emplace(item.key, item.record);
    }
    return all;
  }
};

TEST_F(StoredKeysTest, EveryHighByteGetsOneKeyWhoeverMakesIt) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    test::WriteBytes(dir_.File("T.DBF"), HighByteTable(c.mark));
    std::filesystem::remove(dir_.File("T.MDX"));
    AnsiTables = c.ansi_switch;
    Use(dir_.File("T.DBF") + " EXCLUSIVE");
    TableRecord* t = SelectedTable();
    ASSERT_EQ(TableCodePage(*t), c.page);
    ASSERT_TRUE(MakeIndex(kTags)) << LastErrorMessage;

    // Built: the stored byte, and its case counterpart in the table's page.
    auto built = IndexItems();
    const os::PageCase& page_case = os::CaseOfPage(c.page);
    for (std::uint32_t record = 1; record <= 128; ++record) {
      const auto byte = static_cast<unsigned char>(127 + record);
      EXPECT_TRUE(built["NAME"].count({std::string(1, static_cast<char>(byte)), record}))
          << "record " << record;
      const std::string upper(1, static_cast<char>(page_case.upper[byte]));
      EXPECT_TRUE(built["UPPER(NAME)"].count({upper, record})) << "record " << record;
    }
    for (const auto& [lower, upper] : c.pairs) {
      EXPECT_TRUE(built["UPPER(NAME)"].count(
          {std::string(1, static_cast<char>(upper)), static_cast<std::uint32_t>(lower - 127)}))
          << std::hex << int{lower};
    }

    // Checked: the key maker on each record read through the engine gives the built key.
    TagHeader header;
    {
      MdxFile file;
      ASSERT_TRUE(file.Open(dir_.File("T.MDX"), os::kOpenReadOnlyDenyNone));
      ASSERT_TRUE(file.ReadTagHeader(2, header));
    }
    TagExpressions expressions;
    ASSERT_TRUE(CompileTagExpressions(header, expressions));
    ASSERT_TRUE(SetIndexTo());
    Set_Order_To(0);
    for (std::int32_t record = 1; record <= 128; ++record) {
      GO(record);
      KeyBuffer key{};
      int length = 0;
      ASSERT_TRUE(MakeKey(expressions, header, *t, key, length));
      EXPECT_TRUE(
          built["UPPER(NAME)"].count({std::string(reinterpret_cast<const char*>(key.data()), 1),
                                      static_cast<std::uint32_t>(record)}))
          << "record " << record;
    }

    // Sought: the stored byte finds its record in every order; on a table whose buffers hold
    // ANSI text, the ANSI text of a byte that converts both ways finds it too.
    for (int order = 1; order <= 2; ++order) {
      Set_Order_To(order);
      for (std::int32_t record = 1; record <= 128; ++record) {
        const auto byte = static_cast<unsigned char>(127 + record);
        const unsigned char wanted = order == 1 ? byte : page_case.upper[byte];
        ASSERT_TRUE(FindStored(std::string(1, static_cast<char>(wanted))))
            << "order " << order << " byte " << int{wanted};
        // NUM still tells the record's byte: 127 + NUM.
        const int found_byte = 127 + std::atoi(std::string(t->record.data() + 2, 3).c_str());
        EXPECT_EQ(order == 1 ? found_byte : page_case.upper[found_byte], wanted);
        const std::string ansi = os::OemToAnsi(std::string(1, static_cast<char>(byte)));
        if (order == 1 && t->oem && os::AnsiToOem(ansi)[0] == static_cast<char>(byte)) {
          EXPECT_TRUE(Find(ansi)) << "byte " << int{byte};
          EXPECT_EQ(RecNo(), record);
        }
      }
    }

    // Maintained: every record edited outside its keys, deleted (out of the FOR tag) and
    // recalled; then the index equals one built afresh from the same file.
    Set_Order_To(2);
    for (std::int32_t record = 1; record <= 128; ++record) {
      GO(record);  // a strict re-synchronisation: 212 when the record's key is not in the tag
      ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
      const std::int32_t num = 999 - record;
      std::memcpy(FieldAddress(2), &num, sizeof num);
      REPLACE();
      ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
      DeleteRec();
      if (record % 2 == 0) RecallRec();
      ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
    }
    // New records written from the program's text: their keys are their stored bytes.
    for (const char* text : {"\xE9", "\xC7", "\xFC"}) {
      ClearRecord();
      char* name = FieldAddress(1);
      name[0] = 1;
      name[1] = text[0];
      Append();
      ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
    }
    CloseAll();
    const auto maintained = IndexItems();
    Use(dir_.File("T.DBF") + " EXCLUSIVE");
    ASSERT_TRUE(MakeIndex(kTags)) << LastErrorMessage;
    EXPECT_EQ(IndexItems(), maintained);
    CloseAll();
  }
}

}  // namespace
}  // namespace vx
