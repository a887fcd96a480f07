#include "components/controls/data_grid.h"

#include <QPaintDevice>
#include <QPainter>
#include <algorithm>
#include <memory>

#include "components/dataset/table_dataset.h"
#include "platform/dataset/application.h"
#include "platform/dataset/sys_utils.h"

namespace vx {

namespace {

// The off-screen picture shared by all grids, and how many grids use it.
std::unique_ptr<TBitmap> shared_bitmap;
int grid_count = 0;

// "savedColumns" reading stops adding columns beyond this index: a damaged list must not make
// the grid build millions of columns.
constexpr int kMaxSavedColumns = 1024;

bool IsLogical(const TField* field) { return dynamic_cast<const TBooleanField*>(field) != nullptr; }

// Whether the device shows `color` as itself rather than as a dither of other colours: every
// colour on true-colour devices, the 5-6-5 grid on high-colour ones, and on palette devices
// only colours made of the levels 0, 128, 192 and 255.
bool PureDeviceColor(const QPaintDevice* device, TColor color) {
  const int depth = device != nullptr ? device->depth() : 32;
  if (depth >= 24) return true;
  const TColor rgb = ColorToRGB(color);
  const int r = rgb & 0xFF;
  const int g = (rgb >> 8) & 0xFF;
  const int b = (rgb >> 16) & 0xFF;
  if (depth >= 15) {
    const auto exact = [](int value, int bits) {
      const int levels = (1 << bits) - 1;
      const int level = (value * levels + 127) / 255;
      return (level * 255 + levels / 2) / levels == value;
    };
    return exact(r, 5) && exact(g, depth == 16 ? 6 : 5) && exact(b, 5);
  }
  const auto standard = [](int value) {
    return value == 0 || value == 0x80 || value == 0xC0 || value == 0xFF;
  };
  return standard(r) && standard(g) && standard(b);
}

bool ParseAlignment(const std::string& text, TAlignment& alignment) {
  const std::string name = Trim(text);
  if (SameText(name, "taLeftJustify")) {
    alignment = taLeftJustify;
  } else if (SameText(name, "taRightJustify")) {
    alignment = taRightJustify;
  } else if (SameText(name, "taCenter")) {
    alignment = taCenter;
  } else {
    return false;
  }
  return true;
}

// "name, colour, n" with n = size + 256 (bold) + 512 (italic) + 1024 (underline) + 2048
// (strike-out). The name may hold commas of its own: the last two commas separate the parts.
bool ParseSavedFont(const std::string& text, TFont& font) {
  const std::size_t last = text.rfind(',');
  if (last == std::string::npos || last == 0) return false;
  const std::size_t middle = text.rfind(',', last - 1);
  if (middle == std::string::npos) return false;
  TColor color = clBlack;
  int code = 0;
  if (!IdentToColor(Trim(text.substr(middle + 1, last - middle - 1)), color) ||
      !TryStrToInt(Trim(text.substr(last + 1)), code) || code < 0 || code > 4095)
    return false;
  font = TFont();
  font.Name = Trim(text.substr(0, middle));
  font.Color = color;
  font.SetSize(code & 0xFF);
  const TFontStyle kStyles[] = {fsBold, fsItalic, fsUnderline, fsStrikeOut};
  for (int i = 0; i < 4; ++i) {
    if (code & (256 << i)) font.Style.Include(kStyles[i]);
  }
  return true;
}

// Applies one "savedColumns" entry other than "cvColumn" to `column`; malformed values are
// skipped.
void ApplySavedValue(TColumn& column, const std::string& key, const std::string& value) {
  TColor color = clBlack;
  TAlignment alignment = taLeftJustify;
  TFont font;
  int number = 0;
  if (SameText(key, "cvColorStr")) {
    if (IdentToColor(Trim(value), color)) column.SetColor(color);
  } else if (SameText(key, "cvWidthStr")) {
    if (TryStrToInt(Trim(value), number) && number >= 0) column.SetWidth(number);
  } else if (SameText(key, "cvFontStr")) {
    if (ParseSavedFont(value, font)) column.SetFont(font);
  } else if (SameText(key, "cvAlignmentStr")) {
    if (ParseAlignment(value, alignment)) column.SetAlignment(alignment);
  } else if (SameText(key, "cvReadOnlyStr")) {
    column.SetReadOnly(SameText(Trim(value), "TRUE"));
  } else if (SameText(key, "cvTitleColorStr")) {
    if (IdentToColor(Trim(value), color)) column.Title().SetColor(color);
  } else if (SameText(key, "cvTitleCaptionStr")) {
    column.Title().SetCaption(value);
  } else if (SameText(key, "cvTitleAlignmentStr")) {
    if (ParseAlignment(value, alignment)) column.Title().SetAlignment(alignment);
  } else if (SameText(key, "cvTitleFontStr")) {
    if (ParseSavedFont(value, font)) column.Title().SetFont(font);
  } else if (SameText(key, "cvFieldNameStr")) {
    column.SetFieldName(Trim(value));
  }
}

// Ends a columns batch however the reading ends.
class ColumnsBatch {
 public:
  explicit ColumnsBatch(TDBGridColumns& columns) : columns_(columns) { columns_.BeginUpdate(); }
  ~ColumnsBatch() { columns_.EndUpdate(); }
  ColumnsBatch(const ColumnsBatch&) = delete;
  ColumnsBatch& operator=(const ColumnsBatch&) = delete;

