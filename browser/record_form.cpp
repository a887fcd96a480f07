#include "browser/record_form.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QEvent>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollArea>

#include "browser/browser_table.h"
#include "engine/foundation/errors.h"
#include "platform/dataset/sys_utils.h"
#include "platform/widgets/graphics.h"

namespace vx::browser {

namespace {

// The date that stands for a blank date in the date editor (shown as blanks).
const QDate kBlankDate(100, 1, 1);

// Calls `left` when the watched editor loses the keyboard focus.
class FocusOutWatch : public QObject {
 public:
  FocusOutWatch(QObject* parent, std::function<void()> left)
      : QObject(parent), left_(std::move(left)) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::FocusOut) left_();
    return false;
  }

 private:
  std::function<void()> left_;
};

// The date editor's form of the framework's short date format, the one the grid shows dates
// in: d/dd the day, m/mm the month (M in Qt's forms), yy/yyyy the year, "/" the separator.
QString DateEditorFormat() {
  const TFormatSettings& settings = FormatSettings();
  QString format;
  for (const char c : settings.ShortDateFormat) {
    switch (c) {
      case 'd':
      case 'D':
        format += 'd';
        break;
      case 'm':
      case 'M':
        format += 'M';
        break;
      case 'y':
      case 'Y':
        format += 'y';
        break;
      case '/':
        format += QChar(settings.DateSeparator);
        break;
      default:
        format += QChar(c);
        break;
    }
  }
  return format.isEmpty() ? QString("yyyy-MM-dd") : format;
}

}  // namespace

TRecordForm::TRecordForm(QWidget* parent, TBrowserTable* table) : table_(table) {
  area_ = new QScrollArea(parent);
  area_->setObjectName("RecordForm");
  area_->setWidgetResizable(true);
  Guard = [](const std::function<void()>& action) { action(); };
}

TRecordForm::~TRecordForm() = default;

QWidget* TRecordForm::Editor(const std::string& name) const {
  for (const Row& row : rows_) {
    if (row.field == name) return row.editor;
  }
  return nullptr;
}

void TRecordForm::Rebuild() {
  rows_.clear();
  inner_ = new QWidget();
  layout_ = new QFormLayout(inner_);
  area_->setWidget(inner_);  // the old one goes
  const TDbfFieldProps* props = table_->Active() ? table_->FieldProps() : nullptr;
  if (props == nullptr) return;
  for (int n = 1; n <= props->Count(); ++n) {
    const TDTField& described = props->Field(n);
    if (table_->FindField(described.name) == nullptr) continue;
    Row row{described.name, described.type, nullptr};
    switch (described.type) {
      case 'L': {
        auto* box = new QCheckBox(inner_);
        QObject::connect(box, &QCheckBox::toggled, [this, row_at = rows_.size()](bool) {
          if (!filling_ && row_at < rows_.size()) Commit(rows_[row_at]);
        });
        row.editor = box;
        break;
      }
      case 'D': {
        auto* date = new QDateEdit(inner_);
        date->setMinimumDate(kBlankDate);
        date->setSpecialValueText(" ");
        date->setDisplayFormat(DateEditorFormat());
        date->setCalendarPopup(true);
        QObject::connect(date, &QDateEdit::editingFinished, [this, row_at = rows_.size()] {
          if (!filling_ && row_at < rows_.size()) Commit(rows_[row_at]);
        });
        row.editor = date;
        break;
      }
      case 'M':
      case 'B':
      case 'G':
      case 'P': {
        auto* memo = new QPlainTextEdit(inner_);
        memo->setMinimumHeight(70);
        // Binary memos are shown, never edited as text.
        memo->setReadOnly(described.type != 'M');
        memo->installEventFilter(new FocusOutWatch(memo, [this, row_at = rows_.size()] {
          if (!filling_ && row_at < rows_.size()) Commit(rows_[row_at]);
        }));
        row.editor = memo;
        break;
      }
      default: {
        auto* line = new QLineEdit(inner_);
        line->setMaxLength(described.length);
        if (described.type == 'N' || described.type == 'F') line->setAlignment(Qt::AlignRight);
        QObject::connect(line, &QLineEdit::editingFinished, [this, row_at = rows_.size()] {
          if (!filling_ && row_at < rows_.size()) Commit(rows_[row_at]);
        });
        row.editor = line;
        break;
      }
    }
    row.editor->setObjectName(QString::fromStdString(described.name));
    std::string label = described.name + " (" + std::string(1, described.type) + " " +
                        std::to_string(described.length);
    if (described.decimals > 0) label += "," + std::to_string(described.decimals);
    layout_->addRow(QString::fromStdString(label + ")"), row.editor);
    rows_.push_back(row);
  }
  Refresh();
}

