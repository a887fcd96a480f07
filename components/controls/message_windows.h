#pragma once
// The small message windows: TVxMsg, a borderless, always-on-top yellow window that sizes itself
// to its text and centres itself over the form that was active when it was made, and
// TVxProgress100, a TVxMsg showing progress as a row of 100 bar characters that shrinks by one
// per step. Both let the GUI process pending messages each time they show, so that they paint
// during long engine work.

#include <string>

#include "platform/widgets/forms.h"
#include "platform/widgets/std_controls.h"

namespace vx {

class TVxMsg : public TForm {
 public:
  explicit TVxMsg(TComponent* owner);
  ~TVxMsg() override;

  // Shows `text` (an empty text keeps the last one). Grows the window when the text needs more
  // room than it has, or when the border changes with the caption (a caption gives the window
  // a dialog border, no caption none), centres it again, and paints the text at once.
  void ShowText(const std::string& text = std::string());
  const std::string& MessageText() const { return text_; }
  TPanel* FramePanel() const { return frame_panel_; }
  TPanel* TextPanel() const { return text_panel_; }
  TForm* CenterForm() const { return center_form_; }

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  void PlaceTextPanel();

  TPanel* frame_panel_ = nullptr;
  TPanel* text_panel_ = nullptr;
  std::string text_;
  TForm* center_form_ = nullptr;
};

class TVxProgress100 : public TVxMsg {
 public:
  static constexpr int kBarLength = 100;
  static constexpr char kBarChar = '|';

  // A shown progress window with a full bar and the caption "Progress".
  explicit TVxProgress100(TComponent* owner);
  TVxProgress100(TComponent* owner, const std::string& caption);

  // Removes one bar character; the step after the bar ran out shows a full bar again.
  void Step();
  const std::string& Bar() const { return bar_; }

 private:
  std::string bar_;
};

// Makes file datasets with ShowProgress show a TVxProgress100 titled "Indexing NAME..." while
// they build an index, one bar step per step of the build.
void InstallIndexProgressWindow();

}  // namespace vx
