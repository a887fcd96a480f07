// The browser window driven as a user would: typing into the search field in tag order, going
// back to natural order, a record another program holds locked, and every corpus table opened
// and drawn once.

#include <gmock/gmock.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <span>

#include "browser/browser_form.h"
#include "engine/index/orders.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "tests/browser/browser_fixture.h"
#include "tests/components/dataset/dataset_fixture.h"
#include "tests/engine/index/index_fixture.h"
#include "tests/support/mdx_writer.h"

namespace vx::browser {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

TEST_F(BrowserTest, SearchFieldSeeksAsYouTypeInTagOrderAndNaturalOrderRestoresRecordOrder) {
  Browse(MakeFilmTable());
  ASSERT_EQ(browser_->OrderBox->count(), 2);
  EXPECT_EQ(browser_->OrderBox->itemText(1).toStdString(), "TITLE");
  EXPECT_THAT(GridTitles(), ElementsAreArray(kTitles));  // opens in natural order

  browser_->OrderBox->setCurrentIndex(1);
  EXPECT_EQ(browser_->Table->ActiveOrder(), 1);
  EXPECT_FALSE(browser_->Table->IsSequenced());
  std::vector<std::string> sorted = kTitles;
  std::sort(sorted.begin(), sorted.end());
  browser_->Table->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray(sorted));

  Type(browser_->SearchField, "M");
  EXPECT_EQ(CurrentTitle(), "Ma Vie");
  Type(browser_->SearchField, "at");
  EXPECT_EQ(CurrentTitle(), "Matrix");
  // A text beyond every key leaves the cursor on the last record in key order.
  browser_->SearchField->setText("Zz");
  EXPECT_EQ(CurrentTitle(), "Zorro");

  browser_->OrderBox->setCurrentIndex(0);
  EXPECT_TRUE(browser_->Table->IsSequenced());
  browser_->Table->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray(kTitles));
  EXPECT_TRUE(RecordedMessages().empty());
}

TEST_F(BrowserTest, SearchTextThatBeginsNoKeyStandsOnTheNextHigherKey) {
  Browse(MakeFilmTable());
  browser_->OrderBox->setCurrentIndex(1);
  // Alien, Casablanca, Ma Vie, Mad Max, Matrix, Metropolis, Zorro.
  for (const auto& [text, title] :
       std::vector<std::pair<std::string, std::string>>{{"B", "Casablanca"},
                                                        {"Mb", "Metropolis"},
                                                        {"Mab", "Mad Max"},
                                                        {"N", "Zorro"},
                                                        {"A", "Alien"},
                                                        {"0", "Alien"}}) {
    browser_->SearchField->setText(QString::fromStdString(text));
    EXPECT_EQ(CurrentTitle(), title) << text;
  }
  EXPECT_TRUE(RecordedMessages().empty());
}

TEST_F(BrowserTest, SearchFindsKeysOfEveryHighByteInTheTablesOwnCodePage) {
  // An OEM table (page 850) whose CODE holds each byte 128..255 once, NUM the byte's value; the
  // search text goes into the table's page straight from what the user types.
  os::SetCodePages(850, 1252);
  std::vector<test::Row> rows;
  for (int b = 128; b < 256; ++b) rows.push_back({std::string(1, static_cast<char>(b)), b});
  test::WriteBytes(dir_.File("T.DBF"), test::TableBytes(rows));
  test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", test::RowTags(rows)));
  Browse(dir_.File("T.DBF"));
  browser_->OrderBox->setCurrentIndex(1);
  ASSERT_EQ(browser_->OrderBox->currentText().toStdString(), "CODE");
  for (int b = 128; b < 256; ++b) {
    const std::string typed =
        os::DecodeCodePage(850, std::string(1, static_cast<char>(b)), os::OnFault::kStop).text;
    browser_->SearchField->setText(QString::fromStdString(typed));
    EXPECT_EQ(browser_->Table->FieldByName("NUM")->AsInteger(), b) << typed;
  }
  EXPECT_TRUE(RecordedMessages().empty());
  os::SetCodePagesFromLocale();
}

