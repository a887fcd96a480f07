#pragma once
// The standard controls the forms are built from: TLabel (a caption that sizes itself to its
// text), TPanel (a bevelled container with an optional caption) and TButton (a push button that
// can close its modal form with a result). Forms are in forms.h.

#include <string>

#include "platform/widgets/controls.h"

class QPushButton;

namespace vx {

enum TTextLayout { tlTop, tlCenter, tlBottom };

class TLabel : public TCustomControl {
 public:
  explicit TLabel(TComponent* owner);

  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment value);
  // Fits the label's size to its caption (default true).
  bool AutoSize() const { return auto_size_; }
  void SetAutoSize(bool value);
  // Draws only the text, over the parent's background.
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool value);
  TTextLayout Layout() const { return layout_; }
  void SetLayout(TTextLayout value);

 protected:
  void Paint() override;
  void TextChanged() override;
  void FontChanged() override;

 private:
  void AdjustSize();

  TAlignment alignment_ = taLeftJustify;
  bool auto_size_ = true;
  bool transparent_ = false;
  TTextLayout layout_ = tlTop;
};

enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };

class TPanel : public TCustomControl {
 public:
  explicit TPanel(TComponent* owner);

  TBevelCut BevelInner() const { return bevel_inner_; }
  void SetBevelInner(TBevelCut value);
  TBevelCut BevelOuter() const { return bevel_outer_; }
  void SetBevelOuter(TBevelCut value);
  int BevelWidth() const { return bevel_width_; }
  void SetBevelWidth(int value);
  int BorderWidth() const { return border_width_; }
  void SetBorderWidth(int value);
  TBorderStyle BorderStyle() const { return border_style_; }
  void SetBorderStyle(TBorderStyle value);
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment value);

 protected:
  void Paint() override;

 private:
  TBevelCut bevel_inner_ = bvNone;
  TBevelCut bevel_outer_ = bvRaised;
  int bevel_width_ = 1;
  int border_width_ = 0;
  TBorderStyle border_style_ = bsNone;
  TAlignment alignment_ = taCenter;
};

// A push button. Clicking it fires OnClick and, when ModalResult is not mrNone, sets the form's
// modal result (which ends a modal form). "&" in the caption marks the accelerator.
class TButton : public TWinControl {
 public:
  explicit TButton(TComponent* owner);

  int ModalResult() const { return modal_result_; }
  void SetModalResult(int value) { modal_result_ = value; }
  // Pressed by Enter / Escape anywhere on the form.
  bool Default() const { return default_; }
  void SetDefault(bool value) { default_ = value; }
  bool Cancel() const { return cancel_; }
  void SetCancel(bool value) { cancel_ = value; }

  void Click() override;

 protected:
  void TextChanged() override;

 private:
  QPushButton* Button() const;
  int modal_result_ = mrNone;
  bool default_ = false;
  bool cancel_ = false;
};

}  // namespace vx
