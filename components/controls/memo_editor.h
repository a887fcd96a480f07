#pragma once
// TVxMemo, the data-aware memo editor with a caption label that follows it, and the caption
// placement shared by the captioned controls. The label is an ordinary label of the memo's
// owner named after the memo (memo name + "Caption"), so that a form can hold it already.

#include <string>

#include "platform/widgets/db_memo.h"
#include "platform/widgets/std_controls.h"

namespace vx {

enum TVxCaptionPosType {
  cpLeft,
  cpRight,
  cpTopLeft,
  cpTopRight,
  cpBottomLeft,
  cpBottomRight,
  cpDetached,
  cpTopCenter,
  cpBottomCenter
};

// Places `label` beside `control` at `position`, 4 pixels away, and aligns its text towards the
// control. cpDetached leaves the label alone; nothing happens without a label or a control.
void PlaceCaption(TLabel* label, TVxCaptionPosType position, const TControl* control);

class TVxMemo : public TDBMemo {
 public:
  explicit TVxMemo(TComponent* owner);
  ~TVxMemo() override;

  // The label's text; empty without a label. Setting a text creates or adopts the label (and
  // switches a detached position to cpLeft for a label it creates); setting "" frees it.
  std::string Caption() const;
  void SetCaption(const std::string& text);
  TVxCaptionPosType CaptionPos() const { return caption_pos_; }
  void SetCaptionPos(TVxCaptionPosType value);
  TLabel* CaptionLabel() const { return label_; }

  void SetName(const std::string& name) override;
  void SetBounds(int left, int top, int width, int height) override;
  void SetParent(TWinControl* parent) override;

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  std::string LabelName() const { return Name() + "Caption"; }
  void AttachLabel(TLabel* label);
  void PlaceLabel();

  TLabel* label_ = nullptr;
  TVxCaptionPosType caption_pos_ = cpDetached;
};

}  // namespace vx