TEST_F(BrowserTest, TypingMaStopsOnTheFirstTitleBeginningWithMa) {
  Browse(MakeFilmTable());
  browser_->OrderBox->setCurrentIndex(1);
  browser_->SearchField->setFocus();
  Type(browser_->SearchField, "Ma");
  EXPECT_EQ(browser_->SearchField->text().toStdString(), "Ma");
  EXPECT_EQ(CurrentTitle(), "Ma Vie");
  EXPECT_EQ(browser_->Table->RecNo(), 5);
}

TEST_F(BrowserTest, GridFollowsTheOrderWhenAKeyIsEditedAppendedOrDeleted) {
  Browse(MakeFilmTable());
  browser_->ChooseOrder(1);
  ZOvEzi* films = browser_->Table;
  ASSERT_TRUE(films->Find("Alien"));
  films->Edit();
  films->FieldByName("TITLE")->SetAsString("Nosferatu");
  films->Post();
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
  // The record moved to its new place in the order and the cursor went with it.
  EXPECT_EQ(CurrentTitle(), "Nosferatu");
  EXPECT_EQ(films->RecNo(), 3);
  films->Next();
  EXPECT_EQ(CurrentTitle(), "Zorro");
  films->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray({"Casablanca", "Ma Vie", "Mad Max", "Matrix",
                                              "Metropolis", "Nosferatu", "Zorro"}));
  // An appended record takes its place in the order too.
  films->Append();
  films->FieldByName("TITLE")->SetAsString("Brazil");
  films->Post();
  films->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray({"Brazil", "Casablanca", "Ma Vie", "Mad Max", "Matrix",
                                              "Metropolis", "Nosferatu", "Zorro"}));
  // Hidden deleted records leave the window.
  browser_->SetShowDeleted(false);
  ASSERT_TRUE(films->Find("Matrix"));
  std::uint16_t key = VK_DELETE;
  browser_->Grid->KeyDown(key, TShiftState{ssCtrl});
  films->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray({"Brazil", "Casablanca", "Ma Vie", "Mad Max",
                                              "Metropolis", "Nosferatu", "Zorro"}));
  EXPECT_THAT(RecordedMessages(), ElementsAreArray({"Delete record?"}));
}

TEST_F(BrowserTest, FindAndLocateLandOnTheFilmInTagOrder) {
  Browse(MakeFilmTable());
  browser_->ChooseOrder(1);
  ZOvEzi* films = browser_->Table;
  EXPECT_TRUE(films->Find("Casablanca"));
  EXPECT_EQ(CurrentTitle(), "Casablanca");
  EXPECT_FALSE(films->FindExact("Mad"));
  EXPECT_TRUE(films->Find("Mad"));
  EXPECT_EQ(CurrentTitle(), "Mad Max");
  // The key field named is not consulted: the value is sought in the active order.
  EXPECT_TRUE(films->Locate("DIRECTOR", Variant("Metropolis"), {}));
  EXPECT_EQ(CurrentTitle(), "Metropolis");
  EXPECT_FALSE(films->Locate("TITLE", Variant("Metro"), {}));
  EXPECT_TRUE(films->Locate("TITLE", Variant("Metro"), {loPartialKey}));
  // A miss without soft seek runs off the end: the dataset stands on its last record.
  EXPECT_FALSE(films->Find("Nothing"));
  EXPECT_TRUE(films->Eof());
  EXPECT_EQ(CurrentTitle(), "Zorro");
}

TEST_F(BrowserTest, RecordLockedByAnotherProgramShowsTheMarkUntilItIsReleased) {
  const std::string path = MakeFilmTable();
  const std::unique_ptr<test::Child> holder = HoldRecordLock(path, 3);
  test::Child& other = *holder;
  ASSERT_EQ(other.Receive(), 'L');

  Browse(path);
  EXPECT_EQ(browser_->LockedRecords(), std::set<std::int32_t>{3});
  const QImage picture = browser_->Render();  // the mark is drawn without trouble
  EXPECT_FALSE(picture.isNull());

  other.Send('U');
  EXPECT_EQ(other.Wait(), 0);
  browser_->RefreshLocks();
  EXPECT_TRUE(browser_->LockedRecords().empty());
}

