// TDataSet over the in-memory store: opening, the buffer window seen through data links,
// navigation, the edit cycle with its event sequences (including aborted and failed posts),
// bookmarks, resynchronisation, calculated fields, the framework's errors, and a million-row
// store that is only read where the window is.

#include "platform/dataset/dataset.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dataset/data_source.h"
#include "platform/dataset/sys_utils.h"
#include "tests/platform/dataset/mem_dataset.h"

namespace vx::test {
namespace {

using Log = std::vector<std::string>;

// Records what a grid-like link hears.
class RecordingLink : public TDataLink {
 public:
  Log events;

 protected:
  void ActiveChanged() override { events.push_back(Active() ? "active" : "inactive"); }
  void DataSetChanged() override { events.push_back("changed"); }
  void DataSetScrolled(int distance) override {
    events.push_back("scrolled:" + std::to_string(distance));
  }
  void RecordChanged(TField* field) override {
    events.push_back("record:" + (field != nullptr ? field->FieldName() : std::string()));
  }
  void EditingChanged() override { events.push_back(Editing() ? "editing" : "browsing"); }
};

void RecordEvents(TDataSet& ds, Log& log) {
  const auto add = [&log](const char* name) {
    return [&log, name](TDataSet*) { log.push_back(name); };
  };
  ds.BeforeOpen = add("BeforeOpen");
  ds.AfterOpen = add("AfterOpen");
  ds.BeforeClose = add("BeforeClose");
  ds.AfterClose = add("AfterClose");
  ds.BeforeInsert = add("BeforeInsert");
  ds.AfterInsert = add("AfterInsert");
  ds.BeforeEdit = add("BeforeEdit");
  ds.AfterEdit = add("AfterEdit");
  ds.BeforePost = add("BeforePost");
  ds.AfterPost = add("AfterPost");
  ds.BeforeCancel = add("BeforeCancel");
  ds.AfterCancel = add("AfterCancel");
  ds.BeforeDelete = add("BeforeDelete");
  ds.AfterDelete = add("AfterDelete");
  ds.BeforeScroll = add("BeforeScroll");
  ds.AfterScroll = add("AfterScroll");
  ds.OnNewRecord = add("OnNewRecord");
}

class DataSetTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(12); }

  void Open(int rows, int buffer_count = 5) {
    ds_ = MakeFilms(&root_, rows);
    source_ = new TDataSource(&root_);
    source_->SetDataSet(ds_);
    link_.SetBufferCount(buffer_count);
    link_.SetDataSource(source_);
    RecordEvents(*ds_, log_);
    ds_->Open();
    log_.clear();
    link_.events.clear();
  }

  // The IDs of the records in the link's rows, read by making each row active in turn.
  std::vector<int> Window() {
    std::vector<int> ids;
    const int saved = link_.ActiveRecord();
    for (int row = 0; row < link_.RecordCount(); ++row) {
      link_.SetActiveRecord(row);
      ids.push_back(link_.DataSet()->FieldByName("ID")->AsInteger());
    }
    link_.SetActiveRecord(saved);
    return ids;
  }

  int Id() { return ds_->FieldByName("ID")->AsInteger(); }
  std::string Name() { return ds_->FieldByName("NAME")->AsString(); }

  // Declared before the root: the root's tear-down may still close datasets (firing events
  // into the log) and detach the link.
  Log log_;
  RecordingLink link_;
  TComponent root_{nullptr};
  MemDataSet* ds_ = nullptr;
  TDataSource* source_ = nullptr;
};

using Ids = std::vector<int>;

TEST_F(DataSetTest, OpenFillsTheWindowAndCloseReleasesDefaultFields) {
  EXPECT_EQ(ds_->State(), dsBrowse);
  EXPECT_EQ(Window(), (Ids{1, 2, 3, 4, 5}));
  EXPECT_EQ(link_.ActiveRecord(), 0);
  EXPECT_TRUE(ds_->Bof());
  EXPECT_FALSE(ds_->Eof());
  EXPECT_EQ(ds_->RecordCount(), 12);
  EXPECT_EQ(ds_->FieldCount(), 7);
  EXPECT_TRUE(ds_->DefaultFields());

  ds_->Close();
  EXPECT_EQ(log_, (Log{"BeforeClose", "AfterClose"}));
  EXPECT_EQ(ds_->FieldCount(), 0);
  EXPECT_FALSE(link_.Active());
  EXPECT_EQ(link_.events, (Log{"inactive"}));

  log_.clear();
  ds_->Open();
  EXPECT_EQ(log_, (Log{"BeforeOpen", "AfterOpen", "AfterScroll"}));
}

