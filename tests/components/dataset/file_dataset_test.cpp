// ZOvEzi driven as the demo's form drives it: the film table created from DbfFields, opened
// shared, edited through the framework, and written under locks that a forked second process
// holds on the exact byte ranges of the file protocol.

#include "components/dataset/file_dataset.h"

#include <gmock/gmock.h>

#include "engine/foundation/settings.h"
#include "engine/workarea/hooks.h"
#include "platform/dataset/data_source.h"
#include "platform/os/file.h"
#include "tests/components/dataset/dataset_fixture.h"

namespace vx {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FileDatasetTest : public test::DatasetTest {};

TEST_F(FileDatasetTest, CreatesMissingTableFromDbfFieldsAndOpensItShared) {
  ZOvEzi* films = FilmDataset();
  films->Open();

  const std::vector<unsigned char> bytes = test::ReadBytes(dir_.File("movie.DBF"));
  ASSERT_GE(bytes.size(), std::size_t{test::kFilmHeaderLength});
  EXPECT_EQ(bytes[8] | bytes[9] << 8, test::kFilmHeaderLength);
  EXPECT_EQ(bytes[10] | bytes[11] << 8, test::kFilmRecordLength);
  // Descriptors: name at 0, type at 11, length at 16, decimals at 17.
  const struct {
    const char* name;
    char type;
    int length;
  } kDescriptors[] = {{"TITLE", 'C', 20},  {"YEAR", 'N', 4},    {"COLOR", 'L', 1},
                      {"RUNTIME", 'N', 3}, {"STARS", 'C', 50},  {"DIRECTOR", 'C', 20},
                      {"PLOT", 'M', 10},   {"PREMIERE", 'D', 8}};
  for (int i = 0; i < 8; ++i) {
    const unsigned char* d = bytes.data() + 32 + 32 * i;
    SCOPED_TRACE(kDescriptors[i].name);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d)), kDescriptors[i].name);
    EXPECT_EQ(d[11], kDescriptors[i].type);
    EXPECT_EQ(d[16], kDescriptors[i].length);
  }
  EXPECT_TRUE(std::filesystem::exists(dir_.File("movie.DBT")));

  EXPECT_TRUE(films->Active());
  EXPECT_TRUE(films->IsEmpty());
  EXPECT_EQ(films->RecordCount(), 0);
  EXPECT_TRUE(RecordedMessages().empty());
  // Shared: another open of the file (another program) is let in.
  os::File other;
  EXPECT_EQ(os::File::Open(dir_.File("movie.DBF"), os::kOpenReadWriteDenyNone, other), os::kIoOk);
}

TEST_F(FileDatasetTest, InsertsEditsCancelsAndPostsRecords) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  // A new record in an empty table starts from an empty window.
  std::vector<bool> window_empty;
  films->OnNewRecord = [&](TDataSet* d) { window_empty.push_back(d->IsEmpty()); };
  AddFilms(*films, {{"Metropolis", 1927}, {"Vertigo", 1958}, {"Alien", 1979}});
  EXPECT_THAT(window_empty, ElementsAre(true, false, false));
  films->OnNewRecord = nullptr;
  EXPECT_EQ(StoredRecords("movie.DBF"), 3u);
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Vertigo             ");
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kYear), "1958");
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kColor), "F");

  films->First();
  films->Next();
  films->Edit();
  films->FieldByName("YEAR")->SetAsInteger(1959);
  films->Cancel();
  EXPECT_EQ(films->FieldByName("YEAR")->AsInteger(), 1958);
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kYear), "1958");

  films->Edit();
  films->FieldByName("TITLE")->SetAsString("Vertigo (restored)");
  films->FieldByName("COLOR")->SetAsBoolean(true);
  films->Post();
  EXPECT_EQ(films->State(), dsBrowse);
  EXPECT_EQ(films->RecNo(), 2);
  EXPECT_EQ(films->FieldByName("TITLE")->AsString(), "Vertigo (restored)");
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Vertigo (restored)  ");
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kColor), "T");

  // An insert that is cancelled leaves the table and the window as they were.
  films->Insert();
  films->FieldByName("TITLE")->SetAsString("Never stored");
  films->Cancel();
  EXPECT_EQ(StoredRecords("movie.DBF"), 3u);
  EXPECT_EQ(films->FieldByName("TITLE")->AsString(), "Vertigo (restored)");

  // The records read back through a second dataset over the same file.
  ZOvEzi* again = FilmDataset("movie.DBF", "VxDbf2");
  again->Open();
  std::vector<std::string> titles;
  for (again->First(); !again->Eof(); again->Next()) {
    titles.push_back(again->FieldByName("TITLE")->AsString());
  }
  EXPECT_THAT(titles, ElementsAre("Metropolis", "Vertigo (restored)", "Alien"));
}