// Ctrl+Delete asks before it marks a record, and on a marked record asks to restore it rather
// than deleting it again; inside an open cell editor it does the same instead of blanking text.
TEST_F(BrowserTest, CtrlDeleteAsksThenTogglesTheMarkAndShowDeletedHidesIt) {
  // Without the index: deleting needs no key maintenance.
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  AddFilms(*films, {{"Alien", 1979}, {"Brazil", 1985}});
  delete films;
  Browse(dir_.File("movie.DBF"));
  browser_->Table->SetRecNo(1);
  std::uint16_t key = VK_DELETE;
  browser_->Grid->KeyDown(key, TShiftState{ssCtrl});
  EXPECT_EQ(StoredFlag("movie.DBF", 1), '*');
  browser_->SetShowDeleted(false);
  browser_->Table->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray({"Brazil"}));
  browser_->SetShowDeleted(true);
  browser_->Table->First();
  key = VK_DELETE;
  browser_->Grid->KeyDown(key, TShiftState{ssCtrl});
  EXPECT_EQ(StoredFlag("movie.DBF", 1), ' ');
  EXPECT_THAT(RecordedMessages(), ElementsAreArray({"Delete record?", "Restore record?"}));

  // In the cell editor: the title's text stays, the record is marked.
  ClearRecordedMessages();
  browser_->Grid->SetFocus();
  browser_->Grid->SetSelectedIndex(ColumnOf("TITLE"));
  browser_->Grid->SetEditorMode(true);
  ASSERT_NE(browser_->Grid->InplaceEditor(), nullptr);
  Press(browser_->Grid->InplaceEditor(), Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_THAT(RecordedMessages(), ElementsAreArray({"Delete record?"}));
  EXPECT_EQ(StoredFlag("movie.DBF", 1), '*');
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kTitle).substr(0, 5), "Alien");
  // Asked again on the marked record, it offers to restore, never to delete twice.
  ClearRecordedMessages();
  browser_->ToggleDeleted();
  EXPECT_THAT(RecordedMessages(), ElementsAreArray({"Restore record?"}));
  EXPECT_EQ(StoredFlag("movie.DBF", 1), ' ');
}

TEST_F(BrowserTest, MemoColumnOpensTheMemoWindowAndOkStoresTheText) {
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  AddFilms(*films, {{"Vertigo", 1958}});
  delete films;
  Browse(dir_.File("movie.DBF"));
  bool shown = false;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    TVxMemoWindow* window = browser_->MemoWindow;
    if (!window->Modal()) return;
    shown = true;
    for (QChar c : QString("A detective")) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(window->Memo->Widget(), &press);
    }
    window->SetModalResult(mrOk);
  });
  int plot = -1;
  for (int i = 0; i < browser_->Grid->Columns().Count(); ++i) {
    if (browser_->Grid->Columns().Items(i)->FieldName() == "PLOT") plot = i;
  }
  ASSERT_GE(plot, 0);
  browser_->Grid->SetSelectedIndex(plot);
  timer.start(0);
  browser_->OpenMemo();
  EXPECT_TRUE(shown);
  EXPECT_EQ(StoredPlot(1), "A detective");
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
}

TEST_F(BrowserTest, DamagedTableShowsTheEngineTextInAMessageBox) {
  test::WriteBytes(dir_.File("bad.DBF"), std::vector<unsigned char>(10, 0x03));
  browser_ = new TBrowserForm(nullptr);
  EXPECT_FALSE(browser_->OpenTable(dir_.File("bad.DBF")));
  ASSERT_EQ(RecordedMessages().size(), 1u);
  EXPECT_THAT(RecordedMessages()[0], ::testing::HasSubstr("Error #"));
  EXPECT_EQ(browser_->OrderBox->count(), 1);
}

// Whether the engine opens the table and its production index (in a copy).
bool EngineAccepts(const std::string& path) {
  QuietErrors quiet;
  EngineErrorCode = 0;
  Use(path);
  if (EngineErrorCode != 0) return false;
  OpenProductionIndex();
  const bool accepted = EngineErrorCode == 0;
  CloseAll();
  EngineErrorCode = 0;
  return accepted;
}

// Corpus tables the engine opens but the dataset components refuse, with the refusal the
// browser shows: numeric fields wider than 20 digits and a repeated field name.
const std::map<std::string, std::string> kDatasetRefusals = {
    {"contain_null_padded_numeric.dbf", "Invalid field size"},
    {"contain_none_float.dbf", "Invalid field size"},
    {"HOMTABV5.DBF", "Invalid field size"},
    {"dbase_03.dbf", "Table: Duplicate field name 'POINT_ID'"},
};

