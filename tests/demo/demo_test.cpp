// The demo program's forms driven as a user would: the first start creates the film table,
// a double click on a character column opens nothing, and the memo window stores the plot with
// OK and discards it with Cancel.

#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>
#include <filesystem>
#include <memory>

#include "components/controls/memo_window.h"
#include "components/controls/window_picture.h"
#include "demo/main_form.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/locks.h"
#include "platform/dataset/application.h"
#include "platform/os/file.h"
#include "tests/components/dataset/dataset_fixture.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::demo {
namespace {

class DemoTest : public test::DatasetTest {
 protected:
  void SetUp() override {
    DatasetTest::SetUp();
    old_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.File(""));
  }
  void TearDown() override {
    CloseDemo();
    std::filesystem::current_path(old_dir_);
    DatasetTest::TearDown();
  }

  void StartDemo() {
    owner_ = std::make_unique<TComponent>(nullptr);
    form1_ = new TForm1(owner_.get());
    window_ = new TVxMemoWindow(owner_.get(), form1_->DataSource1, "PLOT");
    form1_->SetMemoWindow(window_);
    form1_->Show();
  }
  void CloseDemo() {
    if (!owner_) return;
    delete window_;
    delete form1_;
    owner_.reset();
  }

  // Double-clicks the first data row's cell of grid column `column`.
  void DoubleClickColumn(int column) {
    TVxGrid* grid = form1_->VxGrid1;
    const TRect cell = grid->CellRect(grid->DataToRawColumn(column), 1);
    const QPointF at(cell.Left + cell.Width() / 2, cell.Top + cell.Height() / 2);
    QMouseEvent press(QEvent::MouseButtonPress, at, at, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, at, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QMouseEvent twice(QEvent::MouseButtonDblClick, at, at, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(grid->Widget(), &press);
    QApplication::sendEvent(grid->Widget(), &release);
    QApplication::sendEvent(grid->Widget(), &twice);
    QApplication::sendEvent(grid->Widget(), &release);
  }

  // Runs `in_window` once the memo window is shown modally; answers whether it was shown. A
  // window still open afterwards is cancelled so that a failing test cannot hang.
  bool WhileMemoWindowOpen(const std::function<void()>& in_window, int column) {
    bool shown = false;
    // The timer goes with this call, whether or not a modal loop ran it.
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
      if (!window_->Modal()) return;
      shown = true;
      in_window();
      if (window_->Modal() && window_->ModalResult() == mrNone) window_->SetModalResult(mrAbort);
    });
    timer.start(0);
    DoubleClickColumn(column);
    return shown;
  }

  // Types at the end of the memo's text.
  void TypeIntoMemo(const QString& text) {
    QKeyEvent end(QEvent::KeyPress, Qt::Key_End, Qt::ControlModifier);
    QApplication::sendEvent(window_->Memo->Widget(), &end);
    for (QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(window_->Memo->Widget(), &press);
    }
  }

  void AddSampleFilms() {
    ZOvEzi* films = FilmDataset();
    films->SetActive(true);
    AddFilms(*films, {{"Vertigo", 1958}, {"Psycho", 1960}});
    films->First();
    films->Edit();
    films->FieldByName("PLOT")->SetAsString("A detective follows a woman.");
    films->Post();
    delete films;
  }

  std::filesystem::path old_dir_;
  std::unique_ptr<TComponent> owner_;
  TForm1* form1_ = nullptr;
  TVxMemoWindow* window_ = nullptr;
};

TEST_F(DemoTest, FirstStartCreatesTheFilmTableAndLaysOutTheMainForm) {
  ASSERT_FALSE(std::filesystem::exists(dir_.File("movie.DBF")));
  StartDemo();
  EXPECT_TRUE(form1_->VxDbf1->Active());
  EXPECT_TRUE(std::filesystem::exists(dir_.File("movie.DBF")));
  EXPECT_TRUE(std::filesystem::exists(dir_.File("movie.DBT")));
  EXPECT_EQ(form1_->VxDbf1->FieldCount(), 8);

  EXPECT_EQ(form1_->BoundsRect(), Rect(192, 107, 192 + 475, 107 + 211));
  EXPECT_EQ(form1_->Label1->Left(), 128);
  EXPECT_EQ(form1_->Label1->Top(), 16);
  EXPECT_EQ(form1_->Label1->Caption(), "Double click to edit memos...");
  TCanvas measure;
  measure.Font = form1_->Label1->Font();
  EXPECT_EQ(form1_->Label1->Width(), measure.TextWidth("Double click to edit memos..."))
      << "the whole caption shows";
  EXPECT_LE(form1_->Label1->Left() + form1_->Label1->Width(), form1_->ClientWidth());
  EXPECT_EQ(form1_->Label1->Font().Color, clRed);
  EXPECT_EQ(form1_->VxGrid1->BoundsRect(), Rect(8, 48, 8 + 449, 48 + 120));
  ASSERT_EQ(form1_->VxGrid1->Columns().Count(), 8);
  const char* kFields[] = {"TITLE",   "PLOT",  "YEAR",     "COLOR",
                           "RUNTIME", "STARS", "DIRECTOR", "PREMIERE"};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(form1_->VxGrid1->Columns().Items(i)->FieldName(), kFields[i]);
    EXPECT_NE(form1_->VxGrid1->Columns().Items(i)->Field(), nullptr) << kFields[i];
  }
  EXPECT_EQ(form1_->VxGrid1->Columns().Items(0)->Width(), 193);
  EXPECT_FALSE(form1_->VxGrid1->AutoAppend());

  EXPECT_EQ(window_->BoundsRect(), Rect(192, 107, 192 + 544, 107 + 232));
  EXPECT_EQ(window_->ButtonPanel->Height(), 41);
  EXPECT_EQ(window_->ButtonPanel->Top(), window_->ClientHeight() - 41);
  EXPECT_EQ(window_->Memo->Height(), window_->ClientHeight() - 41);
  EXPECT_EQ(window_->OkButton->Caption(), "&OK");
  EXPECT_EQ(window_->CancelButton->Caption(), "&Cancel");
  EXPECT_EQ(window_->Caption(), "Memo - PLOT");
}