// Posting an edit of TITLE leaves the bytes of every other field as they were, also where the
// dataset could not give them back exactly: a blank number, a logical "?", a 1938 date shown
// with a two-digit year.
TEST_F(FileDatasetTest, PostingOneFieldKeepsTheStoredBytesOfTheOthers) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  AddFilms(*films, {{"Sabotage", 1936}});
  films->Close();
  const std::vector<unsigned char> before = StoreOddValuesInFilmOne();
  CenturyOn = false;
  films->Open();
  films->Edit();
  films->FieldByName("TITLE")->SetAsString("The Lady Vanishes");
  films->Post();
  films->Close();
  ExpectOnlyTitleOfFilmOneChanged(before, "The Lady Vanishes");
}

TEST_F(FileDatasetTest, DeletesRestoresAndHidesDeletedRecords) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  AddFilms(*films, {{"One", 1}, {"Two", 2}, {"Three", 3}});
  std::vector<std::string> events;
  films->BeforeRestore = [&](TObject*) { events.push_back("BeforeRestore"); };
  films->AfterRestore = [&](TObject*) { events.push_back("AfterRestore"); };

  films->SetRecNo(2);
  films->Delete();
  EXPECT_EQ(StoredFlag("movie.DBF", 2), '*');
  // Shown with its mark while deleted records are not hidden.
  EXPECT_EQ(films->RecNo(), 2);
  EXPECT_TRUE(films->IsDeleted());

  films->SetHideDeletedRecs(true);
  EXPECT_EQ(films->RecNo(), 3);
  std::vector<int> visible;
  for (films->First(); !films->Eof(); films->Next()) visible.push_back(films->RecNo());
  EXPECT_THAT(visible, ElementsAre(1, 3));

  films->SetHideDeletedRecs(false);
  films->SetRecNo(2);
  ASSERT_TRUE(films->IsDeleted());
  films->Restore();
  EXPECT_EQ(StoredFlag("movie.DBF", 2), ' ');
  EXPECT_FALSE(films->IsDeleted());
  EXPECT_THAT(events, ElementsAre("BeforeRestore", "AfterRestore"));

  // Deleting the only visible record empties the window.
  films->SetHideDeletedRecs(true);
  for (int n : {1, 2}) {
    films->SetRecNo(n);
    films->Delete();
  }
  films->SetRecNo(3);
  films->Delete();
  EXPECT_TRUE(films->IsEmpty());
  EXPECT_TRUE(films->Eof());
  EXPECT_EQ(StoredFlag("movie.DBF", 3), '*');
}

// Without an index engine nothing keeps a production index's keys: opening such a table for
// writing says so; reading it does not.
TEST_F(FileDatasetTest, WritableOpenOfATableWithAProductionIndexWarnsWithoutAnIndexEngine) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  AddFilms(*films, {{"One", 1}});
  delete films;
  auto bytes = test::ReadBytes(dir_.File("movie.DBF"));
  bytes[28] = 1;
  test::WriteBytes(dir_.File("movie.DBF"), bytes);
  ClearRecordedMessages();
  // As in a program built without the index engine.
  const bool index_engine = IndexHooks->present;
  IndexHooks->present = false;
  struct Restore {
    bool present;
    ~Restore() { IndexHooks->present = present; }
  } restore{index_engine};
  for (const bool read_only : {true, false}) {
    SCOPED_TRACE(read_only);
    films = FilmDataset();
    films->SetReadOnly(read_only);
    films->Open();
    EXPECT_EQ(films->RecordCount(), 1);
    delete films;
  }
  ASSERT_EQ(RecordedMessages().size(), 1u);
  EXPECT_THAT(RecordedMessages()[0], ::testing::HasSubstr("has a production index that is not "
                                                          "kept up to date here"));
}

TEST_F(FileDatasetTest, ReadOnlyRefusesEditsAndDropsWritesAlreadyUnderWay) {
  {
    ZOvEzi* films = FilmDataset();
    films->Open();
    AddFilms(*films, {{"One", 1}, {"Two", 2}});
    // Writes that began before ReadOnly was set are dropped at the lock step.
    films->First();
    films->Edit();
    films->FieldByName("YEAR")->SetAsInteger(111);
    films->SetReadOnly(true);
    films->Post();
    films->Delete();
    films->SetReadOnly(false);
    films->Append();
    films->FieldByName("TITLE")->SetAsString("Three");
    films->SetReadOnly(true);
    films->Post();
    EXPECT_EQ(films->State(), dsBrowse);
    delete films;
  }
  EXPECT_EQ(StoredRecords("movie.DBF"), 2u);
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kYear), "   1");
  EXPECT_EQ(StoredFlag("movie.DBF", 1), ' ');

  // Opened read-only: the framework refuses to start edits.
  ZOvEzi* reader = FilmDataset();
  reader->SetReadOnly(true);
  reader->Open();
  EXPECT_THROW(reader->Edit(), EDatabaseError);
  EXPECT_THROW(reader->Append(), EDatabaseError);
  EXPECT_EQ(reader->RecordCount(), 2);
}