TEST_F(BrowserTest, OpensEveryCorpusTableTheEngineAcceptsWithoutAnErrorBox) {
  namespace fs = std::filesystem;
  const fs::path corpus = test::CorpusDir();
  if (corpus.empty() || !fs::exists(corpus)) GTEST_SKIP() << "no corpus folder at " << corpus;
  int opened = 0;
  int copies = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::toupper);
    if (ext != ".DBF") continue;
    // A copy of the table and its companions: opening shared writes semaphore files.
    const fs::path copy = fs::path(dir_.File("c" + std::to_string(copies++)));
    fs::remove_all(copy);
    fs::create_directories(copy);
    for (const auto& sibling : fs::directory_iterator(entry.path().parent_path())) {
      if (sibling.is_regular_file() && sibling.path().stem() == entry.path().stem())
        fs::copy_file(sibling.path(), copy / sibling.path().filename());
    }
    const std::string table = (copy / entry.path().filename()).string();
    if (!EngineAccepts(table)) continue;
    SCOPED_TRACE(entry.path().string());
    ClearRecordedMessages();
    auto* browser = new TBrowserForm(nullptr);
    browser->Show();
    const auto refusal = kDatasetRefusals.find(entry.path().filename().string());
    const bool refused = refusal != kDatasetRefusals.end();
    EXPECT_EQ(browser->OpenTable(table), !refused);
    const QImage picture = browser->Render();
    EXPECT_FALSE(picture.isNull());
    for (int order = 1; order < browser->OrderBox->count(); ++order) browser->ChooseOrder(order);
    if (refused) {
      EXPECT_THAT(RecordedMessages(), ElementsAreArray({refusal->second}));
    } else {
      EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
    }
    delete browser;
    ++opened;
  }
  EXPECT_GT(opened, 100);
}

// --- Faults found by driving the program ------------------------------------------------------

TEST_F(BrowserTest, AnEditInAnOrderWithoutKeysNeverChangesARecordOutsideIt) {
  const std::string path = MakeFilmTable();
  test::TagShape none;
  none.name = "NONE";
  none.key_expression = "TITLE";
  none.for_expression = "YEAR > 3000";
  none.key_length = 20;
  test::WriteBytes(dir_.File("movie.MDX"), test::BuildMdx("movie", {TitleTag(kTitles), none}));
  const std::vector<unsigned char> before = test::ReadBytes(path);
  Browse(path);
  ASSERT_EQ(browser_->OrderBox->itemText(2).toStdString(), "NONE");
  browser_->OrderBox->setCurrentIndex(2);
  EXPECT_TRUE(browser_->Table->IsEmpty());
  // A click on the blank first row, a title typed, Enter and Down.
  ClickCell(browser_->Grid->DataToRawColumn(ColumnOf("TITLE")), 1);
  Type(browser_->Grid->Widget(), "X");
  if (browser_->Grid->InplaceEditor() != nullptr && browser_->Grid->EditorMode()) {
    Press(browser_->Grid->InplaceEditor(), Qt::Key_Return);
    Press(browser_->Grid->InplaceEditor(), Qt::Key_Down);
  }
  GridKey(VK_RETURN);
  GridKey(VK_DOWN);
  browser_->Table->CheckBrowseMode();
  const std::vector<unsigned char> after = test::ReadBytes(path);
  // No film changed: whatever was typed is either dropped or a record of its own.
  for (std::size_t n = 1; n <= kTitles.size(); ++n) {
    EXPECT_EQ(StoredField("movie.DBF", static_cast<int>(n), test::kTitle)
                  .substr(0, kTitles[n - 1].size()),
              kTitles[n - 1])
        << "record " << n;
  }
  EXPECT_GE(after.size(), before.size());
}