TEST_F(DataSetTest, EmptyStoreOpensWithoutScrollAtBothEnds) {
  MemDataSet* empty = MakeFilms(&root_, 0);
  Log log;
  RecordEvents(*empty, log);
  empty->Open();
  EXPECT_EQ(log, (Log{"BeforeOpen", "AfterOpen"}));
  EXPECT_TRUE(empty->IsEmpty());
  EXPECT_TRUE(empty->Bof());
  EXPECT_TRUE(empty->Eof());
  EXPECT_TRUE(empty->FieldByName("ID")->IsNull());
  EXPECT_TRUE(empty->GetBookmark().empty());
  EXPECT_EQ(empty->MoveBy(1), 0);
}

TEST_F(DataSetTest, ActiveStoredWhileLoadingOpensWhenLoaded) {
  MemDataSet* loaded = MakeFilms(&root_, 2);
  loaded->BeginLoading();
  loaded->SetActive(true);
  EXPECT_FALSE(loaded->Active());
  loaded->EndLoading();
  EXPECT_TRUE(loaded->Active());
  EXPECT_EQ(loaded->FieldByName("NAME")->AsString(), "Name 1");
}

TEST_F(DataSetTest, NavigationMovesInsideTheWindowAndScrollsAtItsEdges) {
  for (int i = 0; i < 4; ++i) ds_->Next();
  EXPECT_EQ(Window(), (Ids{1, 2, 3, 4, 5}));
  EXPECT_EQ(link_.ActiveRecord(), 4);
  EXPECT_FALSE(ds_->Bof());
  EXPECT_EQ(link_.events, (Log{"scrolled:0", "scrolled:0", "scrolled:0", "scrolled:0"}));

  link_.events.clear();
  ds_->Next();
  EXPECT_EQ(Window(), (Ids{2, 3, 4, 5, 6}));
  EXPECT_EQ(link_.ActiveRecord(), 4);
  EXPECT_EQ(ds_->MoveBy(3), 3);
  EXPECT_EQ(Window(), (Ids{5, 6, 7, 8, 9}));
  EXPECT_EQ(link_.events, (Log{"scrolled:1", "scrolled:3"}));

  ds_->Last();
  EXPECT_EQ(Window(), (Ids{8, 9, 10, 11, 12}));
  EXPECT_EQ(link_.ActiveRecord(), 4);
  EXPECT_TRUE(ds_->Eof());
  EXPECT_EQ(ds_->MoveBy(1), 0);
  EXPECT_EQ(ds_->MoveBy(-4), -4);
  EXPECT_FALSE(ds_->Eof());
  EXPECT_EQ(link_.ActiveRecord(), 0);
  EXPECT_EQ(Id(), 8);

  link_.events.clear();
  ds_->Prior();
  EXPECT_EQ(Window(), (Ids{7, 8, 9, 10, 11}));
  EXPECT_EQ(link_.events, (Log{"scrolled:-1"}));

  ds_->First();
  EXPECT_EQ(Window(), (Ids{1, 2, 3, 4, 5}));
  EXPECT_TRUE(ds_->Bof());
  EXPECT_EQ(ds_->MoveBy(11), 11);
  EXPECT_EQ(Id(), 12);
  EXPECT_FALSE(ds_->Eof());  // it arrived on the last record without running into the end
  ds_->Next();
  EXPECT_TRUE(ds_->Eof());
  EXPECT_EQ(Id(), 12);
  ds_->First();
  EXPECT_EQ(ds_->MoveBy(100), 11);
  EXPECT_TRUE(ds_->Eof());
  EXPECT_EQ(ds_->MoveBy(-100), -11);
  EXPECT_TRUE(ds_->Bof());
  EXPECT_EQ(Id(), 1);
}

