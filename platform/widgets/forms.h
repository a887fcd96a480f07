#pragma once
// Forms (top-level windows, shown normally or modally with a modal result), the screen with its
// active form, and the GUI application's start-up: the Qt application object, the message loop,
// and the hooks through which the headless layers reach the GUI (pending messages during lock
// waits, message boxes, the fatal-error message).
//
// Form geometry follows the toolkit's forms: Left/Top/Width/Height are the outer window
// including a caption bar and borders of fixed size (CaptionHeight, BorderWidth below); the
// controls are placed in the client area. Qt's window gets the client size.

#include <QEventLoop>
#include <QImage>
#include <string>

#include "platform/widgets/controls.h"

namespace vx {

class TButton;

enum TFormStyle { fsNormal, fsStayOnTop };
enum TPosition { poDesigned, poScreenCenter, poOwnerFormCenter };
enum TBorderIcon { biSystemMenu, biMinimize, biMaximize, biHelp };
using TBorderIcons = TSet<TBorderIcon>;
enum TCloseAction { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(TObject* sender, TCloseAction& action)>;
using TCloseQueryEvent = std::function<void(TObject* sender, bool& can_close)>;

class TForm : public TCustomControl {
 public:
  explicit TForm(TComponent* owner);
  ~TForm() override;

  // Window frame metrics of the forms' geometry.
  static constexpr int kCaptionHeight = 19;
  static constexpr int kBorderWidth = 4;

  TBorderStyle BorderStyle() const { return border_style_; }
  void SetBorderStyle(TBorderStyle value);
  TBorderIcons BorderIcons() const { return border_icons_; }
  void SetBorderIcons(TBorderIcons value);
  TFormStyle FormStyle() const { return form_style_; }
  void SetFormStyle(TFormStyle value);
  TPosition Position() const { return position_; }
  void SetPosition(TPosition value) { position_ = value; }

  int ClientWidth() const override;
  int ClientHeight() const override;
  void SetClientWidth(int value);
  void SetClientHeight(int value);
  // The height of the caption bar the geometry counts (0 without a border).
  int CaptionBarHeight() const;
  int FrameWidth() const;

  // Shows the form and answers at once.
  void Show();
  // Shows the form modally, runs a message loop until ModalResult is set (or the window is
  // closed, which answers mrCancel), hides it and answers the result.
  int ShowModal();
  bool Modal() const { return modal_loop_ != nullptr; }
  void Close();
  int ModalResult() const { return modal_result_; }
  // Ends a modal loop when not mrNone.
  void SetModalResult(int value);
  // Centres the form over `over` (nullptr: the screen).
  void CenterOver(const TForm* over);

  // The control that gets the focus when the form is shown.
  TWinControl* ActiveControl() const { return active_control_; }
  void SetActiveControl(TWinControl* control) { active_control_ = control; }

  // Renders the client area, with its controls, into a picture.
  QImage Render();

  TNotifyEvent OnShow;
  TNotifyEvent OnHide;
  TCloseEvent OnClose;
  TCloseQueryEvent OnCloseQuery;
  TNotifyEvent OnActivate;

  // Asks OnCloseQuery whether the form may close (a modal form then answers mrCancel).
  bool CloseQuery();
  // The window system asks to close the window: as Close(), answering whether it may go.
  bool WindowCloseRequested();
  // The window system resized the window's client area.
  void ClientResized(int width, int height);

  void SetBounds(int left, int top, int width, int height) override;
  void KeyDown(std::uint16_t& key, TShiftState shift) override;

 protected:
  void TextChanged() override;
  void VisibleChanged() override;
  void UpdateWidgetGeometry() override { ApplyWindowGeometry(); }
  void Notification(TComponent* component, TOperation operation) override;

 private:
  void ApplyWindowFlags();
  void ApplyWindowGeometry();
  TButton* FindButton(bool default_button) const;

  TBorderStyle border_style_ = bsSizeable;
  TBorderIcons border_icons_{biSystemMenu, biMinimize, biMaximize};
  TFormStyle form_style_ = fsNormal;
  TPosition position_ = poDesigned;
  int modal_result_ = mrNone;
  QEventLoop* modal_loop_ = nullptr;
  TWinControl* active_control_ = nullptr;
  bool applying_geometry_ = false;
};

// The screen: its size and the active form (the form last activated or shown that is still
// visible).
class TScreen {
 public:
  int Width() const;
  int Height() const;
  TForm* ActiveForm() const { return active_form_; }
  void SetActiveForm(TForm* form);
  // Forgets a form that goes away or hides.
  void FormGone(TForm* form);
  int FormCount() const { return static_cast<int>(forms_.size()); }
  TForm* Forms(int index) const { return forms_.at(index); }

 private:
  friend class TForm;
  TForm* active_form_ = nullptr;
  std::vector<TForm*> forms_;
};

TScreen& Screen();

// Creates the Qt application when there is none and installs the GUI's hooks: processing of
// pending messages for lock waits and message windows, the modal message box, and the fatal-error
// message box. Call once, before creating forms.
void InitWidgets(int& argc, char** argv);
// Lets the GUI handle its pending events (also what the engine's waits call).
void ProcessMessages();
// Runs the message loop until the last form closes; answers the exit code.
int RunApplication();

}  // namespace vx
