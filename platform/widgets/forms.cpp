#include "platform/widgets/forms.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "platform/dataset/application.h"
#include "platform/os/system.h"
#include "platform/widgets/std_controls.h"

namespace vx {

// --- TForm ----------------------------------------------------------------------------------

TForm::TForm(TComponent* owner) : TCustomControl(owner) {
  Widget()->setParent(nullptr, Qt::Window);
  Widget()->setAttribute(Qt::WA_DeleteOnClose, false);
  SetVisible(false);
  SetColor(clBtnFace);
  SetTabStop(true);
  Screen().forms_.push_back(this);
  ApplyWindowFlags();
  SetBounds(0, 0, 320, 240);
}

TForm::~TForm() {
  if (modal_loop_) modal_loop_->quit();
  Screen().FormGone(this);
  auto& forms = Screen().forms_;
  forms.erase(std::remove(forms.begin(), forms.end(), this), forms.end());
}

int TForm::CaptionBarHeight() const { return border_style_ == bsNone ? 0 : kCaptionHeight; }

int TForm::FrameWidth() const { return border_style_ == bsNone ? 0 : kBorderWidth; }

int TForm::ClientWidth() const { return std::max(Width() - 2 * FrameWidth(), 0); }

int TForm::ClientHeight() const {
  return std::max(Height() - 2 * FrameWidth() - CaptionBarHeight(), 0);
}

void TForm::SetClientWidth(int value) {
  SetBounds(Left(), Top(), value + 2 * FrameWidth(), Height());
}

void TForm::SetClientHeight(int value) {
  SetBounds(Left(), Top(), Width(), value + 2 * FrameWidth() + CaptionBarHeight());
}

void TForm::SetBounds(int left, int top, int width, int height) {
  const bool resized = width != Width() || height != Height();
  TCustomControl::SetBounds(left, top, width, height);
  ApplyWindowGeometry();
  if (resized) AlignControls();
}

// The control's bounds are the outer window; Qt's widget takes the client area.
void TForm::ApplyWindowGeometry() {
  if (applying_geometry_ || !Widget()) return;
  applying_geometry_ = true;
  Widget()->setGeometry(Left() + FrameWidth(), Top() + FrameWidth() + CaptionBarHeight(),
                        ClientWidth(), ClientHeight());
  applying_geometry_ = false;
}

void TForm::ClientResized(int width, int height) {
  if (applying_geometry_) return;
  if (width == ClientWidth() && height == ClientHeight()) return;
  applying_geometry_ = true;
  TCustomControl::SetBounds(Left(), Top(), width + 2 * FrameWidth(),
                            height + 2 * FrameWidth() + CaptionBarHeight());
  applying_geometry_ = false;
  AlignControls();
}

void TForm::SetBorderStyle(TBorderStyle value) {
  if (value == border_style_) return;
  // The client area keeps its size; the outer window follows the new frame.
  const int client_width = ClientWidth();
  const int client_height = ClientHeight();
  border_style_ = value;
  ApplyWindowFlags();
  SetBounds(Left(), Top(), client_width + 2 * FrameWidth(),
            client_height + 2 * FrameWidth() + CaptionBarHeight());
}

void TForm::SetBorderIcons(TBorderIcons value) {
  border_icons_ = value;
  ApplyWindowFlags();
}

void TForm::SetFormStyle(TFormStyle value) {
  form_style_ = value;
  ApplyWindowFlags();
}

void TForm::ApplyWindowFlags() {
  QWidget* widget = Widget();
  if (!widget) return;
  const bool was_visible = widget->isVisible();
  Qt::WindowFlags flags = border_style_ == bsDialog ? Qt::Dialog : Qt::Window;
  if (border_style_ == bsNone) flags |= Qt::FramelessWindowHint;
  if (form_style_ == fsStayOnTop) flags |= Qt::WindowStaysOnTopHint;
  if (border_style_ != bsNone) {
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (border_icons_.Contains(biSystemMenu)) flags |= Qt::WindowCloseButtonHint;
    if (border_icons_.Contains(biMinimize) && border_style_ != bsDialog)
      flags |= Qt::WindowMinimizeButtonHint;
    if (border_icons_.Contains(biMaximize) && border_style_ != bsDialog)
      flags |= Qt::WindowMaximizeButtonHint;
  }
  widget->setWindowFlags(flags);
  ApplyWindowGeometry();
  if (was_visible) widget->show();
}

void TForm::TextChanged() {
  if (Widget()) Widget()->setWindowTitle(AnsiToQString(Caption()));
}

void TForm::VisibleChanged() {
  QWidget* widget = Widget();
  if (!widget) return;
  if (Visible()) {
    if (position_ == poScreenCenter) CenterOver(nullptr);
    ApplyWindowGeometry();
    widget->show();
    if (QGuiApplication::platformName() != "offscreen") {
      widget->raise();
      widget->activateWindow();
    }
    Screen().SetActiveForm(this);
    if (active_control_ && active_control_->CanFocus()) active_control_->SetFocus();
    if (OnShow) OnShow(this);
  } else {
    widget->hide();
    Screen().FormGone(this);
    if (OnHide) OnHide(this);
  }
}

void TForm::Show() {
  if (Visible()) {
    VisibleChanged();
    return;
  }
  SetVisible(true);
}

int TForm::ShowModal() {
  modal_result_ = mrNone;
  TForm* previous = Screen().ActiveForm();
  QEventLoop loop;
  modal_loop_ = &loop;
  Widget()->setWindowModality(Qt::ApplicationModal);
  Show();
  if (modal_result_ == mrNone) loop.exec();
  modal_loop_ = nullptr;
  SetVisible(false);
  Widget()->setWindowModality(Qt::NonModal);
  if (previous && previous != this && previous->Visible()) Screen().SetActiveForm(previous);
  return modal_result_;
}

void TForm::SetModalResult(int value) {
  modal_result_ = value;
  if (value != mrNone && modal_loop_) modal_loop_->quit();
}

void TForm::Close() {
  if (modal_loop_) {
    if (CloseQuery()) SetModalResult(mrCancel);
    return;
  }
  WindowCloseRequested();
}

bool TForm::WindowCloseRequested() {
  if (modal_loop_) return CloseQuery();
  if (!CloseQuery()) return false;
  TCloseAction action = caHide;
  if (OnClose) OnClose(this, action);
  if (action == caNone) return false;
  SetVisible(false);
  return true;
}

bool TForm::CloseQuery() {
  bool can_close = true;
  if (OnCloseQuery) OnCloseQuery(this, can_close);
  if (can_close && modal_loop_ && modal_result_ == mrNone) SetModalResult(mrCancel);
  return can_close;
}

void TForm::CenterOver(const TForm* over) {
  int area_left = 0;
  int area_top = 0;
  int area_width = Screen().Width();
  int area_height = Screen().Height();
  if (over) {
    area_left = over->Left();
    area_top = over->Top();
    area_width = over->Width();
    area_height = over->Height();
  }
  SetBounds(area_left + (area_width - Width()) / 2, area_top + (area_height - Height()) / 2,
            Width(), Height());
}

QImage TForm::Render() { return Grab(); }

TButton* TForm::FindButton(bool default_button) const {
  std::vector<const TWinControl*> pending{this};
  while (!pending.empty()) {
    const TWinControl* control = pending.back();
    pending.pop_back();
    for (int i = 0; i < control->ControlCount(); ++i) {
      TControl* child = control->Controls(i);
      if (auto* button = dynamic_cast<TButton*>(child)) {
        if (button->Visible() && button->Enabled() &&
            (default_button ? button->Default() : button->Cancel()))
          return button;
      }
      if (auto* win = dynamic_cast<TWinControl*>(child)) pending.push_back(win);
    }
  }
  return nullptr;
}

void TForm::KeyDown(std::uint16_t& key, TShiftState shift) {
  TCustomControl::KeyDown(key, shift);
  if (key == VK_ESCAPE || key == VK_RETURN) {
    if (TButton* button = FindButton(key == VK_RETURN)) {
      key = 0;
      button->Click();
    }
  }
}

void TForm::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component == active_control_) active_control_ = nullptr;
  TCustomControl::Notification(component, operation);
}

