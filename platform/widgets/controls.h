#pragma once
// The control model over Qt widgets: TControl (bounds, alignment, visibility, font, colour,
// mouse and keyboard events in the toolkit's virtual-key vocabulary), TWinControl (children,
// focus, alignment of children) and TCustomControl (painted through a TCanvas). Each control
// owns one QWidget; the QWidget forwards its events to the control's virtual handlers, and no
// exception crosses back into Qt: a handler's exception goes to the application's handler.
// Forms, labels, panels and buttons are in std_controls.h and forms.h.

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/dataset/component.h"
#include "platform/widgets/graphics.h"

class QEvent;

namespace vx {

class TWinControl;
class TForm;

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TMouseButton { mbLeft, mbRight, mbMiddle };
enum TShiftFlag { ssShift, ssAlt, ssCtrl, ssLeft, ssRight, ssMiddle, ssDouble };
using TShiftState = TSet<TShiftFlag>;
enum TBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };

using TMouseEvent =
    std::function<void(TObject* sender, TMouseButton button, TShiftState shift, int x, int y)>;
using TMouseMoveEvent = std::function<void(TObject* sender, TShiftState shift, int x, int y)>;
using TKeyEvent = std::function<void(TObject* sender, std::uint16_t& key, TShiftState shift)>;
using TKeyPressEvent = std::function<void(TObject* sender, char& key)>;

// Virtual-key codes (Win32 numbering).
inline constexpr std::uint16_t VK_BACK = 0x08;
inline constexpr std::uint16_t VK_TAB = 0x09;
inline constexpr std::uint16_t VK_RETURN = 0x0D;
inline constexpr std::uint16_t VK_SHIFT = 0x10;
inline constexpr std::uint16_t VK_CONTROL = 0x11;
inline constexpr std::uint16_t VK_MENU = 0x12;
inline constexpr std::uint16_t VK_ESCAPE = 0x1B;
inline constexpr std::uint16_t VK_SPACE = 0x20;
inline constexpr std::uint16_t VK_PRIOR = 0x21;
inline constexpr std::uint16_t VK_NEXT = 0x22;
inline constexpr std::uint16_t VK_END = 0x23;
inline constexpr std::uint16_t VK_HOME = 0x24;
inline constexpr std::uint16_t VK_LEFT = 0x25;
inline constexpr std::uint16_t VK_UP = 0x26;
inline constexpr std::uint16_t VK_RIGHT = 0x27;
inline constexpr std::uint16_t VK_DOWN = 0x28;
inline constexpr std::uint16_t VK_INSERT = 0x2D;
inline constexpr std::uint16_t VK_DELETE = 0x2E;
inline constexpr std::uint16_t VK_F2 = 0x71;

// Modal results.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrAbort = 3;
inline constexpr int mrRetry = 4;
inline constexpr int mrIgnore = 5;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;

// A visible element of a form. The control owns its QWidget; Left/Top/Width/Height are the
// source of the widget's geometry (relative to the parent's client area).
class TControl : public TComponent {
 public:
  ~TControl() override;

  TWinControl* Parent() const { return parent_; }
  virtual void SetParent(TWinControl* parent);

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetLeft(int value) { SetBounds(value, top_, width_, height_); }
  void SetTop(int value) { SetBounds(left_, value, width_, height_); }
  void SetWidth(int value) { SetBounds(left_, top_, value, height_); }
  void SetHeight(int value) { SetBounds(left_, top_, width_, value); }
  virtual void SetBounds(int left, int top, int width, int height);
  // The client area is the whole control unless a descendant says otherwise.
  virtual int ClientWidth() const { return width_; }
  virtual int ClientHeight() const { return height_; }
  TRect ClientRect() const { return Rect(0, 0, ClientWidth(), ClientHeight()); }
  TRect BoundsRect() const { return Rect(left_, top_, left_ + width_, top_ + height_); }

  TAlign Align() const { return align_; }
  void SetAlign(TAlign value);

  bool Visible() const { return visible_; }
  virtual void SetVisible(bool value);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  bool Enabled() const { return enabled_; }
  virtual void SetEnabled(bool value);

  // Caption or text (ANSI).
  const std::string& Caption() const { return text_; }
  void SetCaption(const std::string& value) { SetText(value); }
  const std::string& Text() const { return text_; }
  virtual void SetText(const std::string& value);

  TFont& Font() { return font_; }
  const TFont& Font() const { return font_; }
  // Replaces the font and tells the control (and children that take the parent's font).
  void SetFont(const TFont& font);
  bool ParentFont() const { return parent_font_; }
  void SetParentFont(bool value);
  TColor Color() const { return color_; }
  void SetColor(TColor value);
  bool ParentColor() const { return parent_color_; }
  void SetParentColor(bool value);

