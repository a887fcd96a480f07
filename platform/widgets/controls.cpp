#include "platform/widgets/controls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <algorithm>

#include "platform/dataset/application.h"
#include "platform/widgets/forms.h"
#include "platform/widgets/host_widget.h"

namespace vx {

namespace {

TShiftState ShiftFromQt(Qt::KeyboardModifiers modifiers, Qt::MouseButtons buttons = {}) {
  TShiftState shift;
  if (modifiers & Qt::ShiftModifier) shift.Include(ssShift);
  if (modifiers & Qt::AltModifier) shift.Include(ssAlt);
  if (modifiers & Qt::ControlModifier) shift.Include(ssCtrl);
  if (buttons & Qt::LeftButton) shift.Include(ssLeft);
  if (buttons & Qt::RightButton) shift.Include(ssRight);
  if (buttons & Qt::MiddleButton) shift.Include(ssMiddle);
  return shift;
}

TMouseButton ButtonFromQt(Qt::MouseButton button) {
  switch (button) {
    case Qt::RightButton:
      return mbRight;
    case Qt::MiddleButton:
      return mbMiddle;
    default:
      return mbLeft;
  }
}

}  // namespace

std::uint16_t VirtualKeyFromQt(int qt_key) {
  switch (qt_key) {
    case Qt::Key_Backspace:
      return VK_BACK;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return VK_TAB;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return VK_RETURN;
    case Qt::Key_Shift:
      return VK_SHIFT;
    case Qt::Key_Control:
      return VK_CONTROL;
    case Qt::Key_Alt:
      return VK_MENU;
    case Qt::Key_Escape:
      return VK_ESCAPE;
    case Qt::Key_Space:
      return VK_SPACE;
    case Qt::Key_PageUp:
      return VK_PRIOR;
    case Qt::Key_PageDown:
      return VK_NEXT;
    case Qt::Key_End:
      return VK_END;
    case Qt::Key_Home:
      return VK_HOME;
    case Qt::Key_Left:
      return VK_LEFT;
    case Qt::Key_Up:
      return VK_UP;
    case Qt::Key_Right:
      return VK_RIGHT;
    case Qt::Key_Down:
      return VK_DOWN;
    case Qt::Key_Insert:
      return VK_INSERT;
    case Qt::Key_Delete:
      return VK_DELETE;
    default:
      break;
  }
  if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F24) return 0x70 + (qt_key - Qt::Key_F1);
  if ((qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) || (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z))
    return static_cast<std::uint16_t>(qt_key);
  return 0;
}

char KeyCharFromQt(int qt_key, const QString& text) {
  switch (qt_key) {
    case Qt::Key_Backspace:
      return '\b';
    case Qt::Key_Tab:
      return '\t';
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return '\r';
    case Qt::Key_Escape:
      return '\x1B';
    default:
      break;
  }
  if (text.isEmpty()) return 0;
  const std::string ansi = QStringToAnsi(text);
  return ansi.size() == 1 ? ansi[0] : 0;
}

// --- HostBridge -----------------------------------------------------------------------------

void HostBridge::Paint(TControl* control, QWidget* widget, QPaintEvent* event) {
  auto* custom = dynamic_cast<TCustomControl*>(control);
  QPainter painter(widget);
  if (!custom) {
    painter.fillRect(widget->rect(), ToQColor(control->Color()));
    return;
  }
  TCanvas& canvas = custom->Canvas();
  canvas.Begin(&painter);
  canvas.Font = control->Font();
  canvas.Brush.Color = control->Color();
  canvas.Brush.Style = bsSolid;
  custom->Guard([custom] { custom->Paint(); });
  canvas.End();
}

