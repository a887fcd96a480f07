#pragma once
// Test support for the dataset components: the engine started fresh for each test, a form that
// owns the components, the demo's film table definition, its on-disk layout written out by hand,
// and a forked helper process that stands for another program sharing the table.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "components/dataset/file_dataset.h"
#include "components/dataset/table_dataset.h"
#include "engine/foundation/errors.h"
#include "engine/memo/memo_file.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/locks.h"
#include "platform/dataset/application.h"
#include "platform/dataset/sys_utils.h"
#include "tests/support/child_process.h"
#include "tests/support/mdx_writer.h"
#include "tests/support/temp_dir.h"

namespace vx::test {

// The demo's DbfFields.
inline const std::vector<std::string> kFilmFields = {
    "title, C, 20, 0", "year, N, 4, 0",      "color, L, 1, 0", "runtime, N, 3, 0",
    "stars, C, 50, 0", "director, C, 20, 0", "plot, M, 10, 0", "premiere, D, 10, 0"};

// The film table as the engine writes it: 32-byte prologue, 8 descriptors of 32 bytes and the
// terminator; records of 117 bytes (flag, TITLE 20, YEAR 4, COLOR 1, RUNTIME 3, STARS 50,
// DIRECTOR 20, PLOT 10, PREMIERE 8).
inline constexpr int kFilmHeaderLength = 289;
inline constexpr int kFilmRecordLength = 117;
struct FieldSpan {
  int offset;
  int length;
};
inline constexpr FieldSpan kTitle{1, 20};
inline constexpr FieldSpan kYear{21, 4};
inline constexpr FieldSpan kColor{25, 1};
inline constexpr FieldSpan kPremiere{109, 8};
// Lock ranges of the file protocol, written out: LockBase 0x40000000, the append byte after it,
// and record n's range at LockBase + header length + (n - 1) * record length.
inline constexpr std::uint64_t kLockBase = 0x40000000;
inline std::uint64_t FilmRecordLock(int n) {
  return kLockBase + kFilmHeaderLength + std::uint64_t(n - 1) * kFilmRecordLength;
}

class DatasetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEngine();
    ResetFormatSettings();
    InitTableDatasetUnit();
    ClearRecordedMessages();
    MessageMode = 2;
  }
  void TearDown() override {
    // The components close their work areas before the engine shuts down.
    while (form_.ComponentCount() > 0) delete form_.Components(form_.ComponentCount() - 1);
    ShutdownEngine();
    ResetFormatSettings();
    LockRetries = 0;
  }

  // A ZOvEzi named VxDbf1 on the form, set up as the demo's, over `file` in the temp folder.
  ZOvEzi* FilmDataset(const std::string& file = "movie.DBF", const std::string& name = "VxDbf1") {
    auto* dataset = new ZOvEzi(&form_);
    dataset->SetName(name);
    dataset->SetDbfFileName(dir_.File(file));
    for (const std::string& line : kFilmFields) dataset->DbfFields().Add(line);
    return dataset;
  }

  // The PLOT memo of film n as another program reading the table now would see it: through a
  // fresh dataset over the same file.
  std::string StoredPlot(int n, const std::string& file = "movie.DBF") {
    ZOvEzi* reader = FilmDataset(file, "Reader");
    reader->SetActive(true);
    reader->SetRecNo(n);
    const std::string text = reader->FieldByName("PLOT")->AsString();
    delete reader;
    return text;
  }

  // Appends films through the dataset: titles and years, in order.
  static void AddFilms(TDataSet& dataset, const std::vector<std::pair<std::string, int>>& films) {
    for (const auto& [title, year] : films) {
      dataset.Append();
      dataset.FieldByName("TITLE")->SetAsString(title);
      dataset.FieldByName("YEAR")->SetAsInteger(year);
      dataset.Post();
    }
  }

  // The stored text of one field of record n, straight from the file.
  std::string StoredField(const std::string& file, int n, FieldSpan span) const {
    const std::vector<unsigned char> bytes = ReadBytes(dir_.File(file));
    const std::size_t at = kFilmHeaderLength + std::size_t(n - 1) * kFilmRecordLength;
    if (bytes.size() < at + kFilmRecordLength) return "<no record " + std::to_string(n) + ">";
    return std::string(bytes.begin() + at + span.offset,
                       bytes.begin() + at + span.offset + span.length);
  }
  // Gives film 1 stored values that a dataset cannot show exactly (COLOR "?", RUNTIME blank,
  // PREMIERE 1938-12-12, which a two-digit year shows as 38) and answers the file's bytes.
  std::vector<unsigned char> StoreOddValuesInFilmOne(const std::string& file = "movie.DBF") {
    std::vector<unsigned char> bytes = ReadBytes(dir_.File(file));
    PatchFilmOne(bytes, kColor, "?");
    PatchFilmOne(bytes, {26, 3}, "   ");  // RUNTIME
    PatchFilmOne(bytes, kPremiere, "19381212");
    WriteBytes(dir_.File(file), bytes);
    return bytes;
  }
  // Expects the file to hold `before` but for film 1's TITLE, now `title`, and the date of last
  // update (header bytes 1 to 3).
  void ExpectOnlyTitleOfFilmOneChanged(std::vector<unsigned char> before, const std::string& title,
                                       const std::string& file = "movie.DBF") const {
    std::vector<unsigned char> after = ReadBytes(dir_.File(file));
    ASSERT_EQ(after.size(), before.size());
    PatchFilmOne(before, kTitle, title + std::string(kTitle.length - title.size(), ' '));
    std::copy(before.begin() + 1, before.begin() + 4, after.begin() + 1);
    EXPECT_EQ(after, before);
  }
  static void PatchFilmOne(std::vector<unsigned char>& bytes, FieldSpan span,
                           const std::string& text) {
    std::copy(text.begin(), text.end(), bytes.begin() + kFilmHeaderLength + span.offset);
  }
  char StoredFlag(const std::string& file, int n) const {
    const std::vector<unsigned char> bytes = ReadBytes(dir_.File(file));
    return static_cast<char>(bytes.at(kFilmHeaderLength + std::size_t(n - 1) * kFilmRecordLength));
  }
  // The records in the file, counted by the file's size.
  std::size_t StoredRecords(const std::string& file) const {
    const std::size_t size = ReadBytes(dir_.File(file)).size();
    return size < kFilmHeaderLength ? 0 : (size - kFilmHeaderLength) / kFilmRecordLength;
  }

  // The TITLE tag (C 20, key TITLE) over `titles` (record n holds titles[n - 1]), as a freshly
  // built index has it.
  static TagShape TitleTag(const std::vector<std::string>& titles) {
    TagShape tag;
    tag.name = "TITLE";
    tag.key_expression = "TITLE";
    tag.key_length = 20;
    for (std::size_t i = 0; i < titles.size(); ++i) {
      std::string key = titles[i];
      key.resize(20, ' ');
      tag.items.emplace_back(key, static_cast<std::uint32_t>(i + 1));
    }
    std::sort(tag.items.begin(), tag.items.end());
    return tag;
  }

  // movie.DBF with `titles` (years 1990 on), its production-index flag set, and movie.MDX with
  // the TITLE tag made by the test writer. Answers the table's path.
  std::string MakeIndexedFilms(const std::vector<std::string>& titles) {
    ZOvEzi* films = FilmDataset();
    films->SetActive(true);
    std::vector<std::pair<std::string, int>> rows;
    for (std::size_t i = 0; i < titles.size(); ++i)
      rows.emplace_back(titles[i], 1990 + static_cast<int>(i));
    AddFilms(*films, rows);
    delete films;
    std::vector<unsigned char> table = ReadBytes(dir_.File("movie.DBF"));
    table[28] = 1;
    WriteBytes(dir_.File("movie.DBF"), table);
    WriteBytes(dir_.File("movie.MDX"), BuildMdx("movie", {TitleTag(titles)}));
    return dir_.File("movie.DBF");
  }

  // The memo file as another program finds it: its size and, for dBASE IV files, the blocks
  // that hold memos (neither the header nor listed in the free chain).
  struct MemoFileUse {
    std::uint64_t bytes = 0;
    std::uint64_t used_blocks = 0;
    bool chain_damaged = false;
  };
  MemoFileUse MemoUse(const std::string& file = "movie.DBT") const {
    MemoFile m;
    EXPECT_EQ(
        OpenMemoFile(dir_.File(file), kVersionDbase4Memo, os::kOpenReadOnlyDenyNone, false, m), 0);
    const MemoSummary summary = SummarizeMemo(m);
    MemoFileUse use;
    use.bytes = FileSize(m);
    use.used_blocks = BlockCount(m) - 1 - summary.chain_blocks;
    use.chain_damaged = summary.chain_damaged;
    return use;
  }

  TempDir dir_;
  TComponent form_{nullptr};
};

}  // namespace vx::test
