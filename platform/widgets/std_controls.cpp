#include "platform/widgets/std_controls.h"

#include <QPushButton>

#include "platform/widgets/forms.h"
#include "platform/widgets/host_widget.h"

namespace vx {

// --- TLabel ---------------------------------------------------------------------------------

TLabel::TLabel(TComponent* owner) : TCustomControl(owner) {
  SetParentColor(true);
  SetBounds(0, 0, 65, 13);
}

void TLabel::SetAlignment(TAlignment value) {
  alignment_ = value;
  Invalidate();
}

void TLabel::SetAutoSize(bool value) {
  auto_size_ = value;
  AdjustSize();
}

void TLabel::SetTransparent(bool value) {
  transparent_ = value;
  Invalidate();
}

void TLabel::SetLayout(TTextLayout value) {
  layout_ = value;
  Invalidate();
}

void TLabel::TextChanged() {
  AdjustSize();
  TCustomControl::TextChanged();
}

void TLabel::FontChanged() {
  AdjustSize();
  TCustomControl::FontChanged();
}

// An auto-sized label keeps its left edge for left-justified text, its right edge for
// right-justified text and its centre for centred text.
void TLabel::AdjustSize() {
  if (!auto_size_) return;
  TCanvas measure;
  measure.Font = Font();
  const int width = measure.TextWidth(Caption());
  const int height = measure.TextHeight(Caption());
  int left = Left();
  if (alignment_ == taRightJustify) left += Width() - width;
  if (alignment_ == taCenter) left += (Width() - width) / 2;
  SetBounds(left, Top(), width, height);
}

void TLabel::Paint() {
  TCanvas& canvas = Canvas();
  if (!transparent_) {
    canvas.Brush.Color = Color();
    canvas.Brush.Style = bsSolid;
    canvas.FillRect(ClientRect());
  }
  canvas.Font = Font();
  if (!Enabled()) canvas.Font.Color = clGrayText;
  int flags = alignment_ == taRightJustify ? tfRight : alignment_ == taCenter ? tfCenter : tfLeft;
  if (layout_ == tlCenter) flags |= tfVCenter;
  canvas.TextRectAligned(ClientRect(), Caption(), flags);
}

// --- TPanel ---------------------------------------------------------------------------------

TPanel::TPanel(TComponent* owner) : TCustomControl(owner) {
  SetColor(clBtnFace);
  SetParentColor(true);
  SetBounds(0, 0, 185, 41);
}

void TPanel::SetBevelInner(TBevelCut value) {
  bevel_inner_ = value;
  Invalidate();
}

void TPanel::SetBevelOuter(TBevelCut value) {
  bevel_outer_ = value;
  Invalidate();
}

void TPanel::SetBevelWidth(int value) {
  bevel_width_ = std::max(value, 1);
  Invalidate();
}

void TPanel::SetBorderWidth(int value) {
  border_width_ = std::max(value, 0);
  Invalidate();
}

void TPanel::SetBorderStyle(TBorderStyle value) {
  border_style_ = value;
  Invalidate();
}

void TPanel::SetAlignment(TAlignment value) {
  alignment_ = value;
  Invalidate();
}

void TPanel::Paint() {
  TCanvas& canvas = Canvas();
  TRect rect = ClientRect();
  canvas.Brush.Color = Color();
  canvas.Brush.Style = bsSolid;
  canvas.FillRect(rect);
  if (border_style_ == bsSingle) canvas.Frame3D(rect, cl3DDkShadow, cl3DDkShadow, 1);
  if (bevel_outer_ == bvRaised || bevel_outer_ == bvLowered)
    DrawBevel(canvas, rect, bevel_outer_ == bvRaised, bevel_width_);
  InflateRect(rect, -border_width_, -border_width_);
  if (bevel_inner_ == bvRaised || bevel_inner_ == bvLowered)
    DrawBevel(canvas, rect, bevel_inner_ == bvRaised, bevel_width_);
  if (!Caption().empty()) {
    canvas.Font = Font();
    const int flags = tfVCenter | (alignment_ == taLeftJustify    ? tfLeft
                                   : alignment_ == taRightJustify ? tfRight
                                                                  : tfCenter);
    canvas.TextRectAligned(rect, Caption(), flags);
  }
}

// --- TButton --------------------------------------------------------------------------------

namespace {

// "&OK" shows as OK with O as accelerator: Qt uses the same marker.
QString ButtonText(const std::string& caption) { return AnsiToQString(caption); }

}  // namespace

TButton::TButton(TComponent* owner) : TWinControl(owner, new HostWidget<QPushButton>(this)) {
  SetTabStop(true);
  SetColor(clBtnFace);
  SetBounds(0, 0, 75, 25);
  QObject::connect(Button(), &QPushButton::clicked, Button(),
                   [this] { Guard([this] { Click(); }); });
}

QPushButton* TButton::Button() const { return static_cast<QPushButton*>(Widget()); }

void TButton::TextChanged() {
  if (Button()) Button()->setText(ButtonText(Caption()));
}

void TButton::Click() {
  if (TForm* form = ParentForm(); form && modal_result_ != mrNone)
    form->SetModalResult(modal_result_);
  TWinControl::Click();
}

}  // namespace vx