void TRecordForm::Refresh() {
  filling_ = true;
  const bool has_record = table_->Active() && !table_->IsEmpty();
  for (const Row& row : rows_) {
    TField* field = table_->FindField(row.field);
    row.editor->setEnabled(has_record && field != nullptr);
    if (field == nullptr) continue;
    // A memo whose block cannot be read (a damaged pointer or memo file) shows why instead of
    // stopping the form; its editor stays read-only so that the pointer is not overwritten.
    std::string text;
    bool unreadable = false;
    if (has_record) {
      try {
        text = field->AsString();
      } catch (const EVexelError& e) {
        const std::string message = e.what();
        text = "(cannot be read: " + message.substr(0, message.find('\r')) + ")";
        unreadable = true;
      }
    }
    if (unreadable) row.editor->setEnabled(false);
    if (auto* box = qobject_cast<QCheckBox*>(row.editor)) {
      box->setChecked(has_record && !field->IsNull() && field->AsBoolean());
    } else if (auto* date = qobject_cast<QDateEdit*>(row.editor)) {
      if (!has_record || field->IsNull()) {
        date->setDate(kBlankDate);
      } else {
        int year = 0;
        int month = 0;
        int day = 0;
        DecodeDate(field->AsDateTime(), year, month, day);
        date->setDate(QDate(year, month, day));
      }
    } else if (auto* memo = qobject_cast<QPlainTextEdit*>(row.editor)) {
      memo->setPlainText(row.type == 'M' ? AnsiToQString(text)
                                         : QString("(binary, %1 bytes)").arg(text.size()));
    } else if (auto* line = qobject_cast<QLineEdit*>(row.editor)) {
      line->setText(AnsiToQString(field->DisplayText()));
      // A text longer than the editor shows from its start.
      line->setCursorPosition(0);
    }
  }
  filling_ = false;
}

std::string TRecordForm::EditorText(const Row& row) const {
  if (auto* box = qobject_cast<QCheckBox*>(row.editor)) return box->isChecked() ? "T" : "F";
  if (auto* date = qobject_cast<QDateEdit*>(row.editor)) {
    if (date->date() == kBlankDate) return {};
    return date->date().toString("yyyy-MM-dd").toStdString();
  }
  // Text the table's page lacks is refused, naming the record, field and character.
  const std::string where =
      "record " + std::to_string(table_->RecNo()) + ", field " + std::string(row.field);
  if (auto* memo = qobject_cast<QPlainTextEdit*>(row.editor))
    return QStringToStored(memo->toPlainText(), where);
  if (auto* line = qobject_cast<QLineEdit*>(row.editor)) {
    const TField* field = table_->FindField(row.field);
    return QStringToStored(line->text(), where,
                           field != nullptr && field->DataType() == ftString
                               ? static_cast<std::size_t>(field->Size())
                               : static_cast<std::size_t>(-1));
  }
  return {};
}

void TRecordForm::Commit(const Row& row) {
  if (!table_->Active() || table_->IsEmpty() || row.type == 'B' || row.type == 'G' ||
      row.type == 'P')
    return;
  TField* field = table_->FindField(row.field);
  if (field == nullptr) return;
  Guard([&] {
    const std::string text = EditorText(row);
    if (row.type == 'L') {
      const bool value = text == "T";
      if (!field->IsNull() && field->AsBoolean() == value) return;
      table_->Edit();
      field->SetAsBoolean(value);
    } else if (row.type == 'D') {
      const auto* date = qobject_cast<QDateEdit*>(row.editor);
      const bool blank = date->date() == kBlankDate;
      if (blank ? field->IsNull()
                : (!field->IsNull() &&
                   field->AsDateTime() ==
                       EncodeDate(date->date().year(), date->date().month(), date->date().day())))
        return;
      table_->Edit();
      if (blank) {
        field->Clear();
      } else {
        field->SetAsDateTime(
            EncodeDate(date->date().year(), date->date().month(), date->date().day()));
      }
    } else {
      const std::string shown = row.type == 'M' ? field->AsString() : field->DisplayText();
      if (shown == text) return;
      table_->Edit();
      field->SetAsString(text);
    }
    table_->Post();
  });
  Refresh();
}

}  // namespace vx::browser
