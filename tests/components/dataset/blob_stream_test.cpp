// Memo fields through blob streams: the demo's PLOT read, written, posted under the record
// lock, cleared, and refused on a closed dataset.

#include "components/dataset/blob_stream.h"

#include "components/dataset/file_dataset.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/table/dbf_file.h"
#include "platform/os/file.h"
#include "tests/components/dataset/dataset_fixture.h"

namespace vx {
namespace {

using BlobStreamTest = test::DatasetTest;

TEST_F(BlobStreamTest, WritesAndReadsThePlotOfAFilm) {
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  AddFilms(*films, {{"Vertigo", 1958}, {"Psycho", 1960}});
  films->First();
  films->Edit();
  films->FieldByName("PLOT")->SetAsString("A detective afraid of heights follows a woman.");
  films->Post();
  films->Next();
  {
    auto stream = films->CreateBlobStream(films->FieldByName("PLOT"), bmWrite);
    stream->WriteBuffer("A motel", 7);
    stream->WriteBuffer(" at night.", 10);
  }
  EXPECT_EQ(films->State(), dsEdit);
  films->Post();
  EXPECT_EQ(films->FieldByName("PLOT")->AsString(), "A motel at night.");
  {
    auto stream = films->CreateBlobStream(films->FieldByName("PLOT"), bmRead);
    char text[7] = {};
    EXPECT_EQ(stream->Seek(2, soBeginning), 2);
    EXPECT_EQ(stream->Read(text, 5), 5);
    EXPECT_EQ(std::string(text, 5), "motel");
  }
  EXPECT_EQ(StoredPlot(1), "A detective afraid of heights follows a woman.");
  EXPECT_EQ(StoredPlot(2), "A motel at night.");
}

TEST_F(BlobStreamTest, CancelledEditKeepsTheStoredMemo) {
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  AddFilms(*films, {{"Alien", 1979}});
  films->Edit();
  films->FieldByName("PLOT")->SetAsString("In space no one can hear you scream.");
  films->Post();
  films->Edit();
  films->FieldByName("PLOT")->SetAsString("Something else entirely.");
  films->Cancel();
  EXPECT_EQ(films->FieldByName("PLOT")->AsString(), "In space no one can hear you scream.");
  EXPECT_EQ(StoredPlot(1), "In space no one can hear you scream.");
}

// Plot n of a run of edits: 100 to 1,900 bytes, so that memos of one to four blocks replace
// each other.
std::string EditedPlot(int n) {
  std::string text = "Take " + std::to_string(n) + ":";
  const std::size_t length = 100 + static_cast<std::size_t>(n * 7919 % 1800);
  while (text.size() < length) text += " and then";
  text.resize(length);
  return text;
}

// One plot edited a thousand times through the dataset, among nineteen others, with cancelled
// edits, refused posts and edits that write the memo twice: every memo reads back, and the
// file stays within twice the blocks its memos and header take.
TEST_F(BlobStreamTest, AThousandEditsOfOnePlotKeepTheMemoFileNearItsLiveData) {
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  std::vector<std::pair<std::string, int>> list;
  for (int i = 1; i <= 20; ++i) list.emplace_back("Film " + std::to_string(i), 1900 + i);
  AddFilms(*films, list);
  std::vector<std::string> plots(21);
  for (int n = 1; n <= 20; ++n) {
    films->SetRecNo(n);
    films->Edit();
    plots[n] = EditedPlot(5000 + n);
    films->FieldByName("PLOT")->SetAsString(plots[n]);
    films->Post();
  }
  os::File other;  // another program, holding record 7's lock for the refused posts
  ASSERT_EQ(os::File::Open(dir_.File("movie.DBF"), os::kOpenReadWriteDenyNone, other), 0);
  films->OnRLockFailedOnPost = [](TObject*, bool& retry) { retry = false; };
  TField* plot = films->FieldByName("PLOT");
  for (int i = 0; i < 1000; ++i) {
    films->SetRecNo(7);
    films->Edit();
    plot->SetAsString(EditedPlot(i));
    switch (i % 10) {
      case 3:
        films->Cancel();
        break;
      case 5:
        ASSERT_EQ(other.LockRange(test::FilmRecordLock(7), test::kFilmRecordLength), 0);
        films->Post();
        other.UnlockRange(test::FilmRecordLock(7), test::kFilmRecordLength);
        break;
      case 7:
        plot->SetAsString(EditedPlot(i + 1));
        films->Post();
        plots[7] = EditedPlot(i + 1);
        break;
      default:
        films->Post();
        plots[7] = EditedPlot(i);
    }
    ASSERT_EQ(plot->AsString(), plots[7]) << "edit " << i;
  }
  std::uint64_t live_blocks = 1;  // the header
  for (int n = 1; n <= 20; ++n) {
    EXPECT_EQ(StoredPlot(n), plots[n]) << "film " << n;
    live_blocks += (plots[n].size() + 8 + 511) / 512;
  }
  const MemoFileUse use = MemoUse();
  EXPECT_FALSE(use.chain_damaged);
  EXPECT_EQ(use.used_blocks + 1, live_blocks) << "no block is held by a memo no record names";
  EXPECT_LE(use.bytes, 2 * 512 * live_blocks);
}

// dBASE III and FoxPro files keep no free list: a memo written for an edit that does not
// reach the record (cancelled, refused, deleted in the middle, closed) is cut off the end of
// the file again.
class DroppedMemoTest : public test::DatasetTest,
                        public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(DroppedMemoTest, DroppedEditsLeaveTheMemoFileAsItWas) {
  const std::uint8_t saved = DefaultDbfVersion;
  DefaultDbfVersion = GetParam();
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  DefaultDbfVersion = saved;
  const std::string memo_file = GetParam() == kVersionFoxProMemo ? "movie.FPT" : "movie.DBT";
  AddFilms(*films, {{"Alien", 1979}, {"Jaws", 1975}});
  films->First();
  films->Edit();
  films->FieldByName("PLOT")->SetAsString("In space no one can hear you scream.");
  films->Post();
  const std::vector<unsigned char> before = test::ReadBytes(dir_.File(memo_file));

  films->Edit();
  films->FieldByName("PLOT")->SetAsString(EditedPlot(1));
  films->FieldByName("PLOT")->SetAsString(EditedPlot(2));
  films->Cancel();
  EXPECT_EQ(test::ReadBytes(dir_.File(memo_file)), before);

  os::File other;
  ASSERT_EQ(os::File::Open(dir_.File("movie.DBF"), os::kOpenReadWriteDenyNone, other), 0);
  ASSERT_EQ(other.LockRange(test::FilmRecordLock(1), test::kFilmRecordLength), 0);
  films->Edit();
  films->FieldByName("PLOT")->SetAsString(EditedPlot(3));
  films->Post();
  EXPECT_EQ(RecordedMessages(), std::vector<std::string>{"Lock failed [Post]"});
  EXPECT_EQ(test::ReadBytes(dir_.File(memo_file)), before);
  EXPECT_EQ(films->FieldByName("PLOT")->AsString(), "In space no one can hear you scream.");
  EXPECT_EQ(StoredPlot(1), "In space no one can hear you scream.");

  // Deleting in the middle of an edit keeps the record's own memo for a recall.
  other.UnlockRange(test::FilmRecordLock(1), test::kFilmRecordLength);
  ClearRecordedMessages();
  films->Edit();
  films->FieldByName("PLOT")->SetAsString(EditedPlot(5));
  films->Delete();
  EXPECT_TRUE(RecordedMessages().empty());
  EXPECT_EQ(StoredFlag("movie.DBF", 1), '*');
  EXPECT_EQ(test::ReadBytes(dir_.File(memo_file)), before);
  EXPECT_EQ(StoredPlot(1), "In space no one can hear you scream.");

  // Closing the table in the middle of an edit drops it, memo and all.
  films->Edit();
  films->FieldByName("PLOT")->SetAsString(EditedPlot(4));
  films->SetActive(false);
  EXPECT_EQ(test::ReadBytes(dir_.File(memo_file)), before);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DroppedMemoTest,
                         ::testing::Values(kVersionDbase3Memo, kVersionFoxProMemo));

TEST_F(BlobStreamTest, WriteStreamWithoutTextClearsTheMemoReference) {
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  AddFilms(*films, {{"Jaws", 1975}});
  films->Edit();
  films->FieldByName("PLOT")->SetAsString("A shark.");
  films->Post();
  { auto stream = films->CreateBlobStream(films->FieldByName("PLOT"), bmWrite); }
  films->Post();
  EXPECT_EQ(films->FieldByName("PLOT")->AsString(), "");
  EXPECT_EQ(StoredField("movie.DBF", 1, {99, 10}), std::string(10, ' '));
}

TEST_F(BlobStreamTest, ClosedDatasetRefusesAStream) {
  ZOvEzi* films = FilmDataset();
  TMemoField plot(nullptr);  // the dataset's own fields exist only while it is open
  try {
    TVxBlobStream stream(*films, plot, bmRead, true);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error # 1103 (Invalid Operation )\r\nDataSet must be active. VxDbf1");
  }
}

}  // namespace
}  // namespace vx