TEST_F(BrowserTest, TheCurrentRecordStaysWhenTheOrderChangesAndATableOpensOnItsFirstRecord) {
  // More films than the grid shows rows: reading the window leaves the engine far below.
  std::vector<std::string> titles;
  for (int i = 0; i < 40; ++i)
    titles.push_back("Film " + std::string(1, static_cast<char>('Z' - i % 26)) + std::to_string(i));
  Browse(MakeIndexedFilms(titles));
  EXPECT_EQ(browser_->Table->ActiveOrder(), 0);
  EXPECT_EQ(browser_->Table->RecNo(), 1) << "opens on the first record in natural order";
  browser_->OrderBox->setCurrentIndex(1);
  EXPECT_EQ(browser_->Table->RecNo(), 1) << "record 1 stays selected in tag order";
  EXPECT_EQ(CurrentTitle(), titles[0]);

  browser_->SearchField->setText("Film Y");
  const std::int32_t found = browser_->Table->RecNo();
  EXPECT_EQ(CurrentTitle().substr(0, 6), "Film Y");
  browser_->Table->SetRecNo(7);
  browser_->OrderBox->setCurrentIndex(0);
  EXPECT_EQ(browser_->Table->RecNo(), 7) << "the search text is not sought again";
  browser_->OrderBox->setCurrentIndex(1);
  EXPECT_EQ(browser_->Table->RecNo(), 7);
  EXPECT_NE(found, 7);
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
}

// Ends the event loop after `millis` unless it ended before, setting `timed_out`. The timer goes
// with the guard: it never fires into a test that has ended (a later test's events would run
// it on the ended test's stack).
std::unique_ptr<QTimer> QuitAfter(int millis, bool& timed_out) {
  auto timer = std::make_unique<QTimer>();
  timer->setSingleShot(true);
  QObject::connect(timer.get(), &QTimer::timeout, [&timed_out] {
    timed_out = true;
    QCoreApplication::quit();
  });
  timer->start(millis);
  return timer;
}

TEST_F(BrowserTest, FileExitEndsTheProgram) {
  Browse(MakeFilmTable());
  bool timed_out = false;
  QTimer::singleShot(0, [&] { browser_->ExitAction->trigger(); });
  const auto guard = QuitAfter(5000, timed_out);
  QApplication::exec();
  EXPECT_FALSE(timed_out);
}

// An unsaved edit when the window closes (File > Exit or the window's close button): the
// browser asks; Cancel keeps the window and the edit, No drops it, Yes writes it, and either
// ends the program.
TEST_F(BrowserTest, ClosingWithAnUnsavedEditAsksToSaveDiscardOrCancel) {
  const std::string path = MakeFilmTable();
  struct Case {
    int answer;
    bool by_exit;  // File > Exit, else the window's close button
    std::string stored_year;
  };
  for (const Case& c : {Case{IDCANCEL, true, "1992"}, Case{IDNO, false, "1992"},
                        Case{IDYES, true, "2001"}}) {
    SCOPED_TRACE(c.answer);
    std::vector<std::string> asked;
    SetMessageBoxHook([&](const std::string& text, const std::string&, int flags) {
      asked.push_back(text);
      return (flags & 0x0F) == MB_YESNOCANCEL ? c.answer : IDOK;
    });
    Browse(path);
    browser_->Table->SetRecNo(3);
    browser_->Table->Edit();
    browser_->Table->FieldByName("YEAR")->SetAsInteger(2001);
    bool timed_out = false;
    const auto close = [&] {
      if (c.by_exit) {
        browser_->ExitAction->trigger();
      } else {
        browser_->Widget()->close();  // the close event the window's button sends
      }
    };
    if (c.answer == IDCANCEL) {
      close();
      EXPECT_TRUE(browser_->Visible());
      EXPECT_EQ(browser_->Table->State(), dsEdit);
      EXPECT_EQ(browser_->Table->FieldByName("YEAR")->AsInteger(), 2001);
    } else {
      QTimer::singleShot(0, close);
      const auto guard = QuitAfter(5000, timed_out);
      QApplication::exec();
      EXPECT_FALSE(timed_out) << "the program ends";
    }
    SetMessageBoxHook({});
    EXPECT_THAT(asked, ElementsAre(HasSubstr("Save the changes to record 3")));
    EXPECT_EQ(StoredField("movie.DBF", 3, test::kYear), c.stored_year);
    delete browser_;
    browser_ = nullptr;
  }
}

