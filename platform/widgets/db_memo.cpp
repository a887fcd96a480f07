#include "platform/widgets/db_memo.h"

#include <QPlainTextEdit>

#include "platform/widgets/host_widget.h"

namespace vx {

namespace {

// Memo text keeps the DOS line ends; the editor works with "\n".
std::string ToEditorLines(const std::string& text) {
  std::string lines;
  lines.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines += text[i];
  }
  return lines;
}

std::string ToMemoLines(const std::string& lines) {
  std::string text;
  text.reserve(lines.size() + lines.size() / 32);
  for (char c : lines) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return text;
}

}  // namespace

TDBMemo::TDBMemo(TComponent* owner) : TWinControl(owner, new HostWidget<QPlainTextEdit>(this)) {
  SetTabStop(true);
  SetBounds(0, 0, 185, 89);
  Editor()->setTabChangesFocus(false);
  Editor()->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  data_link_.OnDataChange = [this](TObject*) { LoadFromField(); };
  data_link_.OnEditingChange = [this](TObject*) { UpdateReadOnly(); };
  data_link_.OnActiveChange = [this](TObject*) {
    UpdateReadOnly();
    LoadFromField();
  };
  data_link_.OnUpdateData = [this](TObject*) { WriteToField(); };
  data_link_.OnFocusControl = [this](TObject*) {
    if (CanFocus()) SetFocus();
  };
  QObject::connect(Editor(), &QPlainTextEdit::textChanged, Editor(),
                   [this] { Guard([this] { TextEdited(); }); });
  UpdateReadOnly();
}

TDBMemo::~TDBMemo() {
  if (auto* link = dynamic_cast<ControlHostLink*>(Widget())) link->control = nullptr;
  if (Editor()) QObject::disconnect(Editor(), nullptr, Editor(), nullptr);
  data_link_.SetDataSource(nullptr);
}

QPlainTextEdit* TDBMemo::Editor() const { return static_cast<QPlainTextEdit*>(Widget()); }

void TDBMemo::SetDataSource(TDataSource* source) {
  if (TDataSource* old = data_link_.DataSource()) old->RemoveFreeNotification(this);
  data_link_.SetDataSource(source);
  if (source) source->FreeNotification(this);
  LoadFromField();
}

void TDBMemo::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove && component == data_link_.DataSource())
    data_link_.SetDataSource(nullptr);
  TWinControl::Notification(component, operation);
}

void TDBMemo::SetReadOnly(bool value) {
  read_only_ = value;
  data_link_.SetReadOnly(value);
  UpdateReadOnly();
}

// The editor takes keys only when the field can take the text.
void TDBMemo::UpdateReadOnly() {
  if (!Editor()) return;
  const bool writable = !read_only_ && data_link_.Field() && data_link_.CanModify();
  Editor()->setReadOnly(!writable);
}

void TDBMemo::LoadFromField() {
  if (!Editor()) return;
  std::string text;
  if (TField* field = data_link_.Field()) text = field->AsString();
  // Entering edit state reloads the same text: leave it, and the cursor where the user put it.
  const QString shown = AnsiToQString(ToEditorLines(text));
  if (Editor()->toPlainText() != shown) {
    loading_ = true;
    Editor()->setPlainText(shown);
    loading_ = false;
  }
  modified_ = false;
  UpdateReadOnly();
}

void TDBMemo::WriteToField() {
  if (TField* field = data_link_.Field()) {
    const TDataSet* dataset = field->DataSet();
    const std::string where =
        (dataset != nullptr ? "record " + std::to_string(dataset->RecNo()) + ", " : "") +
        "field " + field->FieldName();
    field->SetAsString(
        Editor() ? ToMemoLines(QStringToStored(Editor()->toPlainText(), where)) : std::string());
  }
  modified_ = false;
}

std::string TDBMemo::EditText() const {
  return Editor() ? ToMemoLines(QStringToAnsi(Editor()->toPlainText())) : std::string();
}

void TDBMemo::SetEditText(const std::string& text) {
  if (!Editor() || !BeginChange()) return;
  Editor()->setPlainText(AnsiToQString(ToEditorLines(text)));
}

bool TDBMemo::BeginChange() {
  if (read_only_) return false;
  if (data_link_.Editing()) return true;
  return data_link_.Edit();
}

// Every change of the user, typed or pasted, reaches here. A change that did not go through
// KeyPress (paste, drop) puts the dataset into edit state now and keeps the user's text over
// the reload that entering edit state causes.
void TDBMemo::TextEdited() {
  if (loading_) return;
  if (!data_link_.Editing()) {
    const QString typed = Editor()->toPlainText();
    if (!BeginChange()) {
      LoadFromField();
      return;
    }
    if (Editor()->toPlainText() != typed) {
      loading_ = true;
      Editor()->setPlainText(typed);
      loading_ = false;
    }
  }
  modified_ = true;
  data_link_.Modified();
}

void TDBMemo::KeyDown(std::uint16_t& key, TShiftState shift) {
  TWinControl::KeyDown(key, shift);
  if (key == VK_ESCAPE) {
    // Gives the field's text back; the form may still use Escape.
    if (modified_) {
      data_link_.Reset();
      key = 0;
    }
    return;
  }
  const bool changes = key == VK_DELETE || (key == VK_INSERT && shift.Contains(ssShift)) ||
                       (shift.Contains(ssCtrl) && (key == 'V' || key == 'X'));
  if (changes && !BeginChange()) key = 0;
}

void TDBMemo::KeyPress(char& key) {
  TWinControl::KeyPress(key);
  if (key == 0) return;
  const bool changes =
      static_cast<unsigned char>(key) >= 32 || key == '\b' || key == '\r' || key == '\t';
  if (changes && !BeginChange()) key = 0;
}

void TDBMemo::DoExit() {
  if (modified_) data_link_.UpdateRecord();
  TWinControl::DoExit();
}

void TDBMemo::ColorChanged() {
  if (Editor()) {
    QPalette palette = Editor()->palette();
    palette.setColor(QPalette::Base, ToQColor(Color()));
    Editor()->setPalette(palette);
  }
  TWinControl::ColorChanged();
}

}  // namespace vx
