#pragma once
// The memo window: a modal form with a captioned memo editor bound to the films' "PLOT" field,
// and OK and Cancel buttons on a panel at the bottom. The main form decides what OK and Cancel
// do with the record.

#include "components/controls/memo_editor.h"
#include "platform/dataset/data_source.h"
#include "platform/widgets/forms.h"
#include "platform/widgets/std_controls.h"

namespace vx::demo {

class TWindowForm : public TForm {
 public:
  // `source` is the main form's data source, which the memo edits.
  TWindowForm(TComponent* owner, TDataSource* source);

  TPanel* Panel1 = nullptr;
  TButton* Button1 = nullptr;
  TButton* Button2 = nullptr;
  TVxMemo* VxMemo1 = nullptr;
};

}  // namespace vx::demo