// Another program holds record 3 while a year is posted: the browser asks whether to try
// again; without a retry the typed year stays in the row, in edit, and Enter after the other
// program let go writes it.
TEST_F(BrowserTest, AnEditRefusedForALockIsKeptInTheRowForARetry) {
  const std::string path = MakeFilmTable();
  const std::unique_ptr<test::Child> holder = HoldRecordLock(path, 3);
  test::Child& other = *holder;
  ASSERT_EQ(other.Receive(), 'L');
  Browse(path);
  browser_->Table->SetRecNo(3);
  browser_->Table->Edit();
  browser_->Table->FieldByName("YEAR")->SetAsInteger(2001);
  EXPECT_THROW(browser_->Table->Post(), EAbort);  // the post stops, the edit stays
  ASSERT_EQ(RecordedMessages().size(), 1u);
  EXPECT_THAT(RecordedMessages()[0], HasSubstr("Record 3 is locked by another program"));
  EXPECT_EQ(browser_->Table->State(), dsEdit);
  EXPECT_EQ(browser_->Table->FieldByName("YEAR")->AsInteger(), 2001);
  EXPECT_THAT(Status(), HasSubstr("your edit is kept"));
  EXPECT_EQ(StoredField("movie.DBF", 3, test::kYear), "1992");

  other.Send('U');
  EXPECT_EQ(other.Wait(), 0);
  browser_->Table->Post();
  EXPECT_EQ(StoredField("movie.DBF", 3, test::kYear), "2001");
  EXPECT_EQ(browser_->Table->State(), dsBrowse);
}

// A damaged index header: the table opens read-only with the reason in the status line, and an
// edit writes nothing.
TEST_F(BrowserTest, ATableWhoseIndexCannotBeReadOpensReadOnlyAndSaysWhy) {
  const std::string path = MakeFilmTable();
  std::vector<unsigned char> index = test::ReadBytes(dir_.File("movie.MDX"));
  std::fill(index.begin() + 16, index.begin() + 32, 0xFF);
  test::WriteBytes(dir_.File("movie.MDX"), index);
  const std::vector<unsigned char> before = test::ReadBytes(path);
  Browse(path);
  EXPECT_TRUE(browser_->Table->ReadOnly());
  EXPECT_THAT(Status(), HasSubstr("read-only"));
  EXPECT_THAT(Status(), HasSubstr("vxdbf check --repair"));
  ClearRecordedMessages();
  browser_->Table->SetRecNo(2);
  try {
    browser_->Table->Edit();
    browser_->Table->FieldByName("TITLE")->SetAsString("Changed");
    browser_->Table->Post();
  } catch (const std::exception&) {
  }
  EXPECT_EQ(test::ReadBytes(path), before);
}

// Another program rewrites a title: the browser's periodic refresh shows it.
TEST_F(BrowserTest, OtherProgramsEditsShowWhenTheRowsAreRefreshed) {
  const std::string path = MakeFilmTable();
  Browse(path);
  ASSERT_EQ(GridTitles()[1], "Matrix");
  test::Child other([&](test::Child&) {
    os::File file;
    if (os::File::Open(path, os::kOpenReadWriteDenyNone, file) != os::kIoOk) return 1;
    const std::string title = "Solaris             ";
    const auto at = test::kFilmHeaderLength + test::kFilmRecordLength + test::kTitle.offset;
    return file.WriteAt(at, std::as_bytes(std::span(title.data(), title.size()))) == 0 ? 0 : 2;
  });
  ASSERT_EQ(other.Wait(), 0);
  browser_->RefreshRows();
  EXPECT_EQ(GridTitles()[1], "Solaris");
}

// An UPPER() tag is sought upper-cased and a STR() key with the number right-aligned; the
// status line says whether the key was found; Down in the search field goes to the grid.
TEST_F(BrowserTest, SearchMakesTheTypedTextIntoTheTagsKeyAndSaysWhetherItWasFound) {
  const std::vector<test::Row> rows = {{"ti12", 7}, {"Ab", 123}, {"zz", 45}};
  test::WriteBytes(dir_.File("T.DBF"), test::TableBytes(rows));
  test::TagShape upper;
  upper.name = "UCODE";
  upper.key_expression = "UPPER(CODE)";
  upper.key_length = 6;
  upper.items = {{"AB    ", 2}, {"TI12  ", 1}, {"ZZ    ", 3}};
  test::TagShape str;
  str.name = "SNUM";
  str.key_expression = "STR(NUM,5)";
  str.key_length = 5;
  str.items = {{"    7", 1}, {"   45", 3}, {"  123", 2}};
  test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", {upper, str}));
  Browse(dir_.File("T.DBF"));
  browser_->OrderBox->setCurrentIndex(1);
  browser_->SearchField->setText("ti12");
  EXPECT_EQ(browser_->Table->RecNo(), 1);
  EXPECT_THAT(Status(), HasSubstr("found \"ti12\""));
  browser_->SearchField->setText("b");
  EXPECT_EQ(browser_->Table->RecNo(), 1) << "the next higher key";
  EXPECT_THAT(Status(), HasSubstr("not found: on the next higher key"));

  browser_->OrderBox->setCurrentIndex(2);
  browser_->SearchField->setText("45");
  EXPECT_EQ(browser_->Table->RecNo(), 3);
  browser_->SearchField->setText("100");
  EXPECT_EQ(browser_->Table->RecNo(), 2);

  browser_->Widget()->activateWindow();
  browser_->SearchField->setFocus();
  QApplication::processEvents();
  Press(browser_->SearchField, Qt::Key_Down);
  QApplication::processEvents();
  if (QApplication::focusWidget() != nullptr) {
    EXPECT_FALSE(browser_->SearchField->hasFocus());
  }
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
}

