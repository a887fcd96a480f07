// The captioned memo editor: caption placement for every position, the label's creation,
// adoption and renaming, and editing the demo's PLOT memo through the editor as a user would.

#include "components/controls/memo_editor.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>

#include "platform/widgets/forms.h"
#include "tests/components/dataset/dataset_fixture.h"

namespace vx {
namespace {

TEST(CaptionPlacementTest, PlacesTheLabelAroundTheControlForEveryPosition) {
  TForm form(nullptr);
  auto* control = new TPanel(&form);
  control->SetParent(&form);
  control->SetBounds(100, 80, 60, 30);
  auto* label = new TLabel(&form);
  label->SetParent(&form);
  label->SetAutoSize(false);
  label->SetBounds(0, 0, 20, 10);
  const struct {
    TVxCaptionPosType position;
    int left, top;
    TAlignment alignment;
  } kCases[] = {
      {cpLeft, 100 - 4 - 20, 80 + 4, taRightJustify},
      {cpRight, 100 + 60 + 4, 80 + 4, taLeftJustify},
      {cpTopLeft, 100, 80 - 10 - 4, taLeftJustify},
      {cpTopRight, 100 + 60 - 20, 80 - 10 - 4, taRightJustify},
      {cpBottomLeft, 100, 80 + 30 + 4, taLeftJustify},
      {cpBottomRight, 100 + 60 - 20, 80 + 30 + 4, taRightJustify},
      {cpTopCenter, 100 + 20, 80 - 10 - 4, taCenter},
      {cpBottomCenter, 100 + 20, 80 + 30 + 4, taCenter},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.position);
    label->SetBounds(0, 0, 20, 10);
    label->SetAlignment(taLeftJustify);
    PlaceCaption(label, c.position, control);
    EXPECT_EQ(label->Left(), c.left);
    EXPECT_EQ(label->Top(), c.top);
    EXPECT_EQ(label->Width(), 20);
    EXPECT_EQ(label->Alignment(), c.alignment);
  }
  // Detached, or a missing label or control: nothing moves and nothing breaks.
  label->SetBounds(7, 9, 20, 10);
  PlaceCaption(label, cpDetached, control);
  PlaceCaption(nullptr, cpLeft, control);
  PlaceCaption(label, cpLeft, nullptr);
  EXPECT_EQ(label->BoundsRect(), Rect(7, 9, 27, 19));
}

TEST(VxMemoTest, CaptionCreatesAdoptsRenamesAndFreesTheLabel) {
  TForm form(nullptr);
  auto* memo = new TVxMemo(&form);
  memo->SetName("VxMemo1");
  memo->SetParent(&form);
  memo->SetBounds(120, 40, 200, 100);
  EXPECT_EQ(memo->Caption(), "");
  EXPECT_EQ(memo->CaptionPos(), cpDetached);

  // A detached memo gets a new label on the left.
  memo->SetCaption("Plot");
  TLabel* label = memo->CaptionLabel();
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->Name(), "VxMemo1Caption");
  EXPECT_EQ(label->Owner(), &form);
  EXPECT_EQ(label->Parent(), &form);
  EXPECT_EQ(memo->CaptionPos(), cpLeft);
  EXPECT_EQ(memo->Caption(), "Plot");
  EXPECT_EQ(label->Left() + label->Width(), 120 - 4);
  EXPECT_EQ(label->Top(), 44);

  // The label follows the memo when it moves, when the position changes and when it is renamed.
  memo->SetBounds(150, 60, 200, 100);
  EXPECT_EQ(label->Left() + label->Width(), 150 - 4);
  memo->SetCaptionPos(cpBottomLeft);
  EXPECT_EQ(label->Left(), 150);
  EXPECT_EQ(label->Top(), 60 + 100 + 4);
  memo->SetName("PlotMemo");
  EXPECT_EQ(label->Name(), "PlotMemoCaption");

  // An empty caption frees the label.
  memo->SetCaption("");
  EXPECT_EQ(memo->CaptionLabel(), nullptr);
  EXPECT_EQ(form.FindComponent("PlotMemoCaption"), nullptr);
  EXPECT_EQ(memo->Caption(), "");

  // A label already on the form under the memo's name is adopted, not doubled.
  auto* existing = new TLabel(&form);
  existing->SetName("PlotMemoCaption");
  existing->SetParent(&form);
  const int components = form.ComponentCount();
  memo->SetCaption("Story");
  EXPECT_EQ(memo->CaptionLabel(), existing);
  EXPECT_EQ(form.ComponentCount(), components);
  EXPECT_EQ(existing->Caption(), "Story");

  // A label destroyed elsewhere is forgotten.
  delete existing;
  EXPECT_EQ(memo->CaptionLabel(), nullptr);
  EXPECT_EQ(memo->Caption(), "");
}

class MemoEditingTest : public test::DatasetTest {
 protected:
  void SetUp() override {
    DatasetTest::SetUp();
    films_ = FilmDataset();
    films_->SetActive(true);
    AddFilms(*films_, {{"Vertigo", 1958}, {"Psycho", 1960}});
    films_->First();
    source_ = new TDataSource(&form_);
    source_->SetDataSet(films_);
    window_ = std::make_unique<TForm>(nullptr);
    memo_ = new TVxMemo(window_.get());
    memo_->SetParent(window_.get());
    memo_->SetAlign(alClient);
    memo_->SetDataSource(source_);
    memo_->SetDataField("PLOT");
  }
  void TearDown() override {
    window_.reset();
    DatasetTest::TearDown();
  }
  void Type(const QString& text) {
    for (QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(memo_->Widget(), &press);
    }
  }

  ZOvEzi* films_ = nullptr;
  TDataSource* source_ = nullptr;
  std::unique_ptr<TForm> window_;
  TVxMemo* memo_ = nullptr;
};

TEST_F(MemoEditingTest, TypingEditsTheRecordAndPostingStoresTheMemo) {
  EXPECT_EQ(memo_->EditText(), "");
  Type("A man follows a woman.");
  EXPECT_EQ(films_->State(), dsEdit);
  EXPECT_TRUE(memo_->Modified());
  films_->Post();
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(films_->FieldByName("PLOT")->AsString(), "A man follows a woman.");

  // Moving to the other film shows its (empty) memo, and back again the stored one.
  films_->Next();
  EXPECT_EQ(memo_->EditText(), "");
  films_->Prior();
  EXPECT_EQ(memo_->EditText(), "A man follows a woman.");
}

TEST_F(MemoEditingTest, LinesAreStoredWithDosLineEndsAndCancelGivesTheTextBack) {
  memo_->SetEditText("first line\r\nsecond line");
  films_->Post();
  EXPECT_EQ(films_->FieldByName("PLOT")->AsString(), "first line\r\nsecond line");
  EXPECT_EQ(static_cast<QPlainTextEdit*>(memo_->Widget())->toPlainText(),
            "first line\nsecond line");

  Type("!");
  EXPECT_EQ(films_->State(), dsEdit);
  films_->Cancel();
  EXPECT_EQ(memo_->EditText(), "first line\r\nsecond line");
  EXPECT_FALSE(memo_->Modified());
}

TEST_F(MemoEditingTest, AReadOnlyEditorOrDatasetTakesNoTyping) {
  memo_->SetReadOnly(true);
  Type("x");
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(memo_->EditText(), "");
  memo_->SetReadOnly(false);
  films_->SetActive(false);
  films_->SetReadOnly(true);
  films_->SetActive(true);
  Type("x");
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(memo_->EditText(), "");
}

}  // namespace
}  // namespace vx