bool HostBridge::KeyPress(TControl* control, QKeyEvent* event) {
  auto* win = dynamic_cast<TWinControl*>(control);
  if (!win) return false;
  std::uint16_t key = VirtualKeyFromQt(event->key());
  TShiftState shift = ShiftFromQt(event->modifiers());
  bool consumed = false;
  if (key != 0) {
    win->Guard([&] { win->KeyDown(key, shift); });
    if (key == 0) consumed = true;
  }
  if (!consumed && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
    char ch = KeyCharFromQt(event->key(), event->text());
    if (ch != 0) {
      win->Guard([&] { win->KeyPress(ch); });
      if (ch == 0) consumed = true;
    }
  }
  if (consumed) event->accept();
  return consumed;
}

bool HostBridge::KeyRelease(TControl* control, QKeyEvent* event) {
  auto* win = dynamic_cast<TWinControl*>(control);
  if (!win) return false;
  std::uint16_t key = VirtualKeyFromQt(event->key());
  if (key == 0) return false;
  win->Guard([&] { win->KeyUp(key, ShiftFromQt(event->modifiers())); });
  return key == 0;
}

void HostBridge::MousePress(TControl* control, QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  control->Guard([&] {
    control->MouseDown(ButtonFromQt(event->button()),
                       ShiftFromQt(event->modifiers(), event->buttons()), pos.x(), pos.y());
  });
}

void HostBridge::MouseRelease(TControl* control, QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  control->Guard([&] {
    control->MouseUp(ButtonFromQt(event->button()),
                     ShiftFromQt(event->modifiers(), event->buttons()), pos.x(), pos.y());
    // Buttons report their clicks themselves (also from the keyboard).
    if (event->button() == Qt::LeftButton && !qobject_cast<QAbstractButton*>(control->Widget()) &&
        control->ClientRect().Contains(pos.x(), pos.y()))
      control->Click();
  });
}

void HostBridge::MouseDouble(TControl* control, QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  control->Guard([&] {
    TShiftState shift = ShiftFromQt(event->modifiers(), event->buttons());
    shift.Include(ssDouble);
    control->MouseDown(ButtonFromQt(event->button()), shift, pos.x(), pos.y());
    if (event->button() == Qt::LeftButton) control->DblClick();
  });
}

void HostBridge::MouseMove(TControl* control, QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  control->Guard([&] {
    control->MouseMove(ShiftFromQt(event->modifiers(), event->buttons()), pos.x(), pos.y());
  });
}

void HostBridge::Resized(TControl* control, int width, int height) {
  // Top-level windows are resized by the window system; take the new size.
  if (dynamic_cast<TForm*>(control) && !control->Parent()) {
    auto* form = static_cast<TForm*>(control);
    form->ClientResized(width, height);
  }
}

void HostBridge::FocusIn(TControl* control) {
  if (auto* win = dynamic_cast<TWinControl*>(control)) win->Guard([win] { win->DoEnter(); });
}

void HostBridge::FocusOut(TControl* control) {
  if (auto* win = dynamic_cast<TWinControl*>(control)) win->Guard([win] { win->DoExit(); });
}

bool HostBridge::CloseRequested(TControl* control) {
  auto* form = dynamic_cast<TForm*>(control);
  if (!form) return true;
  bool accept = true;
  form->Guard([&] { accept = form->WindowCloseRequested(); });
  return accept;
}

void HostBridge::Activated(TControl* control) {
  if (auto* form = dynamic_cast<TForm*>(control)) Screen().SetActiveForm(form);
}

// --- TControl -------------------------------------------------------------------------------

TControl::TControl(TComponent* owner, QWidget* widget) : TComponent(owner) {
  widget_ = widget ? widget : new HostWidget<QWidget>(this);
  widget_->setAutoFillBackground(false);
  widget_->hide();
}

TControl::~TControl() {
  if (auto* link = dynamic_cast<ControlHostLink*>(widget_.data())) link->control = nullptr;
  if (parent_) parent_->RemoveControl(this);
  delete widget_.data();
}

void TControl::Guard(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    Application().HandleException(this, e);
  }
}