TEST_F(DataSetTest, ASmallerLinkKeepsTheActiveRecordAmongItsRows) {
  RecordingLink small;
  small.SetBufferCount(2);
  small.SetDataSource(source_);
  EXPECT_EQ(ds_->BufferCount(), 5);
  for (int step = 0; step < 8; ++step) {
    SCOPED_TRACE(step);
    EXPECT_GE(small.ActiveRecord(), 0);
    EXPECT_LT(small.ActiveRecord(), 2);
    EXPECT_EQ(small.RecordCount(), 2);
    ds_->Next();
  }
  small.SetDataSource(nullptr);
  link_.SetBufferCount(3);
  EXPECT_EQ(ds_->BufferCount(), 3);
  EXPECT_EQ(Id(), 9);  // shrinking the ring keeps the active record
  EXPECT_EQ(link_.RecordCount(), 3);
}

TEST_F(DataSetTest, EditPostAndCancelFireTheirSequences) {
  ds_->Next();
  ds_->Edit();
  EXPECT_EQ(ds_->State(), dsEdit);
  ds_->FieldByName("NAME")->SetAsString("Changed");
  EXPECT_TRUE(ds_->Modified());
  ds_->Post();
  EXPECT_EQ(log_, (Log{"BeforeScroll", "AfterScroll", "BeforeEdit", "AfterEdit", "BeforePost",
                       "AfterPost"}));
  EXPECT_EQ(ds_->State(), dsBrowse);
  EXPECT_EQ(ds_->StoredValue(1, kName), Variant("Changed"));
  EXPECT_EQ(Name(), "Changed");

  log_.clear();
  ds_->Edit();
  ds_->FieldByName("NAME")->SetAsString("Dropped");
  ds_->Cancel();
  EXPECT_EQ(log_, (Log{"BeforeEdit", "AfterEdit", "BeforeCancel", "AfterCancel"}));
  EXPECT_EQ(Name(), "Changed");
  EXPECT_EQ(ds_->StoredValue(1, kName), Variant("Changed"));
}

TEST_F(DataSetTest, NavigationPostsAModifiedEditAndCancelsAnUntouchedOne) {
  ds_->Edit();
  ds_->FieldByName("QTY")->SetAsInteger(99);
  ds_->Next();
  EXPECT_EQ(log_, (Log{"BeforeEdit", "AfterEdit", "BeforePost", "AfterPost", "BeforeScroll",
                       "AfterScroll"}));
  EXPECT_EQ(ds_->StoredValue(0, kQty), Variant(99));

  log_.clear();
  ds_->Edit();
  ds_->Next();
  EXPECT_EQ(log_, (Log{"BeforeEdit", "AfterEdit", "BeforeCancel", "AfterCancel", "BeforeScroll",
                       "AfterScroll"}));
}

TEST_F(DataSetTest, InsertPutsTheRecordBeforeTheActiveOne) {
  ds_->MoveBy(2);
  log_.clear();
  ds_->Insert();
  EXPECT_EQ(ds_->State(), dsInsert);
  EXPECT_EQ(Window(), (Ids{1, 2, 0, 3, 4}));  // the new record has no ID yet (reads as 0)
  EXPECT_TRUE(ds_->FieldByName("ID")->IsNull());
  ds_->FieldByName("ID")->SetAsInteger(100);
  ds_->Post();
  EXPECT_EQ(log_, (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll",
                       "BeforePost", "AfterPost"}));
  EXPECT_EQ(ds_->RowCount(), 13);
  EXPECT_EQ(ds_->StoredValue(2, kId), Variant(100));
  EXPECT_EQ(Window(), (Ids{1, 2, 100, 3, 4}));
  EXPECT_EQ(Id(), 100);
  EXPECT_EQ(ds_->RecNo(), 3);
}

TEST_F(DataSetTest, AppendAddsAfterTheLastAndShowsItAtTheBottom) {
  ds_->Append();
  EXPECT_EQ(Window(), (Ids{9, 10, 11, 12, 0}));
  EXPECT_EQ(link_.ActiveRecord(), 4);
  ds_->FieldByName("ID")->SetAsInteger(200);
  ds_->Post();
  EXPECT_EQ(log_, (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll",
                       "BeforePost", "AfterPost"}));
  EXPECT_EQ(ds_->StoredValue(12, kId), Variant(200));
  EXPECT_EQ(Window(), (Ids{9, 10, 11, 12, 200}));
  EXPECT_EQ(Id(), 200);
}