TEST_F(FileDatasetTest, ExclusiveKeepsOtherOpensOutUntilItIsSwitchedOff) {
  ZOvEzi* films = FilmDataset();
  films->SetExclusive(true);
  films->Open();
  ZOvEzi* other = FilmDataset("movie.DBF", "VxDbf2");
  try {
    other->Open();
    ADD_FAILURE() << "a second open of an exclusive table succeeded";
  } catch (const EVexelError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Error # 32"));
  }
  EXPECT_FALSE(other->Active());
  films->SetExclusive(false);  // reopens shared
  EXPECT_TRUE(films->Active());
  other->Open();
  EXPECT_TRUE(other->Active());
}

TEST_F(FileDatasetTest, ReportsTablesThatCannotBeCreatedOrOpened) {
  ZOvEzi* bad = FilmDataset("bad.dbf");
  bad->DbfFields().Add("broken line, C");
  EXPECT_THROW(bad->Open(), EVexelError);  // the engine's open error stands: no such file
  EXPECT_THAT(RecordedMessages(), ElementsAre("Could not create \"" + dir_.File("bad.dbf") + "\""));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("bad.dbf")));

  ClearRecordedMessages();
  ZOvEzi* empty = new ZOvEzi(&form_);
  empty->SetDbfFileName(dir_.File("empty"));
  EXPECT_EQ(empty->DbfFileName(), dir_.File("empty.DBF"));
  EXPECT_THROW(empty->Open(), EVexelError);
  EXPECT_THAT(RecordedMessages(),
              ElementsAre("FieldList.Count is <= 0 trying to create a database",
                          "Could not create \"" + dir_.File("empty.DBF") + "\""));

  ZOvEzi* unnamed = new ZOvEzi(&form_);
  try {
    unnamed->Open();
    ADD_FAILURE() << "opened without a file name";
  } catch (const os::Exception& e) {
    EXPECT_STREQ(e.what(), "Missing DbfFilename property");
  }

  // With reporting switched off the open answers the engine's code, raised with its text.
  ZOvEzi* missing = FilmDataset("missing.dbf", "VxDbf3");
  missing->SetCreateIfNotFound(false);
  QuietErrors quiet;
  try {
    missing->Open();
    ADD_FAILURE() << "opened a missing table";
  } catch (const EVexelError&) {
    ADD_FAILURE() << "the engine raised although reporting was off";
  } catch (const os::Exception& e) {
    EXPECT_THAT(e.what(), ::testing::StartsWith("Dataset error: Error # 2 (File not found)\r\n"));
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("missing.dbf")));
}

// A second program holds the lock of record 2 (and, when asked, the append byte) until the
// parent says to let go.
int HoldLocks(test::Child& parent, const std::string& path, bool append_byte) {
  os::File file;
  if (os::File::Open(path, os::kOpenReadWriteDenyNone, file) != os::kIoOk) return 1;
  if (file.LockRange(test::FilmRecordLock(2), test::kFilmRecordLength) != os::kIoOk) return 2;
  if (append_byte && file.LockRange(test::kLockBase + 1, 1) != os::kIoOk) return 3;
  parent.Send('L');
  while (parent.Receive() == 'R') {
    file.UnlockRange(test::FilmRecordLock(2), test::kFilmRecordLength);
    file.UnlockRange(test::kLockBase + 1, 1);
    parent.Send('U');
  }
  return 0;
}

TEST_F(FileDatasetTest, PostRetriesWhenTheLockFailedHandlerAsksAndTheOtherProgramLetsGo) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  AddFilms(*films, {{"One", 1}, {"Two", 2}, {"Three", 3}});
  test::Child other([&](test::Child& c) { return HoldLocks(c, dir_.File("movie.DBF"), false); });
  ASSERT_EQ(other.Receive(), 'L');

  std::vector<std::string> events;
  films->BeforePost = [&](TDataSet*) { events.push_back("BeforePost"); };
  films->AfterPost = [&](TDataSet*) { events.push_back("AfterPost"); };
  int asked = 0;
  films->OnRLockFailedOnPost = [&](TObject* sender, bool& retry) {
    events.push_back("OnRLockFailedOnPost");
    EXPECT_EQ(sender, films);
    other.Send('R');
    EXPECT_EQ(other.Receive(), 'U');
    // A lock that keeps failing after the other program let go is a fault: give up, don't spin.
    retry = ++asked < 3;
  };
  films->SetRecNo(2);
  films->Edit();
  films->FieldByName("YEAR")->SetAsInteger(2002);
  films->Post();

  EXPECT_THAT(events, ElementsAre("BeforePost", "OnRLockFailedOnPost", "AfterPost"));
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kYear), "2002");
  EXPECT_TRUE(RecordedMessages().empty());
  // The lock was released after the write: the other program can take it again.
  os::File probe;
  ASSERT_EQ(os::File::Open(dir_.File("movie.DBF"), os::kOpenReadWriteDenyNone, probe), os::kIoOk);
  EXPECT_EQ(probe.LockRange(test::FilmRecordLock(2), test::kFilmRecordLength), os::kIoOk);
  EXPECT_EQ(other.Wait(), 0);
}