// --- TScreen --------------------------------------------------------------------------------

int TScreen::Width() const {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry().width() : 1024;
}

int TScreen::Height() const {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry().height() : 768;
}

void TScreen::SetActiveForm(TForm* form) {
  if (form == active_form_) return;
  active_form_ = form;
  if (form && form->OnActivate) form->OnActivate(form);
}

void TScreen::FormGone(TForm* form) {
  if (active_form_ != form) return;
  active_form_ = nullptr;
  // The most recently created visible form takes over.
  for (auto it = forms_.rbegin(); it != forms_.rend(); ++it) {
    if (*it != form && (*it)->Visible()) {
      active_form_ = *it;
      break;
    }
  }
}

TScreen& Screen() {
  static TScreen screen;
  return screen;
}

// --- Application ----------------------------------------------------------------------------

namespace {

int ShowMessageBox(const std::string& text, const std::string& caption, int flags) {
  QWidget* parent = Screen().ActiveForm() ? Screen().ActiveForm()->Widget() : nullptr;
  QMessageBox box(parent);
  box.setWindowTitle(AnsiToQString(caption));
  box.setText(AnsiToQString(text));
  switch (flags & 0xF0) {
    case MB_ICONSTOP:
      box.setIcon(QMessageBox::Critical);
      break;
    case MB_ICONQUESTION:
      box.setIcon(QMessageBox::Question);
      break;
    case MB_ICONWARNING:
      box.setIcon(QMessageBox::Warning);
      break;
    case MB_ICONINFORMATION:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      break;
  }
  struct Choice {
    QMessageBox::StandardButton button;
    int answer;
  };
  std::vector<Choice> choices;
  switch (flags & 0x0F) {
    case MB_OKCANCEL:
      choices = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
      break;
    case 2:
      choices = {{QMessageBox::Abort, 3}, {QMessageBox::Retry, 4}, {QMessageBox::Ignore, 5}};
      break;
    case MB_YESNOCANCEL:
      choices = {
          {QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
      break;
    case MB_YESNO:
      choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
      break;
    case 5:
      choices = {{QMessageBox::Retry, 4}, {QMessageBox::Cancel, IDCANCEL}};
      break;
    default:
      choices = {{QMessageBox::Ok, IDOK}};
      break;
  }
  QMessageBox::StandardButtons buttons;
  for (const Choice& choice : choices) buttons |= choice.button;
  box.setStandardButtons(buttons);
  // Keys go back where they went before the box: its window is made active again and the
  // widget that had the focus (a grid, a cell's editor) gets it back, if it is still shown.
  // That waits for the event that asked to be handled whole: the widget that received it may
  // be rebuilt on its way out.
  QWidget* focus = QApplication::focusWidget();
  const int pressed = box.exec();
  if (focus != nullptr) {
    QTimer::singleShot(0, focus, [focus] {
      if (!focus->isVisible()) return;
      focus->window()->activateWindow();
      focus->setFocus(Qt::OtherFocusReason);
    });
  }
  for (const Choice& choice : choices) {
    if (pressed == choice.button) return choice.answer;
  }
  return choices.size() == 1 ? choices[0].answer : IDCANCEL;
}

}  // namespace

void InitWidgets(int& argc, char** argv) {
  if (!QApplication::instance()) new QApplication(argc, argv);
  os::SetProcessMessagesHook([] { ProcessMessages(); });
  SetMessageBoxHook(ShowMessageBox);
  os::SetFatalMessageHook([](const std::string& caption, const std::string& text) {
    ShowMessageBox(text, caption, MB_ICONSTOP);
  });
}

void ProcessMessages() {
  if (QCoreApplication::instance()) QCoreApplication::processEvents();
}

int RunApplication() {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  return app ? app->exec() : 1;
}

}  // namespace vx