TEST_F(DataSetTest, CancelledInsertRestoresTheWindow) {
  ds_->Next();
  ds_->Insert();
  ds_->FieldByName("ID")->SetAsInteger(300);
  log_.clear();
  ds_->Cancel();
  EXPECT_EQ(log_, (Log{"BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll"}));
  EXPECT_EQ(ds_->RowCount(), 12);
  EXPECT_EQ(Window(), (Ids{1, 2, 3, 4, 5}));
  EXPECT_EQ(Id(), 2);
}

TEST_F(DataSetTest, DeleteMovesToTheNextRecord) {
  ds_->MoveBy(2);
  log_.clear();
  ds_->Delete();
  EXPECT_EQ(log_, (Log{"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}));
  EXPECT_EQ(ds_->RowCount(), 11);
  EXPECT_EQ(Id(), 4);
  EXPECT_EQ(Window(), (Ids{1, 2, 4, 5, 6}));

  ds_->Last();
  ds_->Delete();
  EXPECT_EQ(Id(), 11);  // no next record: the prior one
}

TEST_F(DataSetTest, AbortInBeforePostKeepsTheEditPending) {
  ds_->BeforePost = [this](TDataSet*) {
    log_.push_back("BeforePost");
    Abort();
  };
  ds_->Edit();
  ds_->FieldByName("NAME")->SetAsString("Never stored");
  EXPECT_THROW(ds_->Post(), EAbort);
  EXPECT_EQ(log_, (Log{"BeforeEdit", "AfterEdit", "BeforePost"}));
  EXPECT_EQ(ds_->State(), dsEdit);
  EXPECT_EQ(ds_->StoredValue(0, kName), Variant("Name 1"));

  log_.clear();
  ds_->Cancel();
  ds_->Append();
  ds_->FieldByName("ID")->SetAsInteger(400);
  EXPECT_THROW(ds_->Post(), EAbort);
  EXPECT_EQ(ds_->State(), dsInsert);
  EXPECT_EQ(ds_->RowCount(), 12);
  EXPECT_EQ(log_, (Log{"BeforeCancel", "AfterCancel", "BeforeInsert", "BeforeScroll", "OnNewRecord",
                       "AfterInsert", "AfterScroll", "BeforePost"}));
}

TEST_F(DataSetTest, PostErrorEventDecidesBetweenRetryAbortAndFail) {
  const struct {
    TDataAction action;
    const char* outcome;
  } kCases[] = {{daRetry, "stored"}, {daAbort, "aborted"}, {daFail, "disk full"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.outcome);
    log_.clear();
    ds_->OnPostError = [this, &c](TDataSet*, EDatabaseError& e, TDataAction& action) {
      log_.push_back(std::string("OnPostError:") + e.what());
      action = c.action;
    };
    ds_->Edit();
    ds_->FieldByName("QTY")->SetAsInteger(7);
    ds_->fail_next_post = "disk full";
    std::string outcome = "stored";
    try {
      ds_->Post();
    } catch (const EAbort&) {
      outcome = "aborted";
    } catch (const EDatabaseError& e) {
      outcome = e.what();
    }
    EXPECT_EQ(outcome, c.outcome);
    const Log expected =
        c.action == daRetry
            ? Log{"BeforeEdit", "AfterEdit", "BeforePost", "OnPostError:disk full", "AfterPost"}
            : Log{"BeforeEdit", "AfterEdit", "BeforePost", "OnPostError:disk full"};
    EXPECT_EQ(log_, expected);
    EXPECT_EQ(ds_->State(), c.action == daRetry ? dsBrowse : dsEdit);
    if (ds_->State() == dsEdit) ds_->Cancel();
  }
}

TEST_F(DataSetTest, DeleteErrorWithoutHandlerPropagatesAndKeepsTheRecord) {
  ds_->fail_next_delete = "locked";
  EXPECT_THROW(ds_->Delete(), EDatabaseError);
  EXPECT_EQ(ds_->RowCount(), 12);
  EXPECT_EQ(log_, (Log{"BeforeDelete", "BeforeScroll"}));
}

TEST_F(DataSetTest, InsertAndAppendRecordPostAtOnce) {
  ds_->Next();
  ds_->InsertRecord({Variant(50), Variant("Fifty")});
  EXPECT_EQ(log_, (Log{"BeforeScroll", "AfterScroll", "BeforeInsert", "BeforeScroll", "OnNewRecord",
                       "AfterInsert", "BeforePost", "AfterPost"}));
  EXPECT_EQ(ds_->StoredValue(1, kName), Variant("Fifty"));
  EXPECT_EQ(Id(), 50);
  EXPECT_TRUE(ds_->FieldByName("PRICE")->IsNull());
  ds_->AppendRecord({Variant(60), Variant(), Variant(true)});
  EXPECT_EQ(ds_->StoredValue(13, kId), Variant(60));
  EXPECT_EQ(ds_->StoredValue(13, kName), Variant());
  EXPECT_EQ(ds_->State(), dsBrowse);
}

TEST_F(DataSetTest, BookmarksReturnAndCentreTheWindow) {
  ds_->MoveBy(6);
  const TBookmark seventh = ds_->GetBookmark();
  ASSERT_EQ(seventh.size(), 4u);
  ds_->First();
  const TBookmark first = ds_->GetBookmark();
  log_.clear();
  ds_->GotoBookmark(seventh);
  EXPECT_EQ(log_, (Log{"BeforeScroll", "AfterScroll"}));
  EXPECT_EQ(Id(), 7);
  EXPECT_EQ(Window(), (Ids{5, 6, 7, 8, 9}));
  EXPECT_EQ(link_.ActiveRecord(), 2);

  EXPECT_EQ(ds_->CompareBookmarks(first, seventh), -1);
  EXPECT_EQ(ds_->CompareBookmarks(seventh, first), 1);
  EXPECT_EQ(ds_->CompareBookmarks(seventh, seventh), 0);
  EXPECT_EQ(ds_->CompareBookmarks({}, {}), 0);
  EXPECT_EQ(ds_->CompareBookmarks({}, seventh), -1);
  EXPECT_EQ(ds_->CompareBookmarks(seventh, {}), 1);

  EXPECT_TRUE(ds_->BookmarkValid(seventh));
  ds_->Delete();
  EXPECT_FALSE(ds_->BookmarkValid(seventh));
  EXPECT_THROW(ds_->GotoBookmark(seventh), EDatabaseError);
}

TEST_F(DataSetTest, ResyncCentresOrKeepsTheActiveRow) {
  ds_->Close();
  Open(100);
  ds_->SetRecNo(50);
  EXPECT_EQ(Window(), (Ids{48, 49, 50, 51, 52}));
  EXPECT_EQ(link_.ActiveRecord(), 2);
  EXPECT_EQ(ds_->RecNo(), 50);

  ds_->Next();
  ds_->Next();  // active row 4
  ds_->Refresh();
  EXPECT_EQ(link_.ActiveRecord(), 4);
  EXPECT_EQ(Window(), (Ids{48, 49, 50, 51, 52}));

  ds_->MoveStore(69);  // the store moved on its own, as after an index seek
  ds_->Resync({rmExact, rmCenter});
  EXPECT_EQ(Window(), (Ids{68, 69, 70, 71, 72}));
  EXPECT_EQ(Id(), 70);

  ds_->MoveStore(-1);
  try {
    ds_->Resync({rmExact});
    FAIL() << "resynchronised on no record";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Record not found");
  }
  ds_->SetRecNo(0);  // the store has no record 0: nothing moves
  EXPECT_EQ(Id(), 70);
}

TEST_F(DataSetTest, CalculatedFieldsAreComputedPerRecordAndAfterChanges) {
  ds_->Close();
  ds_->InitFieldDefs();
  for (int i = 0; i < ds_->FieldDefs().Count(); ++i) ds_->FieldDefs()[i].CreateField(&root_);
  auto* twice = new TFloatField(&root_);
  twice->SetFieldName("TWICE");
  twice->SetFieldKind(fkCalculated);
  twice->SetDataSet(ds_);
  auto* label = new TStringField(&root_);
  label->SetFieldName("LABEL");
  label->SetSize(30);
  label->SetFieldKind(fkCalculated);
  label->SetDataSet(ds_);
  std::string calc_error;
  ds_->OnCalcFields = [&](TDataSet* ds) {
    twice->SetAsFloat(ds->FieldByName("PRICE")->AsFloat() * 2);
    label->SetAsString(ds->FieldByName("NAME")->AsString() + "!");
    try {
      ds->FieldByName("QTY")->SetAsInteger(0);  // data fields are not writable here
    } catch (const EDatabaseError& e) {
      calc_error = e.what();
    }
  };
  ds_->Open();
  EXPECT_FALSE(ds_->DefaultFields());
  EXPECT_EQ(ds_->CalcFieldsSize(), (8 + 1) + (31 + 1));
  EXPECT_EQ(calc_error, "Dataset not in edit or insert mode");
  for (int row = 0; row < link_.RecordCount(); ++row) {
    link_.SetActiveRecord(row);
    EXPECT_EQ(twice->AsFloat(), (row + 1) * 3.0);
    EXPECT_EQ(label->AsString(), "Name " + std::to_string(row + 1) + "!");
  }
  link_.SetActiveRecord(0);
  EXPECT_EQ(twice->FieldNo(), 0);
  EXPECT_FALSE(twice->CanModify());

  ds_->Edit();
  ds_->FieldByName("PRICE")->SetAsFloat(10);
  EXPECT_EQ(twice->AsFloat(), 20.0);
  ds_->SetAutoCalcFields(false);
  ds_->FieldByName("PRICE")->SetAsFloat(11);
  EXPECT_EQ(twice->AsFloat(), 20.0);
  ds_->Post();
  EXPECT_EQ(twice->AsFloat(), 22.0);  // re-read records are calculated regardless
}

TEST_F(DataSetTest, LookupFieldsFetchFromTheirDataSet) {
  auto* sizes = new MemDataSet(&root_, {{"QTY", ftSmallint}, {"LABEL", ftString, 10}});
  sizes->AddRow({1, "one"});
  sizes->AddRow({3, "three"});
  sizes->Open();
  ds_->Close();
  ds_->InitFieldDefs();
  ds_->FieldDefs()[kQty].CreateField(&root_);
  auto* label = new TStringField(&root_);
  label->SetFieldName("SIZE");
  label->SetSize(10);
  label->SetFieldKind(fkLookup);
  label->SetLookupDataSet(sizes);
  label->KeyFields = "QTY";
  label->LookupKeyFields = "QTY";
  label->LookupResultField = "LABEL";
  label->SetDataSet(ds_);
  ds_->Open();
  std::vector<std::string> labels;
  for (int row = 0; row < link_.RecordCount(); ++row) {
    link_.SetActiveRecord(row);
    labels.push_back(label->IsNull() ? "-" : label->AsString());
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"one", "-", "three", "-", "-"}));
  ds_->Close();
  delete sizes;
  EXPECT_EQ(label->LookupDataSet(), nullptr);
  ds_->Open();  // a lookup field without its dataset stays empty
  EXPECT_TRUE(label->IsNull());
}

// A store that empties the window before OnNewRecord when it holds no record, as the table
// dataset does.
class ClearingDataSet : public MemDataSet {
 public:
  using MemDataSet::MemDataSet;

 protected:
  void DoOnNewRecord() override {
    if (RecordCount() < 1) ClearBuffers();
    MemDataSet::DoOnNewRecord();
  }
};

TEST_F(DataSetTest, NewRecordInAnEmptyStoreSurvivesAClearedWindow) {
  auto* ds = new ClearingDataSet(&root_, FilmColumns());
  source_->SetDataSet(ds);
  ds->Open();
  ds->Append();
  EXPECT_EQ(link_.RecordCount(), 0);
  ds->FieldByName("ID")->SetAsInteger(1);
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 1);
  ds->Post();
  EXPECT_EQ(ds->RowCount(), 1);
  EXPECT_EQ(link_.RecordCount(), 1);
  EXPECT_EQ(Window(), (Ids{1}));

  ds->Delete();
  ds->Insert();
  ds->Cancel();
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_EQ(link_.RecordCount(), 0);
}