// A binary memo opens no text editor; a C field's column is as wide as its widest value.
TEST_F(BrowserTest, CharacterColumnsShowTheirWholeValues) {
  Browse(MakeFilmTable());
  const QFontMetrics metrics(browser_->Grid->Font().ToQFont());
  TDataLink& link = browser_->Grid->DataLink();
  for (int i = 0; i < browser_->Grid->Columns().Count(); ++i) {
    TColumn* column = browser_->Grid->Columns().Items(i);
    EXPECT_GE(column->Width(),
              metrics.horizontalAdvance(QString::fromStdString(column->FieldName())))
        << column->FieldName();
    // Every character of the field as wide as a digit fits.
    if (DbaseTypeLetter(column->Field()) == 'C') {
      EXPECT_GE(column->Width(),
                std::min(360, metrics.horizontalAdvance(QString(column->Field()->Size(), '0'))))
          << column->FieldName();
    }
    for (int row = 0; row < link.RecordCount(); ++row) {
      LinkRecordScope scope(link, row);
      EXPECT_GE(column->Width(),
                metrics.horizontalAdvance(AnsiToQString(column->Field()->DisplayText())));
    }
  }
}

// A table the user may only read opens read-only instead of failing with error 5.
TEST_F(BrowserTest, AFileThatMayOnlyBeReadOpensReadOnly) {
  if (::geteuid() == 0) {
    // Root may write any file: the test runs again as nobody.
    if (std::system("command -v setpriv > /dev/null") != 0) GTEST_SKIP() << "no setpriv";
    const std::string again =
        "setpriv --reuid=65534 --regid=65534 --clear-groups /proc/" + std::to_string(::getpid()) +
        "/exe --gtest_filter=BrowserTest.AFileThatMayOnlyBeReadOpensReadOnly > /dev/null 2>&1";
    EXPECT_EQ(std::system(again.c_str()), 0);
    return;
  }
  const std::string path = MakeFilmTable();
  std::filesystem::permissions(path, std::filesystem::perms::owner_read,
                               std::filesystem::perm_options::replace);
  Browse(path);
  EXPECT_TRUE(browser_->Table->ReadOnly());
  EXPECT_THAT(Status(), HasSubstr("read-only: the file may only be read"));
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
}

// One tag of two with a damaged header: the engine refuses the index, so the table opens
// read-only in natural order, and the status line names the damaged tag.
TEST_F(BrowserTest, ATableWithOneDamagedTagOpensReadOnlyNamingTheTag) {
  const std::string path = MakeFilmTable();
  test::TagShape second = TitleTag(kTitles);
  second.name = "SECOND";
  std::vector<unsigned char> index = test::BuildMdx("movie", {TitleTag(kTitles), second});
  const std::size_t entry = 512 + 32 * 2;
  const std::uint32_t page = index[entry] | index[entry + 1] << 8 | index[entry + 2] << 16;
  ASSERT_LT(page * 512 + 9, index.size());
  index[page * 512 + 9] = 'X';  // key type
  test::WriteBytes(dir_.File("movie.MDX"), index);
  Browse(path);
  EXPECT_EQ(browser_->Table->ActiveOrder(), 0);
  EXPECT_THAT(Status(), HasSubstr("read-only"));
  EXPECT_EQ(browser_->OrderBox->count(), 1);
  EXPECT_THAT(Status(), HasSubstr("movie.MDX cannot be read (tag SECOND)"));
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace vx::browser
