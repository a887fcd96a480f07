// An edit of one field leaves every other byte of a real table as it was: for every table of
// the shared corpus that opens, a copy gets its first character field of record 1 set through
// the record image and REPLACE (as vxdbf set does), in the OEM translation: to its own value,
// and to another one.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "engine/table/field_values.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "tests/engine/workarea/work_area_fixture.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

class CorpusEditTest : public test::WorkAreaTest {
 protected:
  // Copies the memo file beside a corpus table (any case of its name) to copy.dbt or
  // copy.fpt, after removing the last table's; answers whether there was one.
  bool CopyMemoFile(const fs::path& table) {
    fs::remove(dir_.File("copy.dbt"));
    fs::remove(dir_.File("copy.fpt"));
    bool found = false;
    for (const auto& sibling : fs::directory_iterator(table.parent_path())) {
      std::string stem = sibling.path().stem().string();
      std::string ext = sibling.path().extension().string();
      for (std::string* text : {&stem, &ext}) {
        for (char& c : *text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      std::string own = table.stem().string();
      for (char& c : own) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (stem != own || (ext != ".dbt" && ext != ".fpt")) continue;
      test::CopyWritable(sibling.path(), dir_.File("copy" + ext));
      found = true;
    }
    return found;
  }
  // An empty memo file: dBASE (next block 1, blocks of 512) or FoxPro (next block 8, blocks of
  // 64, both big-endian).
  static std::vector<unsigned char> EmptyMemo(bool foxpro) {
    std::vector<unsigned char> b(512, 0);
    if (foxpro) {
      b[3] = 8;
      b[7] = 64;
    } else {
      b[0] = 1;
    }
    return b;
  }
};

TEST_F(CorpusEditTest, SettingACharacterFieldChangesNoOtherByteOfAnyCorpusTable) {
  const fs::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus folder (../shared/corpus) is absent";
  int edited = 0;
  int with_binary_fields = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || !test::IsTableName(entry.path())) continue;
    const std::string rel = fs::relative(entry.path(), corpus).generic_string();
    for (const bool own_value : {true, false}) {
      SCOPED_TRACE(rel + (own_value ? ", own value" : ", another value"));
      const std::string path = dir_.File("copy.dbf");
      test::CopyWritable(entry.path(), path);
      // Read before the exclusive open, which on Windows keeps every other reader out.
      const std::vector<unsigned char> before = test::ReadBytes(path);
      const bool has_memo = CopyMemoFile(entry.path());
      {
        QuietErrors quiet;
        EngineErrorCode = 0;
        Use(path + " EXCLUSIVE");
        if (EngineErrorCode == 2 && !has_memo) {
          // A memo file the corpus lacks: an empty one of either kind lets the table open.
          EngineErrorCode = 0;
          test::WriteBytes(dir_.File("copy.dbt"), EmptyMemo(false));
          test::WriteBytes(dir_.File("copy.fpt"), EmptyMemo(true));
          Use(path + " EXCLUSIVE");
        }
        if (EngineErrorCode != 0 || RecCount() < 1) {
          CloseAll();
          break;  // tables that do not open are pinned by the table corpus test
        }
      }
      TableRecord& t = *SelectedTable();
      ASSERT_TRUE(t.oem);
      const bool binary = t.null_flags_length != 0 ||
                          std::any_of(t.fields.begin(), t.fields.end(), [](const FieldEntry& f) {
                            return f.storage != FieldStorage::kClassic;
                          });
      RecordImage image = RecordImage::Of(t);
      GO(1);
      // A character field that is not .NULL. (a value there would clear its null bit).
      int field = 0;
      for (int n = 1; n <= image.FieldCount() && field == 0; ++n) {
        const FieldEntry& f = image.Field(n);
        if (f.type == 'C' && f.length > 0 && !FieldIsNull(t, f, t.record.data())) field = n;
      }
      if (field == 0) {
        CloseAll();
        break;
      }
      const std::uint64_t at = t.RecordOffset(1) + image.Field(field).offset;
      const std::size_t length = image.Field(field).length;
      std::string text(image.Text(field));
      if (!own_value) text = text.empty() || text[0] != 'Q' ? "Q" + text : "R" + text;
      image.SetText(field, text);
      {
        QuietErrors quiet;
        EngineErrorCode = 0;
        REPLACE();
        CloseAll();
      }
      ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
      ++edited;
      if (binary) ++with_binary_fields;
      std::vector<unsigned char> after = test::ReadBytes(path);
      ASSERT_EQ(after.size(), before.size());
      // The date of last update (header bytes 1 to 3; 3 to 5 in dBASE II) is today's after an
      // edit; the field that was set may differ where its text has no counterpart in the other
      // code page.
      const std::ptrdiff_t date_at = before[0] == kVersionDbase2 ? 3 : 1;
      std::copy(before.begin() + date_at, before.begin() + date_at + 3, after.begin() + date_at);
      std::copy(before.begin() + static_cast<std::ptrdiff_t>(at),
                before.begin() + static_cast<std::ptrdiff_t>(at + length),
                after.begin() + static_cast<std::ptrdiff_t>(at));
      if (after != before) {
        std::size_t first = 0;
        while (after[first] == before[first]) ++first;
        ADD_FAILURE() << "byte " << first << " changed from " << int{before[first]} << " to "
                      << int{after[first]};
      }
    }
  }
  RecordProperty("edits", edited);
  RecordProperty("edits_of_tables_with_binary_fields", with_binary_fields);
  EXPECT_GT(edited, 180) << "edits";
  // Visual FoxPro and level 7 tables with a character field.
  EXPECT_GT(with_binary_fields, 60) << "edits of tables with binary fields";
}

}  // namespace
}  // namespace vx
