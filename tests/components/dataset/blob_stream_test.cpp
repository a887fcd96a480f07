// Memo fields through blob streams: the demo's PLOT read, written, posted under the record
// lock, cleared, and refused on a closed dataset.

#include "components/dataset/blob_stream.h"

#include "components/dataset/file_dataset.h"
#include "engine/foundation/errors.h"
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