TEST_F(DataSetTest, FrameworkErrorsCarryTheirTexts) {
  TField* name = ds_->FieldByName("NAME");
  const auto message = [](const std::function<void()>& action) -> std::string {
    try {
      action();
    } catch (const EDatabaseError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message([&] { name->SetAsString("x"); }), "Dataset not in edit or insert mode");
  EXPECT_EQ(message([&] { ds_->Post(); }), "Dataset not in edit or insert mode");
  ds_->SetName("Films");
  EXPECT_EQ(message([&] { ds_->Post(); }), "Films: Dataset not in edit or insert mode");
  EXPECT_EQ(message([&] { ds_->FieldByName("NOPE"); }), "Films: Field 'NOPE' not found");

  name->SetReadOnly(true);
  EXPECT_FALSE(name->CanModify());
  ds_->Edit();
  EXPECT_EQ(message([&] { name->SetAsString("x"); }), "Field 'NAME' cannot be modified");
  name->SetDisplayLabel("Title");
  EXPECT_EQ(message([&] { name->Clear(); }), "Field 'Title' cannot be modified");
  ds_->Cancel();

  ds_->can_modify = false;
  EXPECT_EQ(message([&] { ds_->Edit(); }), "Films: Cannot modify a read-only dataset");
  EXPECT_EQ(message([&] { ds_->Append(); }), "Films: Cannot modify a read-only dataset");
  EXPECT_EQ(ds_->State(), dsBrowse);

  ds_->Close();
  EXPECT_EQ(message([&] { ds_->Next(); }),
            "Films: Cannot perform this operation on a closed dataset");
  MemDataSet* empty = MakeFilms(&root_, 0);
  empty->Open();
  EXPECT_EQ(message([&] { empty->Delete(); }), "Cannot perform this operation on an empty dataset");
}

TEST_F(DataSetTest, RequiredFieldIsCheckedAtPost) {
  auto* ds = new MemDataSet(&root_, {{"ID", ftInteger}, {"NAME", ftString, 10, true}});
  ds->Open();
  ds->Append();
  ds->FieldByName("ID")->SetAsInteger(1);
  try {
    ds->Post();
    FAIL() << "posted without a required value";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'NAME' must have a value");
  }
  EXPECT_EQ(ds->State(), dsInsert);
  ds->FieldByName("NAME")->SetAsString("ok");
  ds->Post();
  EXPECT_EQ(ds->RowCount(), 1);
}

TEST_F(DataSetTest, DisabledControlsHearOneChangeWhenEnabled) {
  ds_->DisableControls();
  ds_->DisableControls();
  ds_->MoveBy(7);
  ds_->Edit();
  ds_->EnableControls();
  EXPECT_TRUE(link_.events.empty());
  ds_->EnableControls();
  EXPECT_EQ(link_.events, (Log{"editing", "changed"}));
  EXPECT_EQ(Window(), (Ids{4, 5, 6, 7, 8}));
}

TEST_F(DataSetTest, AMillionRecordsAreReadOnlyWhereTheWindowIs) {
  ds_->Close();
  ds_ = new MemDataSet(&root_, FilmColumns());
  ds_->SetSynthetic(1000000);
  source_->SetDataSet(ds_);
  link_.SetBufferCount(20);
  ds_->Open();
  EXPECT_EQ(ds_->rows_read, 20);
  EXPECT_EQ(ds_->RecordCount(), 1000000);

  const auto reads = [this](const std::function<void()>& action) {
    ds_->rows_read = 0;
    action();
    return ds_->rows_read;
  };
  EXPECT_EQ(reads([&] { ds_->MoveBy(19); }), 0);
  EXPECT_EQ(reads([&] { ds_->Next(); }), 1);
  EXPECT_EQ(reads([&] { ds_->MoveBy(20); }), 20);
  EXPECT_EQ(Id(), 41);
  EXPECT_EQ(reads([&] { ds_->Last(); }), 20);
  EXPECT_EQ(Id(), 1000000);
  EXPECT_EQ(reads([&] { ds_->SetRecNo(500000); }), 20);
  EXPECT_EQ(link_.ActiveRecord(), 9);
  EXPECT_EQ(Window().front(), 499991);
  EXPECT_EQ(Window().back(), 500010);
  const TBookmark middle = ds_->GetBookmark();
  EXPECT_EQ(reads([&] { ds_->First(); }), 20);
  EXPECT_EQ(reads([&] { ds_->GotoBookmark(middle); }), 20);
  EXPECT_EQ(reads([&] { ds_->Refresh(); }), 20);
  EXPECT_LE(ds_->get_record_calls, 200);
}

}  // namespace
}  // namespace vx::test