 private:
  TDBGridColumns& columns_;
};

}  // namespace

std::pair<std::string, std::string> LogicalTexts(const TField& field) {
  const auto* logical = dynamic_cast<const TBooleanField*>(&field);
  const std::string values = logical != nullptr ? logical->DisplayValues() : std::string();
  if (values.empty()) return {"True", "False"};
  const std::size_t semicolon = values.find(';');
  if (semicolon == std::string::npos) return {values, std::string()};
  return {values.substr(0, semicolon), values.substr(semicolon + 1)};
}

TVxGrid::TVxGrid(TComponent* owner) : TDBGrid(owner) {
  if (grid_count++ == 0) shared_bitmap = std::make_unique<TBitmap>();
}

TVxGrid::~TVxGrid() {
  if (--grid_count == 0) shared_bitmap.reset();
}

const TBitmap* TVxGrid::SharedBitmap() { return shared_bitmap.get(); }

void TVxGrid::SetBooleanBox(TVxBooleanBox value) {
  boolean_box_ = value;
  Invalidate();
}

void TVxGrid::SetDepressDisabled(bool value) {
  depressed_ = -1;
  InvalidateTitles();
  depress_disabled_ = value;
}

int TVxGrid::DepressedColumn() const { return depressed_ < Columns().Count() ? depressed_ : -1; }

void TVxGrid::DepressColumn(int index) {
  if (depress_disabled_ || index < 0 || index >= Columns().Count()) return;
  depressed_ = index;
  InvalidateTitles();
  if (OnDepressTitle) OnDepressTitle(Columns()[index]);
}

void TVxGrid::ColumnMoved(int from, int to) {
  // The pressed-in title stays with its column; the columns between shift by one.
  if (depressed_ == from) {
    depressed_ = to;
  } else if (from < depressed_ && depressed_ <= to) {
    --depressed_;
  } else if (to <= depressed_ && depressed_ < from) {
    ++depressed_;
  }
  TDBGrid::ColumnMoved(from, to);
}

// --- "savedColumns" -------------------------------------------------------------------------
//
//   KEY                  EFFECT ON THE CURRENT COLUMN
//   cvColumn             the value is a column index: columns are added until it exists, and
//                        it becomes the current column (the grid's default columns go first)
//   cvColorStr           colour (name or number)
//   cvWidthStr           width
//   cvFontStr            font: "name, colour, n", n = size + 256 bold + 512 italic
//                        + 1024 underline + 2048 strike-out
//   cvAlignmentStr       taLeftJustify, taRightJustify or taCenter
//   cvReadOnlyStr        read-only when "TRUE" in any case
//   cvTitleColorStr      title colour
//   cvTitleCaptionStr    title caption
//   cvTitleAlignmentStr  title alignment
//   cvTitleFontStr       title font, as cvFontStr
//   cvFieldNameStr       field name
// Keys other than cvColumn apply once a current column exists.

void TVxGrid::ReadSavedColumns(const TStrings& lines) {
  TDBGridColumns& columns = Columns();
  // A single column without a field or title is a placeholder, not a column set.
  if (columns.State() == csCustomized && columns.Count() == 1 && columns[0]->FieldName().empty() &&
      !columns[0]->Title().CaptionAssigned())
    columns.Clear();
  ColumnsBatch batch(columns);
  TColumn* current = nullptr;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string line = lines[i];
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = line.substr(equals + 1);
    if (!SameText(key, "cvColumn")) {
      if (current != nullptr) ApplySavedValue(*current, key, value);
      continue;
    }
    int index = 0;
    if (!TryStrToInt(Trim(value), index) || index < 0 || index >= kMaxSavedColumns) {
      current = nullptr;
      continue;
    }
    while (columns.State() == csDefault || columns.Count() <= index) columns.Add();
    current = columns[index];
  }
}