void TControl::SetParent(TWinControl* parent) {
  if (parent == parent_) return;
  if (parent_) parent_->RemoveControl(this);
  parent_ = parent;
  if (parent_) {
    parent_->InsertControl(this);
    if (widget_) widget_->setParent(parent_->Widget());
    if (parent_font_) {
      font_ = parent_->Font();
      FontChanged();
    }
    if (parent_color_) {
      color_ = parent_->Color();
      ColorChanged();
    }
  } else if (widget_) {
    widget_->setParent(nullptr);
  }
  UpdateWidgetGeometry();
  UpdateWidgetVisibility();
  if (parent_ && align_ != alNone) parent_->AlignControls();
}

void TControl::SetBounds(int left, int top, int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  const bool resized = width != width_ || height != height_;
  const bool moved = left != left_ || top != top_;
  if (!resized && !moved) return;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  UpdateWidgetGeometry();
  if (resized) Resize();
  if (parent_ && align_ != alNone) parent_->AlignControls();
}

void TControl::UpdateWidgetGeometry() {
  if (!widget_) return;
  widget_->setGeometry(left_, top_, width_, height_);
}

void TControl::UpdateWidgetVisibility() {
  if (!widget_ || !parent_) return;
  widget_->setVisible(visible_);
}

void TControl::SetAlign(TAlign value) {
  if (value == align_) return;
  align_ = value;
  if (parent_) parent_->AlignControls();
}

void TControl::SetVisible(bool value) {
  if (value == visible_) return;
  visible_ = value;
  UpdateWidgetVisibility();
  VisibleChanged();
  if (parent_ && align_ != alNone) parent_->AlignControls();
}

void TControl::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  if (widget_) widget_->setEnabled(value);
  EnabledChanged();
}

void TControl::SetText(const std::string& value) {
  if (value == text_) return;
  text_ = value;
  TextChanged();
}

void TControl::SetFont(const TFont& font) {
  font_ = font;
  parent_font_ = false;
  FontChanged();
}

void TControl::SetParentFont(bool value) {
  parent_font_ = value;
  if (value && parent_) {
    font_ = parent_->Font();
    FontChanged();
  }
}

void TControl::SetColor(TColor value) {
  parent_color_ = false;
  if (value == color_) return;
  color_ = value;
  ColorChanged();
}

void TControl::SetParentColor(bool value) {
  parent_color_ = value;
  if (value && parent_) {
    color_ = parent_->Color();
    ColorChanged();
  }
}

void TControl::Invalidate() {
  if (widget_) widget_->update();
}

void TControl::Repaint() {
  if (widget_) widget_->repaint();
}

void TControl::Update() {
  if (widget_) widget_->update();
}

TPoint TControl::ClientToScreen(TPoint point) const {
  if (!widget_) return point;
  const QPoint p = widget_->mapToGlobal(QPoint(point.X, point.Y));
  return {p.x(), p.y()};
}

TPoint TControl::ScreenToClient(TPoint point) const {
  if (!widget_) return point;
  const QPoint p = widget_->mapFromGlobal(QPoint(point.X, point.Y));
  return {p.x(), p.y()};
}

TForm* TControl::ParentForm() const {
  const TControl* control = this;
  while (control->parent_) control = control->parent_;
  return dynamic_cast<TForm*>(const_cast<TControl*>(control));
}

void TControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
}

void TControl::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
}

void TControl::MouseMove(TShiftState shift, int x, int y) {
  if (OnMouseMove) OnMouseMove(this, shift, x, y);
}

void TControl::Click() {
  if (OnClick) OnClick(this);
}

void TControl::DblClick() {
  if (OnDblClick) OnDblClick(this);
}

void TControl::Resize() {
  if (OnResize) OnResize(this);
}

void TControl::FontChanged() {
  if (widget_) widget_->setFont(font_.ToQFont());
  Invalidate();
}

void TControl::ColorChanged() { Invalidate(); }
void TControl::TextChanged() { Invalidate(); }
void TControl::EnabledChanged() { Invalidate(); }
void TControl::VisibleChanged() {}

void TControl::ParentFontChanged() {
  if (parent_font_ && parent_) {
    font_ = parent_->Font();
    FontChanged();
  }
}

