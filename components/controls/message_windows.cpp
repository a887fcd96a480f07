#include "components/controls/message_windows.h"

#include <algorithm>
#include <memory>

#include "components/dataset/file_dataset.h"

namespace vx {

namespace {
constexpr int kTextMargin = 30;
// The frame panel's bevels (outer and inner, 2 pixels each) around the text panel.
constexpr int kFrameInset = 4;
}  // namespace

TVxMsg::TVxMsg(TComponent* owner) : TForm(owner) {
  SetBorderStyle(bsNone);
  SetBorderIcons({});
  SetFormStyle(fsStayOnTop);
  SetColor(clYellow);
  SetBounds(Left(), Top(), 0, 0);

  frame_panel_ = new TPanel(this);
  frame_panel_->SetParent(this);
  frame_panel_->SetAlign(alClient);
  frame_panel_->SetBevelWidth(2);
  frame_panel_->SetBevelInner(bvLowered);
  frame_panel_->SetParentColor(true);

  text_panel_ = new TPanel(this);
  text_panel_->SetParent(this);
  text_panel_->SetParentFont(true);
  text_panel_->SetParentColor(true);
  text_panel_->SetBorderStyle(bsSingle);
  text_panel_->SetBevelInner(bvNone);
  text_panel_->SetBevelOuter(bvNone);
  text_panel_->SetVisible(true);

  center_form_ = Screen().ActiveForm();
  if (center_form_) center_form_->FreeNotification(this);
  OnResize = [this](TObject*) { PlaceTextPanel(); };
}

TVxMsg::~TVxMsg() {
  if (center_form_) center_form_->RemoveFreeNotification(this);
  delete text_panel_;
  delete frame_panel_;
}

void TVxMsg::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component == center_form_) center_form_ = nullptr;
  TForm::Notification(component, operation);
}

void TVxMsg::PlaceTextPanel() {
  if (!text_panel_) return;
  const int inset = frame_panel_ && frame_panel_->Visible() ? kFrameInset : 0;
  text_panel_->SetBounds(inset, inset, std::max(ClientWidth() - 2 * inset, 0),
                         std::max(ClientHeight() - 2 * inset, 0));
}

void TVxMsg::ShowText(const std::string& text) {
  if (!text.empty()) text_ = text;
  TCanvas measure;
  measure.Font = Font();
  int needed_width = measure.TextWidth(text_) + kTextMargin;
  int needed_height = measure.TextHeight(text_) + kTextMargin;
  const bool dialog = !Caption().empty();
  const TBorderStyle border = dialog ? bsDialog : bsNone;
  const bool border_changed = border != BorderStyle();
  if (border_changed) SetBorderStyle(border);
  if (dialog) {
    needed_height += kCaptionHeight;
    TCanvas caption_measure;
    caption_measure.Font.Name = "System";
    needed_width = std::max(needed_width, caption_measure.TextWidth(Caption()));
  }
  frame_panel_->SetVisible(!dialog);
  if (Width() < needed_width || Height() < needed_height || border_changed) {
    SetBounds(Left(), Top(), std::max(Width(), needed_width), std::max(Height(), needed_height));
    CenterOver(center_form_);
    PlaceTextPanel();
    Show();
  }
  text_panel_->SetCaption(text_);
  text_panel_->Repaint();
  ProcessMessages();
}

TVxProgress100::TVxProgress100(TComponent* owner) : TVxProgress100(owner, "Progress") {}

TVxProgress100::TVxProgress100(TComponent* owner, const std::string& caption) : TVxMsg(owner) {
  SetCaption(caption);
  bar_.assign(kBarLength, kBarChar);
  ShowText(bar_);
}

void TVxProgress100::Step() {
  if (bar_.empty())
    bar_.assign(kBarLength, kBarChar);
  else
    bar_.erase(0, 1);
  ShowText(bar_);
}

namespace {

class ProgressWindow : public TIndexProgress {
 public:
  explicit ProgressWindow(const std::string& title) : window_(nullptr, title) {}
  void Step() override { window_.Step(); }

 private:
  TVxProgress100 window_;
};

}  // namespace

void InstallIndexProgressWindow() {
  IndexProgressMaker = [](const std::string& title) -> std::unique_ptr<TIndexProgress> {
    return std::make_unique<ProgressWindow>(title);
  };
}

}  // namespace vx
