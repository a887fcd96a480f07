#pragma once
// The QWidget side of a control: a Qt widget class (QWidget, QPushButton, QPlainTextEdit, ...)
// wrapped so that its events reach the owning TControl's virtual handlers. Only the widgets
// layer includes this header; components see TControl and its descendants.

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWidget>
#include <type_traits>

#include "platform/widgets/controls.h"

namespace vx {

// The link from a host widget back to its control; cleared when the control goes away so that
// events arriving during its destruction are dropped.
struct ControlHostLink {
  TControl* control = nullptr;
  virtual ~ControlHostLink() = default;
};

// Calls the protected handlers of controls on behalf of the host widgets.
class HostBridge {
 public:
  static void Paint(TControl* control, QWidget* widget, QPaintEvent* event);
  // Answers true when the control consumed the key (the native widget must not see it).
  static bool KeyPress(TControl* control, QKeyEvent* event);
  static bool KeyRelease(TControl* control, QKeyEvent* event);
  static void MousePress(TControl* control, QMouseEvent* event);
  static void MouseRelease(TControl* control, QMouseEvent* event);
  static void MouseDouble(TControl* control, QMouseEvent* event);
  static void MouseMove(TControl* control, QMouseEvent* event);
  static void Resized(TControl* control, int width, int height);
  static void FocusIn(TControl* control);
  static void FocusOut(TControl* control);
  // A top-level window was closed by the window system; answers whether to accept.
  static bool CloseRequested(TControl* control);
  static void Activated(TControl* control);
};

// `Base` is the Qt widget class. Plain QWidget hosts are painted by the control; native widgets
// paint themselves and get the keys the control did not consume.
template <class Base>
class HostWidget : public Base, public ControlHostLink {
 public:
  template <class... Args>
  explicit HostWidget(TControl* owner_control, Args&&... args) : Base(std::forward<Args>(args)...) {
    control = owner_control;
  }

 protected:
  static constexpr bool kPainted = std::is_same_v<Base, QWidget>;

  void paintEvent(QPaintEvent* event) override {
    if constexpr (kPainted) {
      if (control) HostBridge::Paint(control, this, event);
    } else {
      Base::paintEvent(event);
    }
  }
  void keyPressEvent(QKeyEvent* event) override {
    if (!tab_forwarded_ && control && HostBridge::KeyPress(control, event)) return;
    Base::keyPressEvent(event);
  }
  void keyReleaseEvent(QKeyEvent* event) override {
    if (control && HostBridge::KeyRelease(control, event)) return;
    Base::keyReleaseEvent(event);
  }
  void mousePressEvent(QMouseEvent* event) override {
    Base::mousePressEvent(event);
    if (control) {
      HostBridge::MousePress(control, event);
      event->accept();
    }
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    Base::mouseReleaseEvent(event);
    if (control) {
      HostBridge::MouseRelease(control, event);
      event->accept();
    }
  }
  void mouseDoubleClickEvent(QMouseEvent* event) override {
    Base::mouseDoubleClickEvent(event);
    if (control) {
      HostBridge::MouseDouble(control, event);
      event->accept();
    }
  }
  void mouseMoveEvent(QMouseEvent* event) override {
    Base::mouseMoveEvent(event);
    if (control) {
      HostBridge::MouseMove(control, event);
      event->accept();
    }
  }
  void resizeEvent(QResizeEvent* event) override {
    Base::resizeEvent(event);
    if (control) HostBridge::Resized(control, this->width(), this->height());
  }
  void focusInEvent(QFocusEvent* event) override {
    Base::focusInEvent(event);
    if (control) HostBridge::FocusIn(control);
  }
  void focusOutEvent(QFocusEvent* event) override {
    Base::focusOutEvent(event);
    if (control) HostBridge::FocusOut(control);
  }
  void closeEvent(QCloseEvent* event) override {
    if (control && !HostBridge::CloseRequested(control)) {
      event->ignore();
      return;
    }
    Base::closeEvent(event);
  }
  bool event(QEvent* event) override {
    if (event->type() == QEvent::WindowActivate && control) HostBridge::Activated(control);
    // Tab must reach the control's key handler before Qt moves the focus with it (grids move
    // between cells with it); the handler runs once whichever way Qt goes on.
    if (event->type() == QEvent::KeyPress && control) {
      auto* key = static_cast<QKeyEvent*>(event);
      if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
        if (HostBridge::KeyPress(control, key)) return true;
        tab_forwarded_ = true;
        const bool result = Base::event(event);
        tab_forwarded_ = false;
        return result;
      }
    }
    return Base::event(event);
  }

 private:
  bool tab_forwarded_ = false;
};

}  // namespace vx
