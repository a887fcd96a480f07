#pragma once
// The memo window: a modal form with a captioned memo editor bound to one memo field of a data
// source, and OK and Cancel buttons on a panel at the bottom. Whoever opens it decides what OK
// and Cancel do with the record; the window's caption names the field.

#include <string>

#include "components/controls/memo_editor.h"
#include "platform/dataset/data_source.h"
#include "platform/widgets/forms.h"
#include "platform/widgets/std_controls.h"

namespace vx {

class TVxMemoWindow : public TForm {
 public:
  // `source` is the data source whose record the memo edits; `field` the memo field shown.
  TVxMemoWindow(TComponent* owner, TDataSource* source, const std::string& field);

  // Shows another memo field of the same source; the caption follows.
  void SetDataField(const std::string& field);

  TPanel* ButtonPanel = nullptr;
  TButton* OkButton = nullptr;
  TButton* CancelButton = nullptr;
  TVxMemo* Memo = nullptr;
};

}  // namespace vx