void TControl::ParentColorChanged() {
  if (parent_color_ && parent_) {
    color_ = parent_->Color();
    ColorChanged();
  }
}

// --- TWinControl ----------------------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner, QWidget* widget) : TControl(owner, widget) {}

TWinControl::~TWinControl() {
  if (auto* link = dynamic_cast<ControlHostLink*>(Widget())) link->control = nullptr;
  // The controls placed on this one go with it, the last placed first.
  while (!controls_.empty()) delete controls_.back();
}

void TWinControl::InsertControl(TControl* control) { controls_.push_back(control); }

void TWinControl::RemoveControl(TControl* control) {
  controls_.erase(std::remove(controls_.begin(), controls_.end(), control), controls_.end());
}

bool TWinControl::CanFocus() const {
  for (const TControl* control = this; control; control = control->Parent()) {
    if (!control->Visible() || !control->Enabled()) return false;
  }
  return true;
}

bool TWinControl::Focused() const { return Widget() && Widget()->hasFocus(); }

void TWinControl::SetFocus() {
  if (Widget()) Widget()->setFocus(Qt::OtherFocusReason);
}

void TWinControl::SetTabStop(bool value) {
  tab_stop_ = value;
  if (Widget()) Widget()->setFocusPolicy(value ? Qt::StrongFocus : Qt::NoFocus);
}

void TWinControl::KeyDown(std::uint16_t& key, TShiftState shift) {
  if (OnKeyDown) OnKeyDown(this, key, shift);
}

void TWinControl::KeyUp(std::uint16_t& key, TShiftState shift) {
  if (OnKeyUp) OnKeyUp(this, key, shift);
}

void TWinControl::KeyPress(char& key) {
  if (OnKeyPress) OnKeyPress(this, key);
}

void TWinControl::DoEnter() {
  if (OnEnter) OnEnter(this);
}

void TWinControl::DoExit() {
  if (OnExit) OnExit(this);
}

void TWinControl::Resize() {
  AlignControls();
  TControl::Resize();
}

void TWinControl::FontChanged() {
  TControl::FontChanged();
  for (TControl* control : controls_) control->ParentFontChanged();
}

void TWinControl::ColorChanged() {
  TControl::ColorChanged();
  for (TControl* control : controls_) control->ParentColorChanged();
}

void TWinControl::AlignControls() {
  if (aligning_) return;
  aligning_ = true;
  TRect area = ClientRect();
  for (TAlign pass : {alTop, alBottom, alLeft, alRight, alClient}) {
    for (TControl* control : controls_) {
      if (control->Align() != pass || !control->Visible()) continue;
      const int w = control->Width();
      const int h = control->Height();
      switch (pass) {
        case alTop:
          control->SetBounds(area.Left, area.Top, area.Width(), h);
          area.Top += h;
          break;
        case alBottom:
          control->SetBounds(area.Left, area.Bottom - h, area.Width(), h);
          area.Bottom -= h;
          break;
        case alLeft:
          control->SetBounds(area.Left, area.Top, w, area.Height());
          area.Left += w;
          break;
        case alRight:
          control->SetBounds(area.Right - w, area.Top, w, area.Height());
          area.Right -= w;
          break;
        default:
          control->SetBounds(area.Left, area.Top, area.Width(), area.Height());
          break;
      }
    }
  }
  aligning_ = false;
}

// --- TCustomControl -------------------------------------------------------------------------

TCustomControl::TCustomControl(TComponent* owner) : TWinControl(owner, nullptr) {}
TCustomControl::TCustomControl(TComponent* owner, QWidget* widget) : TWinControl(owner, widget) {}

void TCustomControl::Paint() {
  canvas_.Brush.Color = Color();
  canvas_.Brush.Style = bsSolid;
  canvas_.FillRect(ClientRect());
}

QImage TCustomControl::Grab() {
  if (!Widget()) return QImage();
  return Widget()->grab().toImage();
}

}  // namespace vx