TEST_F(FileDatasetTest, RefusedLocksDropTheWriteAndLeaveTheTableUnchanged) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  AddFilms(*films, {{"One", 1}, {"Two", 2}, {"Three", 3}});
  const std::vector<unsigned char> before = test::ReadBytes(dir_.File("movie.DBF"));
  test::Child other([&](test::Child& c) { return HoldLocks(c, dir_.File("movie.DBF"), true); });
  ASSERT_EQ(other.Receive(), 'L');

  // The handler gives up.
  int asked = 0;
  films->OnRLockFailedOnPost = [&](TObject*, bool& retry) {
    ++asked;
    retry = false;
  };
  films->SetRecNo(2);
  films->Edit();
  films->FieldByName("YEAR")->SetAsInteger(2002);
  films->Post();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(films->State(), dsBrowse);
  EXPECT_EQ(films->FieldByName("YEAR")->AsInteger(), 2);  // re-read from the table
  EXPECT_TRUE(RecordedMessages().empty());

  // No handler: the warning names the operation.
  films->OnRLockFailedOnPost = nullptr;
  films->Edit();
  films->FieldByName("YEAR")->SetAsInteger(2003);
  films->Post();
  films->Delete();
  films->Append();
  films->FieldByName("TITLE")->SetAsString("Four");
  films->Post();
  EXPECT_THAT(RecordedMessages(),
              ElementsAre("Lock failed [Post]", "Lock failed [Delete]", "Lock failed [Insert]"));
  EXPECT_EQ(test::ReadBytes(dir_.File("movie.DBF")), before);
  EXPECT_EQ(films->RecordCount(), 3);

  // Record 1 is free: writes to it go through while the other program keeps record 2.
  films->SetRecNo(1);
  films->Edit();
  films->FieldByName("YEAR")->SetAsInteger(1001);
  films->Post();
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kYear), "1001");
  other.Send('Q');
  EXPECT_EQ(other.Wait(), 0);
}

TEST_F(FileDatasetTest, ScrollsAGridWindowAndKeepsBookmarks) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  std::vector<std::pair<std::string, int>> many;
  for (int i = 1; i <= 30; ++i) many.push_back({"Film " + std::to_string(i), 1900 + i});
  AddFilms(*films, many);

  auto* source = new TDataSource(&form_);
  source->SetDataSet(films);
  TDataLink grid;
  grid.SetDataSource(source);
  grid.SetBufferCount(5);
  films->First();
  EXPECT_EQ(grid.RecordCount(), 5);
  EXPECT_EQ(films->MoveBy(7), 7);
  EXPECT_EQ(films->RecNo(), 8);
  const TBookmark mark = films->GetBookmark();
  films->Last();
  EXPECT_EQ(films->RecNo(), 30);
  EXPECT_EQ(films->MoveBy(-3), -3);
  EXPECT_EQ(films->FieldByName("TITLE")->AsString(), "Film 27");
  EXPECT_EQ(films->CompareBookmarks(mark, films->GetBookmark()), -1);
  EXPECT_EQ(films->CompareBookmarks(films->GetBookmark(), mark), 1);
  EXPECT_EQ(films->CompareBookmarks({}, {}), 0);
  EXPECT_EQ(films->CompareBookmarks({}, mark), -1);
  EXPECT_EQ(films->CompareBookmarks(mark, {}), 1);
  films->GotoBookmark(mark);
  EXPECT_EQ(films->RecNo(), 8);
  EXPECT_EQ(films->FieldByName("YEAR")->AsInteger(), 1908);
  EXPECT_TRUE(films->BookmarkValid(mark));
  const TBookmark beyond = {std::byte{99}, std::byte{0}, std::byte{0}, std::byte{0}};
  EXPECT_FALSE(films->BookmarkValid(beyond));
  EXPECT_THROW(films->GotoBookmark(beyond), EDatabaseError);  // "Record not found"
  grid.SetDataSource(nullptr);
}

}  // namespace
}  // namespace vx
