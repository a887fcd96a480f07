#include "components/controls/memo_editor.h"

namespace vx {

namespace {
constexpr int kCaptionGap = 4;
}  // namespace

void PlaceCaption(TLabel* label, TVxCaptionPosType position, const TControl* control) {
  if (!label || !control || position == cpDetached) return;
  const int left = control->Left();
  const int top = control->Top();
  const int width = control->Width();
  const int height = control->Height();
  const int label_width = label->Width();
  const int label_height = label->Height();
  const int above = top - label_height - kCaptionGap;
  const int below = top + height + kCaptionGap;
  struct Place {
    int top;
    int left;
    TAlignment alignment;
  };
  Place place{};
  switch (position) {
    case cpLeft:
      place = {top + kCaptionGap, left - kCaptionGap - label_width, taRightJustify};
      break;
    case cpRight:
      place = {top + kCaptionGap, left + width + kCaptionGap, taLeftJustify};
      break;
    case cpTopLeft:
      place = {above, left, taLeftJustify};
      break;
    case cpTopRight:
      place = {above, left + width - label_width, taRightJustify};
      break;
    case cpBottomLeft:
      place = {below, left, taLeftJustify};
      break;
    case cpBottomRight:
      place = {below, left + width - label_width, taRightJustify};
      break;
    case cpTopCenter:
      place = {above, left + (width - label_width) / 2, taCenter};
      break;
    case cpBottomCenter:
      place = {below, left + (width - label_width) / 2, taCenter};
      break;
    case cpDetached:
      return;
  }
  label->SetAlignment(place.alignment);
  label->SetBounds(place.left, place.top, label_width, label_height);
}

TVxMemo::TVxMemo(TComponent* owner) : TDBMemo(owner) {}

TVxMemo::~TVxMemo() {
  if (label_) label_->RemoveFreeNotification(this);
}

std::string TVxMemo::Caption() const { return label_ ? label_->Caption() : std::string(); }

void TVxMemo::SetCaption(const std::string& text) {
  if (text.empty()) {
    if (label_) {
      TLabel* label = label_;
      AttachLabel(nullptr);
      delete label;
    }
    return;
  }
  if (!label_) {
    TLabel* found = nullptr;
    if (Owner()) found = dynamic_cast<TLabel*>(Owner()->FindComponent(LabelName()));
    if (found) {
      AttachLabel(found);
      if (caption_pos_ != cpDetached) label_->SetParent(Parent());
    } else {
      auto* label = new TLabel(Owner());
      label->SetName(LabelName());
      label->SetParent(Parent());
      AttachLabel(label);
      if (caption_pos_ == cpDetached) caption_pos_ = cpLeft;
    }
  }
  label_->SetCaption(text);
  PlaceLabel();
}

void TVxMemo::SetCaptionPos(TVxCaptionPosType value) {
  caption_pos_ = value;
  if (label_ && caption_pos_ != cpDetached) label_->SetParent(Parent());
  PlaceLabel();
}

void TVxMemo::AttachLabel(TLabel* label) {
  if (label_) label_->RemoveFreeNotification(this);
  label_ = label;
  if (label_) label_->FreeNotification(this);
}

void TVxMemo::PlaceLabel() { PlaceCaption(label_, caption_pos_, this); }

void TVxMemo::SetName(const std::string& name) {
  TDBMemo::SetName(name);
  if (label_) {
    label_->SetName(LabelName());
    PlaceLabel();
  }
}

void TVxMemo::SetBounds(int left, int top, int width, int height) {
  TDBMemo::SetBounds(left, top, width, height);
  PlaceLabel();
}

void TVxMemo::SetParent(TWinControl* parent) {
  TDBMemo::SetParent(parent);
  if (label_ && caption_pos_ != cpDetached) label_->SetParent(parent);
  PlaceLabel();
}

void TVxMemo::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component == label_) label_ = nullptr;
  TDBMemo::Notification(component, operation);
}

}  // namespace vx
