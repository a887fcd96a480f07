#pragma once
// The demo's main form: the film table "movie.DBF" in a grid, created from the field list when
// it is missing; a double click on the memo column opens the memo window over the current
// record and stores the edited plot under a record lock, or discards it.

#include "components/controls/data_grid.h"
#include "components/controls/memo_window.h"
#include "components/dataset/file_dataset.h"
#include "platform/dataset/data_source.h"
#include "platform/widgets/forms.h"
#include "platform/widgets/std_controls.h"

namespace vx::demo {

// The film table's name and fields.
inline constexpr char kMovieTable[] = "movie.DBF";

class TForm1 : public TForm {
 public:
  // Builds the form and its components and loads them: the dataset opens (creating the table
  // in the current folder when it is missing).
  explicit TForm1(TComponent* owner);
  ~TForm1() override;

  // The memo window the double click opens (made by the program at start-up).
  void SetMemoWindow(TVxMemoWindow* window) { memo_window_ = window; }

  void VxGrid1DblClick(TObject* sender);

  TLabel* Label1 = nullptr;
  TVxGrid* VxGrid1 = nullptr;
  ZOvEzi* VxDbf1 = nullptr;
  TDataSource* DataSource1 = nullptr;

 private:
  TVxMemoWindow* memo_window_ = nullptr;
};

}  // namespace vx::demo
