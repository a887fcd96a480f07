#include "platform/widgets/forms.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <memory>

#include "platform/dataset/application.h"
#include "platform/widgets/std_controls.h"

namespace vx {
namespace {

TEST(FormsTest, GeometryCountsTheFrameAndAlignsChildren) {
  TForm form(nullptr);
  form.SetBounds(192, 107, 544, 232);
  EXPECT_EQ(form.ClientWidth(), 544 - 2 * TForm::kBorderWidth);
  EXPECT_EQ(form.ClientHeight(), 232 - 2 * TForm::kBorderWidth - TForm::kCaptionHeight);

  auto* bottom = new TPanel(&form);
  bottom->SetParent(&form);
  bottom->SetHeight(41);
  bottom->SetAlign(alBottom);
  auto* fill = new TPanel(&form);
  fill->SetParent(&form);
  fill->SetAlign(alClient);
  EXPECT_EQ(bottom->BoundsRect(),
            Rect(0, form.ClientHeight() - 41, form.ClientWidth(), form.ClientHeight()));
  EXPECT_EQ(fill->BoundsRect(), Rect(0, 0, form.ClientWidth(), form.ClientHeight() - 41));

  // Growing the form keeps the bottom panel at the bottom and the filler filling the rest.
  form.SetHeight(300);
  EXPECT_EQ(bottom->Top(), form.ClientHeight() - 41);
  EXPECT_EQ(fill->Height(), form.ClientHeight() - 41);

  // A borderless form is all client area.
  form.SetBorderStyle(bsNone);
  EXPECT_EQ(form.ClientWidth(), form.Width());
  EXPECT_EQ(form.ClientHeight(), form.Height());
}

TEST(FormsTest, ButtonsEndAModalFormWithTheirResult) {
  for (int result : {mrOk, mrCancel}) {
    SCOPED_TRACE(result);
    TForm form(nullptr);
    auto* ok = new TButton(&form);
    ok->SetParent(&form);
    ok->SetModalResult(mrOk);
    auto* cancel = new TButton(&form);
    cancel->SetParent(&form);
    cancel->SetModalResult(mrCancel);
    bool clicked = false;
    ok->OnClick = [&](TObject*) { clicked = true; };
    TButton* press = result == mrOk ? ok : cancel;
    QTimer::singleShot(0, [press] { press->Click(); });
    EXPECT_EQ(form.ShowModal(), result);
    EXPECT_FALSE(form.Visible());
    EXPECT_EQ(clicked, result == mrOk);
  }
}

TEST(FormsTest, ClosingAModalFormAnswersCancelAndEscapePressesTheCancelButton) {
  TForm form(nullptr);
  QTimer::singleShot(0, [&form] { form.Close(); });
  EXPECT_EQ(form.ShowModal(), mrCancel);

  auto* cancel = new TButton(&form);
  cancel->SetParent(&form);
  cancel->SetModalResult(mrAbort);
  cancel->SetCancel(true);
  QTimer::singleShot(0, [&form] {
    std::uint16_t key = VK_ESCAPE;
    form.KeyDown(key, {});
  });
  EXPECT_EQ(form.ShowModal(), mrAbort);
}

TEST(FormsTest, TheWindowSystemClosesAFormAsCloseDoes) {
  TForm form(nullptr);
  form.Show();
  bool allow = false;
  std::vector<std::string> events;
  form.OnCloseQuery = [&](TObject*, bool& can_close) {
    events.push_back("query");
    can_close = allow;
  };
  form.OnClose = [&](TObject*, TCloseAction&) { events.push_back("close"); };
  EXPECT_FALSE(form.Widget()->close());
  EXPECT_TRUE(form.Visible());
  allow = true;
  EXPECT_TRUE(form.Widget()->close());
  EXPECT_FALSE(form.Visible());
  EXPECT_EQ(events, (std::vector<std::string>{"query", "query", "close"}));
}

TEST(FormsTest, ScreenKnowsTheActiveForm) {
  TForm first(nullptr);
  TForm second(nullptr);
  first.Show();
  EXPECT_EQ(Screen().ActiveForm(), &first);
  second.Show();
  EXPECT_EQ(Screen().ActiveForm(), &second);
  second.Hide();
  EXPECT_EQ(Screen().ActiveForm(), &first);
  first.Hide();
  EXPECT_EQ(Screen().ActiveForm(), nullptr);
}

// A real message box over an active window whose second field has the keys: once it is
// answered, the keys go to that field again, also where nothing makes the window active again
// (no window manager, as under Xvfb alone).
TEST(FormsTest, KeysGoBackToTheFocusedControlAfterAMessageBox) {
  int argc = 0;
  InitWidgets(argc, nullptr);  // the GUI's message boxes instead of the recording
  struct Restore {
    ~Restore() { SetMessageBoxHook({}); }
  } restore;
  QTimer answer;
  answer.setInterval(10);
  QObject::connect(&answer, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
      box->button(QMessageBox::Ok)->click();
  });
  answer.start();
  TForm form(nullptr);
  form.SetBounds(10, 10, 300, 200);
  auto* first = new QLineEdit(form.Widget());
  auto* second = new QLineEdit(form.Widget());
  second->move(0, 40);
  form.Show();
  QApplication::setActiveWindow(form.Widget());
  second->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), second);
  for (int round = 0; round < 2; ++round) {
    ShowMessage("Record 7 is locked by another program");
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), second) << "round " << round;
  }
  EXPECT_NE(QApplication::focusWidget(), first);
}