TEST_F(DemoTest, DoubleClickOnACharacterColumnOpensNothing) {
  AddSampleFilms();
  StartDemo();
  EXPECT_FALSE(WhileMemoWindowOpen([] {}, 0));
  EXPECT_FALSE(WhileMemoWindowOpen([] {}, 2));
  EXPECT_TRUE(RecordedMessages().empty());
}

TEST_F(DemoTest, OkStoresThePlotUnderTheRecordLock) {
  AddSampleFilms();
  StartDemo();
  ASSERT_EQ(form1_->VxDbf1->RecNo(), 1);
  const bool shown = WhileMemoWindowOpen(
      [&] {
        EXPECT_EQ(window_->Memo->EditText(), "A detective follows a woman.");
        TypeIntoMemo(" Up a tower.");
        window_->OkButton->Click();
      },
      1);
  EXPECT_TRUE(shown);
  EXPECT_EQ(form1_->VxDbf1->State(), dsBrowse);
  EXPECT_TRUE(RecordedMessages().empty());
  EXPECT_EQ(StoredPlot(1), "A detective follows a woman. Up a tower.");

  // Closing and starting the demo again shows the stored plot, as does vxdbf; the lock was
  // released.
  CloseDemo();
  const tool::Result memo = tool::Vxdbf({"memo", dir_.File("movie.DBF"), "1", "PLOT"});
  EXPECT_EQ(memo.status, 0) << memo.err;
  EXPECT_EQ(memo.out, "A detective follows a woman. Up a tower.\n");
  StartDemo();
  EXPECT_EQ(form1_->VxDbf1->FieldByName("PLOT")->AsString(),
            "A detective follows a woman. Up a tower.");
}

TEST_F(DemoTest, CancelAfterTypingDiscardsWithAMessageAndWithoutTypingSaysNothing) {
  AddSampleFilms();
  StartDemo();
  EXPECT_TRUE(WhileMemoWindowOpen(
      [&] {
        TypeIntoMemo("Nothing of this stays.");
        window_->CancelButton->Click();
      },
      1));
  EXPECT_EQ(RecordedMessages(), std::vector<std::string>{"Changes discarded"});
  EXPECT_EQ(form1_->VxDbf1->State(), dsBrowse);
  EXPECT_EQ(form1_->VxDbf1->FieldByName("PLOT")->AsString(), "A detective follows a woman.");
  EXPECT_EQ(StoredPlot(1), "A detective follows a woman.");

  ClearRecordedMessages();
  EXPECT_TRUE(WhileMemoWindowOpen([&] { window_->CancelButton->Click(); }, 1));
  EXPECT_TRUE(RecordedMessages().empty());
}

// The row's title was typed and not posted when the memo window opened: Cancel there gives back
// the plot only, and the title is still posted afterwards.
TEST_F(DemoTest, CancelInTheMemoWindowKeepsTheRowsUnpostedEdit) {
  AddSampleFilms();
  StartDemo();
  form1_->VxDbf1->Edit();
  form1_->VxDbf1->FieldByName("TITLE")->SetAsString("Vertigo (1958)");
  EXPECT_TRUE(WhileMemoWindowOpen(
      [&] {
        TypeIntoMemo(" Nothing of this stays.");
        window_->CancelButton->Click();
      },
      1));
  EXPECT_EQ(form1_->VxDbf1->State(), dsEdit);
  EXPECT_EQ(form1_->VxDbf1->FieldByName("TITLE")->AsString(), "Vertigo (1958)");
  EXPECT_EQ(form1_->VxDbf1->FieldByName("PLOT")->AsString(), "A detective follows a woman.");
  form1_->VxDbf1->Post();
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kTitle), "Vertigo (1958)      ");
  EXPECT_EQ(StoredPlot(1), "A detective follows a woman.");
}

