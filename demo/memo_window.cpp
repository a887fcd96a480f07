#include "demo/memo_window.h"

namespace vx::demo {

TWindowForm::TWindowForm(TComponent* owner, TDataSource* source) : TForm(owner) {
  SetName("WindowForm");
  SetBounds(192, 107, 544, 232);
  SetCaption("WindowForm");

  Panel1 = new TPanel(this);
  Panel1->SetName("Panel1");
  Panel1->SetParent(this);
  Panel1->SetHeight(41);
  Panel1->SetAlign(alBottom);

  Button1 = new TButton(this);
  Button1->SetName("Button1");
  Button1->SetParent(Panel1);
  Button1->SetBounds(200, 8, 75, 25);
  Button1->SetCaption("&OK");
  Button1->SetModalResult(mrOk);

  Button2 = new TButton(this);
  Button2->SetName("Button2");
  Button2->SetParent(Panel1);
  Button2->SetBounds(296, 8, 75, 25);
  Button2->SetCaption("&Cancel");
  Button2->SetModalResult(mrCancel);
  Button2->SetCancel(true);

  VxMemo1 = new TVxMemo(this);
  VxMemo1->SetName("VxMemo1");
  VxMemo1->SetParent(this);
  VxMemo1->SetAlign(alClient);
  VxMemo1->SetCaptionPos(cpDetached);
  VxMemo1->SetDataSource(source);
  VxMemo1->SetDataField("PLOT");
  SetActiveControl(VxMemo1);
}

}  // namespace vx::demo