  // Repaint later / now.
  void Invalidate();
  void Repaint();
  void Update();

  // Client coordinates of this control to screen coordinates and back.
  TPoint ClientToScreen(TPoint point) const;
  TPoint ScreenToClient(TPoint point) const;

  QWidget* Widget() const { return widget_; }
  // The form the control sits on, or nullptr.
  TForm* ParentForm() const;

  TNotifyEvent OnClick;
  TNotifyEvent OnDblClick;
  TMouseEvent OnMouseDown;
  TMouseEvent OnMouseUp;
  TMouseMoveEvent OnMouseMove;
  TNotifyEvent OnResize;

  // Event entry points of the Qt side (also used by tests that need exact coordinates).
  virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
  virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
  virtual void MouseMove(TShiftState shift, int x, int y);
  virtual void Click();
  virtual void DblClick();

 protected:
  // `widget` is the control's QWidget (created by the descendant); nullptr creates a plain one.
  TControl(TComponent* owner, QWidget* widget);

  virtual void Resize();
  virtual void FontChanged();
  virtual void ColorChanged();
  virtual void TextChanged();
  virtual void EnabledChanged();
  virtual void VisibleChanged();
  // The parent's font or colour changed.
  virtual void ParentFontChanged();
  virtual void ParentColorChanged();
  // Applies the widget's geometry and visibility from the control's state.
  virtual void UpdateWidgetGeometry();
  void UpdateWidgetVisibility();
  // Runs `action`, handing an exception to the application's handler.
  void Guard(const std::function<void()>& action);

 private:
  friend class TWinControl;
  friend class HostBridge;

  QPointer<QWidget> widget_;
  TWinControl* parent_ = nullptr;
  int left_ = 0;
  int top_ = 0;
  int width_ = 0;
  int height_ = 0;
  TAlign align_ = alNone;
  bool visible_ = true;
  bool enabled_ = true;
  std::string text_;
  TFont font_;
  bool parent_font_ = true;
  TColor color_ = clWindow;
  bool parent_color_ = false;
};

// A control that can hold other controls and take the keyboard focus. Destroying it destroys the
// controls placed on it.
class TWinControl : public TControl {
 public:
  ~TWinControl() override;

  int ControlCount() const { return static_cast<int>(controls_.size()); }
  TControl* Controls(int index) const { return controls_.at(index); }

  bool CanFocus() const;
  bool Focused() const;
  virtual void SetFocus();
  bool TabStop() const { return tab_stop_; }
  void SetTabStop(bool value);

  TKeyEvent OnKeyDown;
  TKeyEvent OnKeyUp;
  TKeyPressEvent OnKeyPress;
  TNotifyEvent OnEnter;
  TNotifyEvent OnExit;

  // Keyboard entry points; a handler sets key to 0 to consume it.
  virtual void KeyDown(std::uint16_t& key, TShiftState shift);
  virtual void KeyUp(std::uint16_t& key, TShiftState shift);
  virtual void KeyPress(char& key);
  virtual void DoEnter();
  virtual void DoExit();

  // Places the aligned children in the client area (top, bottom, left, right, then client).
  void AlignControls();

 protected:
  TWinControl(TComponent* owner, QWidget* widget);
  void Resize() override;
  void FontChanged() override;
  void ColorChanged() override;

 private:
  friend class TControl;
  void InsertControl(TControl* control);
  void RemoveControl(TControl* control);

  std::vector<TControl*> controls_;
  bool tab_stop_ = false;
  bool aligning_ = false;
};

// A windowed control that paints itself on its Canvas in Paint().
class TCustomControl : public TWinControl {
 public:
  TCanvas& Canvas() { return canvas_; }

  // Renders the control (and its children) into a picture, as the screen would show it.
  QImage Grab();

 protected:
  explicit TCustomControl(TComponent* owner);
  TCustomControl(TComponent* owner, QWidget* widget);
  // Paints the client area; the canvas is ready. Default: fills with Color.
  virtual void Paint();

 private:
  friend class HostBridge;
  TCanvas canvas_;
};

// Turns Qt's key code and modifiers into a virtual-key code (0 when there is none) and shift
// state; turns the typed text into the ANSI character of a key press (0 when there is none).
std::uint16_t VirtualKeyFromQt(int qt_key);
char KeyCharFromQt(int qt_key, const QString& text);

}  // namespace vx