// --- Input ----------------------------------------------------------------------------------

void TVxGrid::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  TDBGrid::MouseDown(button, shift, x, y);
  if (GridState() != gsNormal || !DataLink().Active() || DataLink().RecordCount() == 0) return;
  // The press made its cell current (or found it current): toggle a logical value there.
  const TGridCoord cell = MouseCoord(x, y);
  if (cell.X < 0 || cell.Y < TitleOffset() || cell.X != Col() || cell.Y != Row()) return;
  if (TField* field = SelectedField(); IsLogical(field)) Toggle(field);
}

void TVxGrid::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  const TGridCoord cell = MouseCoord(x, y);
  if (GridState() == gsNormal && Options().Contains(dgTitles) && cell.Y == 0 && cell.X >= 0) {
    if (cell.X < IndicatorOffset()) {
      const TNotifyEvent& corner = button == mbLeft    ? OnCornerLeftClick
                                   : button == mbRight ? OnCornerRightClick
                                                       : TNotifyEvent();
      if (corner) {
        corner(this);
        return;
      }
    } else if (button == mbRight && !depress_disabled_) {
      DepressColumn(RawToDataColumn(cell.X));
      return;
    }
  }
  TDBGrid::MouseUp(button, shift, x, y);
}

void TVxGrid::KeyDown(std::uint16_t& key, TShiftState shift) {
  if (key == VK_DELETE && shift.Contains(ssCtrl) && DataLink().Active()) {
    // Ctrl+Delete on a record marked deleted offers to restore it instead of deleting it again.
    auto* table = dynamic_cast<TVxDataSet*>(DataLink().DataSet());
    if (table != nullptr && !table->IsEmpty() && table->State() == dsBrowse && table->IsDeleted()) {
      key = 0;
      if (ReadOnly() || !table->CanModify()) return;
      if (MessageBox("Restore record?", "Confirm", MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return;
      table->Restore();
      Invalidate();
      return;
    }
  }
  const bool moving_key = key == VK_TAB || key == VK_LEFT || key == VK_RIGHT || key == VK_DOWN;
  if (auto_append_ || ReadOnly() || !moving_key) {
    TDBGrid::KeyDown(key, shift);
    return;
  }
  // Read-only for the one key, so that moving past the last row appends nothing.
  SetReadOnly(true);
  try {
    TDBGrid::KeyDown(key, shift);
  } catch (...) {
    SetReadOnly(false);
    throw;
  }
  SetReadOnly(false);
}

void TVxGrid::KeyPress(char& key) {
  TField* field = SelectedField();
  if (!IsLogical(field) || EditorMode()) {
    TDBGrid::KeyPress(key);
    return;
  }
  if (key == ' ' || key == '\r') {
    Toggle(field);
    key = 0;
  } else if (key == '\b' || PrintableKey(key)) {
    key = 0;
  } else {
    TDBGrid::KeyPress(key);
  }
}

bool TVxGrid::CanEditShow() const { return !IsLogical(SelectedField()) && TDBGrid::CanEditShow(); }

void TVxGrid::Toggle(TField* field) {
  if (!IsLogical(field) || field != SelectedField() || !CanEditModify()) return;
  const auto [true_text, false_text] = LogicalTexts(*field);
  field->SetText(SameText(field->Text(), true_text) ? false_text : true_text);
}

// --- Drawing --------------------------------------------------------------------------------

TVxGrid::RowColors TVxGrid::DefaultColors(int col, const TColumn* column) const {
  const bool fixed = col < FixedCols() || column == nullptr;
  return RowColors{
      .indicator = FixedColor(),
      .cell = fixed ? FixedColor() : column->Color(),
      .cell_text = fixed ? TColor{0} : column->Font().Color,
      .hilite = clHighlight,
      .hilite_text = clHighlightText,
      .deleted = clRed,
      .deleted_text = Font().Color,
  };
}

bool TVxGrid::ActiveRecordDeleted() const {
  auto* table = dynamic_cast<TVxDataSet*>(DataLink().DataSet());
  return table != nullptr && table->IsDeleted();
}

void TVxGrid::DrawCell(int col, int row, const TRect& rect, TGridDrawState state) {
  const bool title = row < TitleOffset();
  const bool indicator = col < IndicatorOffset();
  const int data_row = row - TitleOffset();
  TColumn* column = indicator ? nullptr : Columns()[RawToDataColumn(col)];
  const bool has_record = !title && DataLink().Active() && data_row < DataLink().RecordCount();

  RowColors colors = DefaultColors(col, column);
  if (has_record && OnChangeColorsEvent) {
    LinkRecordScope scope(DataLink(), data_row);
    OnChangeColorsEvent(this, data_row, colors.indicator, colors.cell, colors.cell_text,
                        colors.hilite, colors.hilite_text, colors.deleted, colors.deleted_text);
  }

  TCanvas& canvas = Canvas();
  if (title || indicator) {
    TDBGrid::DrawCell(col, row, rect, state);
    if (title && column != nullptr && column->Index() == DepressedColumn()) {
      TRect edge = rect;
      canvas.Frame3D(edge, clBtnShadow, clBtnHighlight, 1);
    } else if (!title) {
      TRect inner = rect;
      InflateRect(inner, -1, -1);
      canvas.Brush.Style = bsSolid;
      canvas.Brush.Color = colors.indicator;
      canvas.FillRect(inner);
      DrawIndicatorMark(rect, data_row);
    }
    return;
  }

  canvas.Font = column->Font();
  canvas.Font.Color = colors.cell_text;
  canvas.Brush.Style = bsSolid;
  canvas.Brush.Color = colors.cell;
  if (!has_record) {
    canvas.FillRect(rect);
    return;
  }
  LinkRecordScope scope(DataLink(), data_row);
  const int data_col = RawToDataColumn(col);
  if (ActiveRecordDeleted()) {
    canvas.Brush.Color = colors.deleted;
    canvas.Font.Color = colors.deleted_text;
  }
  if (HighlightCell(data_col, data_row, state)) {
    canvas.Brush.Color = colors.hilite;
    canvas.Font.Color = colors.hilite_text;
  }
  if (!Enabled()) canvas.Font.Color = clGrayText;

  if (DefaultDrawing()) {
    const TField* field = column->Field();
    if (IsLogical(field) && boolean_box_ != bbText) {
      DrawBox(canvas, rect, field->AsBoolean());
    } else {
      DrawDataText(canvas, rect, field != nullptr ? field->DisplayText() : std::string(),
                   column->Alignment());
    }
  }
  DrawColumnCell(rect, data_col, column, state);
  if (state.Contains(gdFocused) && state.Contains(gdSelected)) DrawFocusRect(rect);
}

void TVxGrid::DrawDataText(TCanvas& canvas, const TRect& rect, const std::string& text,
                           TAlignment alignment) {
  const bool rtl = UseRightToLeftReading();
  const QPaintDevice* device = canvas.Painter() != nullptr ? canvas.Painter()->device() : nullptr;
  if (shared_bitmap == nullptr || PureDeviceColor(device, canvas.Brush.Color)) {
    WriteCellText(canvas, rect, 2, text, alignment, rtl);
    return;
  }
  // Text over a dithered brush is unreadable: draw it on the picture in true colour, then copy.
  const int width = rect.Width();
  const int height = rect.Height();
  if (shared_bitmap->Width() < width || shared_bitmap->Height() < height)
    shared_bitmap->SetSize(std::max(width, shared_bitmap->Width()),
                           std::max(height, shared_bitmap->Height()));
  TCanvas& picture = shared_bitmap->Canvas();
  picture.Font = canvas.Font;
  picture.Brush = canvas.Brush;
  const TRect area = Rect(0, 0, width, height);
  WriteCellText(picture, area, 2, text, alignment, rtl);
  canvas.CopyRect(rect, *shared_bitmap, area);
}

void TVxGrid::DrawBox(TCanvas& canvas, const TRect& rect, bool value) const {
  const TPen pen = canvas.Pen;
  const TBrush brush = canvas.Brush;
  canvas.FillRect(rect);
  const int side = std::min(rect.Width(), rect.Height());
  TRect box =
      Rect(rect.Left + (rect.Width() - side) / 2, rect.Top + (rect.Height() - side) / 2, 0, 0);
  box.Right = box.Left + side;
  box.Bottom = box.Top + side;
  constexpr int kFrameWidth = 1;
  InflateRect(box, -(kFrameWidth + 1), -(kFrameWidth + 1));
  if (box.Width() > 0 && box.Height() > 0) {
    const TColor ink = canvas.Font.Color;
    canvas.Pen = TPen{ink, kFrameWidth, psSolid};
    canvas.Brush.Style = bsClear;
    switch (boolean_box_) {
      case bbRButton:
      case bbRButtonRed:
        canvas.Ellipse(box);
        break;
      case bbCheckMark:
      case bbDot:
      case bbDotRed:
        break;
      default:
        canvas.Rectangle(box);
        break;
    }
    if (value) {
      const bool red =
          boolean_box_ == bbFillBoxRed || boolean_box_ == bbRButtonRed || boolean_box_ == bbDotRed;
      const TColor mark = red ? clRed : ink;
      canvas.Pen = TPen{mark, 2, psSolid};
      canvas.Brush = TBrush{mark, bsSolid};
      TRect inner = box;
      switch (boolean_box_) {
        case bbCheckMark:
          canvas.MoveTo(box.Left + 2, box.Top + box.Width() / 2);
          canvas.LineTo(box.Left + box.Width() / 3, box.Bottom - 2);
          canvas.LineTo(box.Right - 2, box.Top);
          break;
        case bbFillBox:
        case bbFillBoxRed:
          InflateRect(inner, -1, -1);
          canvas.FillRect(inner);
          break;
        case bbRButton:
        case bbRButtonRed:
        case bbDot:
        case bbDotRed:
          InflateRect(inner, -2, -2);
          canvas.Ellipse(inner);
          break;
        default:
          canvas.MoveTo(box.Left + 3, box.Top + 3);
          canvas.LineTo(box.Right - 3, box.Bottom - 3);
          canvas.MoveTo(box.Left + 3, box.Bottom - 3);
          canvas.LineTo(box.Right - 3, box.Top + 3);
          break;
      }
    }
  }
  canvas.Pen = pen;
  canvas.Brush = brush;
}

}  // namespace vx
