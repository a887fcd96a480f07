#include "demo/main_form.h"

#include "components/dataset/table_dataset.h"
#include "platform/dataset/application.h"

namespace vx::demo {

namespace {

const char* const kDbfFields[] = {"title, C, 20, 0",  "year, N, 4, 0",     "color, L, 1, 0",
                                  "runtime, N, 3, 0", "stars, C, 50, 0",   "director, C, 20, 0",
                                  "plot, M, 10, 0",   "premiere, D, 10, 0"};

struct GridColumn {
  const char* field;
  int width;  // 0: the field's display width
};
constexpr GridColumn kColumns[] = {{"TITLE", 193}, {"PLOT", 0},  {"YEAR", 0},     {"COLOR", 0},
                                   {"RUNTIME", 0}, {"STARS", 0}, {"DIRECTOR", 0}, {"PREMIERE", 0}};

}  // namespace

TForm1::TForm1(TComponent* owner) : TForm(owner) {
  SetName("Form1");
  SetBounds(192, 107, 475, 211);
  SetColor(clBtnFace);
  TFont font;
  font.Name = "MS Sans Serif";
  font.SetHeight(-11);
  font.Color = clWindowText;
  SetFont(font);
  SetCaption("Vexel films");

  Label1 = new TLabel(this);
  Label1->SetName("Label1");
  Label1->SetParent(this);
  // Auto-sized, as labels are by default: the stored 241 × 24 is the caption's size in MS Sans
  // Serif, and the face drawn here is wider.
  Label1->SetBounds(128, 16, 241, 24);
  Label1->SetCaption("Double click to edit memos...");
  TFont label_font;
  label_font.Name = "MS Sans Serif";
  label_font.SetHeight(-19);
  label_font.Color = clRed;
  Label1->SetFont(label_font);

  VxDbf1 = new ZOvEzi(this);
  VxDbf1->BeginLoading();
  VxDbf1->SetName("VxDbf1");
  VxDbf1->SetDbfFileName(kMovieTable);
  for (const char* line : kDbfFields) VxDbf1->DbfFields().Add(line);
  VxDbf1->SetHideDeletedRecs(false);
  VxDbf1->SetTableLanguage(tlOem);
  VxDbf1->SetReadOnly(false);
  VxDbf1->SetCreateIndex(ciNotFound);
  VxDbf1->SetExclusive(false);
  VxDbf1->SetActive(true);  // deferred until loading ends

  DataSource1 = new TDataSource(this);
  DataSource1->SetName("DataSource1");
  DataSource1->SetDataSet(VxDbf1);

  VxGrid1 = new TVxGrid(this);
  VxGrid1->SetName("VxGrid1");
  VxGrid1->SetParent(this);
  VxGrid1->SetBounds(8, 48, 449, 120);
  VxGrid1->SetDataSource(DataSource1);
  VxGrid1->SetAutoAppend(false);
  VxGrid1->SetBooleanBox(bbCheckBox);
  VxGrid1->SetDepressDisabled(false);
  VxGrid1->SetFixedColumns(0);
  VxGrid1->OnDblClick = [this](TObject* sender) { VxGrid1DblClick(sender); };
  VxGrid1->Columns().BeginUpdate();
  for (const GridColumn& entry : kColumns) {
    TColumn* column = VxGrid1->Columns().Add();
    column->SetFieldName(entry.field);
    if (entry.width > 0) column->SetWidth(entry.width);
  }
  VxGrid1->Columns().EndUpdate();
  VxGrid1->ReadSavedColumns(TStringList());
  SetActiveControl(VxGrid1);

  // Loading ends: the dataset opens now, as a form's stored Active property does.
  try {
    VxDbf1->EndLoading();
  } catch (const std::exception& e) {
    Application().HandleException(this, e);
  }
}

TForm1::~TForm1() {
  // The grid and the memo window let go of the data source before the dataset closes.
  if (VxDbf1) VxDbf1->SetActive(false);
}

void TForm1::VxGrid1DblClick(TObject* sender) {
  TColumn* column =
      VxGrid1->SelectedIndex() >= 0 && VxGrid1->SelectedIndex() < VxGrid1->Columns().Count()
          ? VxGrid1->Columns().Items(VxGrid1->SelectedIndex())
          : nullptr;
  TField* field = column ? column->Field() : nullptr;
  if (!field || DbaseTypeLetter(field) != 'M' || !memo_window_) return;
  // An edit of the row that was not posted yet is the user's too: Cancel gives back only the
  // memo.
  const TDataSetState before = VxDbf1->State();
  const bool row_edit = before == dsEdit || before == dsInsert;
  const std::string memo_before = field->AsString();
  const int result = memo_window_->ShowModal();
  const TDataSetState state = VxDbf1->State();
  const bool editing = state == dsEdit || state == dsInsert || state == dsSetKey;
  if (result == mrOk) {
    // Stored as every edit is, through the dataset's post: the editor's text reaches the field,
    // the record is written under its lock (a refused lock asks OnRLockFailedOnPost or warns
    // "Lock failed [Post]", and may be retried), the lock is released however the write ends,
    // and a store that does not happen gives the new memo's blocks back. On an empty table the
    // typing started a new record, which OK appends.
    if (editing) VxDbf1->Post();
  } else if (editing && row_edit) {
    if (field->AsString() != memo_before) {
      field->SetAsString(memo_before);
      ShowMessage("Changes discarded");
    }
  } else if (editing) {
    VxDbf1->Cancel();
    ShowMessage("Changes discarded");
  }
}

}  // namespace vx::demo