TEST(FormsTest, DestroyingAFormDestroysItsControlsOnce) {
  auto form = std::make_unique<TForm>(nullptr);
  auto* panel = new TPanel(form.get());
  panel->SetParent(form.get());
  auto* label = new TLabel(form.get());
  label->SetParent(panel);
  auto* button = new TButton(nullptr);  // owned by nobody, placed on the panel
  button->SetParent(panel);
  EXPECT_EQ(panel->ControlCount(), 2);
  form.reset();  // ASan reports a double delete or a leak here
}

TEST(StdControlsTest, AutoSizedLabelFitsItsCaptionAndPaintsItInTheFontColour) {
  TForm form(nullptr);
  form.SetBounds(0, 0, 300, 100);
  auto* label = new TLabel(&form);
  label->SetParent(&form);
  label->SetLeft(10);
  TFont font = label->Font();
  font.Color = clRed;
  font.SetHeight(-19);
  label->SetFont(font);
  label->SetCaption("Double click");
  const int short_width = label->Width();
  EXPECT_GT(short_width, 40);
  EXPECT_GE(label->Height(), 19);
  label->SetCaption("Double click to edit memos...");
  EXPECT_GT(label->Width(), short_width);
  EXPECT_EQ(label->Left(), 10);

  const QImage image = form.Render();
  int red = 0;
  for (int y = label->Top(); y < label->Top() + label->Height(); ++y) {
    for (int x = label->Left(); x < label->Left() + label->Width(); ++x) {
      if (image.pixelColor(x, y) == QColor(255, 0, 0)) ++red;
    }
  }
  EXPECT_GT(red, 30) << "the caption is drawn in red";
}

TEST(GraphicsTest, ColoursAndNames) {
  EXPECT_EQ(ColorToRGB(clRed), 0x0000FF);
  EXPECT_EQ(ToQColor(clRed), QColor(255, 0, 0));
  EXPECT_EQ(FromQColor(QColor(0, 0, 255)), clBlue);
  EXPECT_EQ(ColorToRGB(clWindow), 0xFFFFFF);
  TColor color = 0;
  EXPECT_TRUE(IdentToColor("clYellow", color));
  EXPECT_EQ(color, clYellow);
  EXPECT_TRUE(IdentToColor("CLRED", color));
  EXPECT_EQ(color, clRed);
  EXPECT_TRUE(IdentToColor("255", color));
  EXPECT_EQ(color, clRed);
  EXPECT_TRUE(IdentToColor("$00FF0000", color));
  EXPECT_EQ(color, clBlue);
  EXPECT_FALSE(IdentToColor("reddish", color));
  EXPECT_EQ(ColorToString(clBtnFace), "clBtnFace");
  EXPECT_EQ(ColorToString(0x123456), "$00123456");

  TFont font;
  EXPECT_EQ(font.Height(), -11);
  EXPECT_EQ(font.Size(), 8);
  font.SetSize(10);
  EXPECT_EQ(font.Height(), -13);
}

TEST(GraphicsTest, CanvasShapesStayInsideTheirRectangle) {
  TBitmap bitmap;
  bitmap.SetSize(20, 20);
  TCanvas& canvas = bitmap.Canvas();
  canvas.Brush.Color = clWhite;
  canvas.FillRect(Rect(0, 0, 20, 20));
  canvas.Pen.Color = clBlue;
  canvas.Brush.Color = clYellow;
  canvas.Rectangle(2, 2, 10, 10);
  EXPECT_EQ(canvas.Pixel(2, 2), clBlue);
  EXPECT_EQ(canvas.Pixel(9, 9), clBlue);
  EXPECT_EQ(canvas.Pixel(10, 10), clWhite) << "right and bottom are outside";
  EXPECT_EQ(canvas.Pixel(5, 5), clYellow);
  canvas.Brush.Color = clRed;
  canvas.FrameRect(Rect(12, 12, 18, 18));
  EXPECT_EQ(canvas.Pixel(12, 12), clRed);
  EXPECT_EQ(canvas.Pixel(17, 17), clRed);
  EXPECT_EQ(canvas.Pixel(14, 14), clWhite);
}

}  // namespace
}  // namespace vx