// Another program holds record 1's lock while OK is pressed: the dataset's lock-failed path
// warns and drops the store, the plot stays as it was on disk and in the grid, the memo file
// keeps no block for the dropped text, and the dataset holds no lock afterwards. With a
// handler that waits for the other program, OK stores the plot.
TEST_F(DemoTest, OkWithTheRecordLockedElsewhereGoesThroughTheLockFailedPath) {
  AddSampleFilms();
  const std::uint64_t used_before = MemoUse().used_blocks;
  StartDemo();
  os::File other;
  ASSERT_EQ(os::File::Open(dir_.File("movie.DBF"), os::kOpenReadWriteDenyNone, other), 0);
  ASSERT_EQ(other.LockRange(test::FilmRecordLock(1), test::kFilmRecordLength), 0);
  EXPECT_TRUE(WhileMemoWindowOpen(
      [&] {
        TypeIntoMemo(" Up a tower.");
        window_->OkButton->Click();
      },
      1));
  EXPECT_EQ(RecordedMessages(), std::vector<std::string>{"Lock failed [Post]"});
  EXPECT_EQ(form1_->VxDbf1->State(), dsBrowse);
  EXPECT_EQ(form1_->VxDbf1->FieldByName("PLOT")->AsString(), "A detective follows a woman.");
  EXPECT_EQ(StoredPlot(1), "A detective follows a woman.");
  EXPECT_EQ(MemoUse().used_blocks, used_before) << "nothing left behind in the memo file";

  ClearRecordedMessages();
  int asked = 0;
  form1_->VxDbf1->OnRLockFailedOnPost = [&](TObject*, bool& retry) {
    ++asked;
    other.UnlockRange(test::FilmRecordLock(1), test::kFilmRecordLength);
    retry = true;
  };
  EXPECT_TRUE(WhileMemoWindowOpen(
      [&] {
        TypeIntoMemo(" Up a tower.");
        window_->OkButton->Click();
      },
      1));
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(RecordedMessages().empty());
  EXPECT_EQ(StoredPlot(1), "A detective follows a woman. Up a tower.");
  EXPECT_EQ(MemoUse().used_blocks, used_before) << "the old plot's block was given back";
  // The store released its lock: the other program can take the record again.
  EXPECT_EQ(other.LockRange(test::FilmRecordLock(1), test::kFilmRecordLength), 0);
}

// On an empty table the typing starts a new record, which OK appends with its plot; Cancel
// leaves the table and the memo file empty.
TEST_F(DemoTest, MemoWindowOnAnEmptyTableAppendsWithOkAndAddsNothingWithCancel) {
  StartDemo();
  ASSERT_TRUE(form1_->VxDbf1->IsEmpty());
  EXPECT_TRUE(WhileMemoWindowOpen(
      [&] {
        QApplication::processEvents();  // the window is active, as it is before a user types
        TypeIntoMemo("Nothing here yet.");
        window_->CancelButton->Click();
      },
      1));
  EXPECT_EQ(RecordedMessages(), std::vector<std::string>{"Changes discarded"});
  EXPECT_TRUE(form1_->VxDbf1->IsEmpty());
  EXPECT_EQ(StoredRecords("movie.DBF"), 0u);
  EXPECT_EQ(MemoUse().used_blocks, 0u);

  ClearRecordedMessages();
  EXPECT_TRUE(WhileMemoWindowOpen(
      [&] {
        QApplication::processEvents();
        TypeIntoMemo("A new film.");
        window_->OkButton->Click();
      },
      1));
  EXPECT_TRUE(RecordedMessages().empty());
  EXPECT_EQ(form1_->VxDbf1->State(), dsBrowse);
  EXPECT_EQ(form1_->VxDbf1->RecordCount(), 1);
  EXPECT_EQ(StoredRecords("movie.DBF"), 1u);
  EXPECT_EQ(StoredPlot(1), "A new film.");
  // Counted in the header, with the end-of-file marker after it, while the demo is still open:
  // other programs take the count from there, and a kill now would lose nothing.
  const std::vector<unsigned char> bytes = test::ReadBytes(dir_.File("movie.DBF"));
  EXPECT_EQ(bytes[4] | bytes[5] << 8 | bytes[6] << 16 | bytes[7] << 24, 1);
  EXPECT_EQ(bytes.back(), 0x1A);
  // Moving on adds nothing more.
  form1_->VxDbf1->Next();
  EXPECT_EQ(StoredRecords("movie.DBF"), 1u);
}

TEST_F(DemoTest, PictureShowsBothFormsFramed) {
  AddSampleFilms();
  StartDemo();
  window_->Show();
  const QImage picture = PictureOfForms({form1_, window_}, 16);
  EXPECT_EQ(picture.width(), 544 + 32);
  EXPECT_EQ(picture.height(), 232 + 32);
}

}  // namespace
}  // namespace vx::demo
