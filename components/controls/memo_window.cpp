#include "components/controls/memo_window.h"

namespace vx {

TVxMemoWindow::TVxMemoWindow(TComponent* owner, TDataSource* source, const std::string& field)
    : TForm(owner) {
  SetName("MemoWindow");
  SetBounds(192, 107, 544, 232);

  ButtonPanel = new TPanel(this);
  ButtonPanel->SetName("ButtonPanel");
  ButtonPanel->SetParent(this);
  ButtonPanel->SetHeight(41);
  ButtonPanel->SetAlign(alBottom);

  OkButton = new TButton(this);
  OkButton->SetName("OkButton");
  OkButton->SetParent(ButtonPanel);
  OkButton->SetBounds(200, 8, 75, 25);
  OkButton->SetCaption("&OK");
  OkButton->SetModalResult(mrOk);

  CancelButton = new TButton(this);
  CancelButton->SetName("CancelButton");
  CancelButton->SetParent(ButtonPanel);
  CancelButton->SetBounds(296, 8, 75, 25);
  CancelButton->SetCaption("&Cancel");
  CancelButton->SetModalResult(mrCancel);
  CancelButton->SetCancel(true);

  Memo = new TVxMemo(this);
  Memo->SetName("Memo");
  Memo->SetParent(this);
  Memo->SetAlign(alClient);
  Memo->SetCaptionPos(cpDetached);
  Memo->SetDataSource(source);
  SetDataField(field);
  SetActiveControl(Memo);
}

void TVxMemoWindow::SetDataField(const std::string& field) {
  Memo->SetDataField(field);
  SetCaption(field.empty() ? std::string("Memo") : "Memo - " + field);
}

}  // namespace vx
