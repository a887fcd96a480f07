#include "browser/field_list_editor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <vexel/codepage.hpp>

#include "browser/browser_form.h"
#include "browser/form_text.h"

namespace vx::browser {

namespace {

enum Column { kName, kType, kWidth, kDecimals, kColumns };

// The kinds a new table may be, by the version byte vexel::create takes (each "with a memo file"
// kind loses its memo bit when no field needs one).
struct KindChoice {
  std::uint8_t version;
  const char* name;
};
constexpr KindChoice kKinds[] = {
    {0x83, "dBASE III"},     {0x8B, "dBASE IV"},      {0xF5, "FoxPro"},
    {0x30, "Visual FoxPro"}, {0x8C, "dBASE level 7"},
};

// Original field index of a row (-1: a field added in the editor).
constexpr int kOriginRole = Qt::UserRole;

bool SameName(const std::string& a, const std::string& b) { return UpperAscii(a) == UpperAscii(b); }

// A whole number typed into a cell ("" is 0); false for anything else.
bool ReadCount(const std::string& text, int& value) {
  value = 0;
  if (text.empty()) return true;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

}  // namespace

TFieldListEditor::TFieldListEditor(QWidget* parent, Mode mode,
                                   const std::vector<vexel::Field>& fields, std::uint8_t version)
    : TCheckedDialog(parent), mode_(mode), original_(fields), version_(version) {
  setObjectName(mode == Mode::kCreate ? "CreateTableDialog" : "AlterTableDialog");
  setWindowTitle(mode == Mode::kCreate ? "New table" : "Change structure");
  auto* layout = new QVBoxLayout(this);
  if (mode == Mode::kCreate) {
    auto* form = new QFormLayout;
    FileEdit = new QLineEdit(this);
    FileEdit->setObjectName("FileName");
    FileEdit->setPlaceholderText("the new table's file, e.g. films.dbf");
    form->addRow("File:", FileEdit);
    KindBox = new QComboBox(this);
    KindBox->setObjectName("Kind");
    for (const KindChoice& kind : kKinds) KindBox->addItem(kind.name, kind.version);
    KindBox->setCurrentIndex(1);  // dBASE IV
    form->addRow("Kind:", KindBox);
    PageBox = new QComboBox(this);
    PageBox->setObjectName("CodePage");
    for (const int page : kOfferedPages) {
      if (vexel::codepage_available(page)) PageBox->addItem(QString::number(page), page);
    }
    PageBox->setCurrentIndex(std::max(0, PageBox->findData(1252)));
    form->addRow("Code page:", PageBox);
    layout->addLayout(form);
    QObject::connect(FileEdit, &QLineEdit::textChanged, [this] { Recheck(); });
    QObject::connect(KindBox, &QComboBox::currentIndexChanged, [this] { Recheck(); });
  }

  List = new QTableWidget(0, kColumns, this);
  List->setObjectName("FieldList");
  List->setHorizontalHeaderLabels({"Name", "Type", "Width", "Decimals"});
  List->horizontalHeader()->setSectionResizeMode(kName, QHeaderView::Stretch);
  List->verticalHeader()->setDefaultSectionSize(List->fontMetrics().height() + 8);
  List->setMinimumSize(420, 250);
  layout->addWidget(List);
  auto* hint = new QLabel(
      "Types: C character, N number, F float, D date, L logical, M memo; Visual FoxPro also "
      "I integer, B double, Y currency, T date-time. D, L and M take their width themselves.",
      this);
  hint->setWordWrap(true);
  layout->addWidget(hint);

  auto* row_buttons = new QHBoxLayout;
  AddButton = new QPushButton("&Add field", this);
  RemoveButton = new QPushButton("&Remove field", this);
  row_buttons->addWidget(AddButton);
  row_buttons->addWidget(RemoveButton);
  row_buttons->addStretch();
  layout->addLayout(row_buttons);
  if (mode == Mode::kAlter) {
    Backup = new QCheckBox("Keep the old files as .bak", this);
    Backup->setObjectName("Backup");
    layout->addWidget(Backup);
  }
  AddMessageAndButtons(layout);

  filling_ = true;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    AddField(fields[i]);
    List->item(static_cast<int>(i), kName)->setData(kOriginRole, static_cast<int>(i));
  }
  filling_ = false;

  QObject::connect(List, &QTableWidget::itemChanged, [this] {
    if (!filling_) Recheck();
  });
  QObject::connect(AddButton, &QPushButton::clicked, [this] {
    AddField({});
    List->setCurrentCell(List->rowCount() - 1, kName);
    List->editItem(List->item(List->rowCount() - 1, kName));
  });
  QObject::connect(RemoveButton, &QPushButton::clicked, [this] {
    if (List->currentRow() >= 0) RemoveField(List->currentRow());
  });
  Recheck();
}

void TFieldListEditor::AddField(const vexel::Field& field) {
  const bool was_filling = filling_;
  filling_ = true;
  const int row = List->rowCount();
  List->insertRow(row);
  const bool sized = field.length > 0 || !field.name.empty();
  const QString texts[kColumns] = {
      QString::fromStdString(field.name), field.name.empty() ? "C" : QString(QChar(field.type)),
      sized ? QString::number(field.length) : QString(),
      sized && field.decimals > 0 ? QString::number(field.decimals) : QString()};
  for (int column = 0; column < kColumns; ++column) {
    auto* item = new QTableWidgetItem(texts[column]);
    if (column == kName) item->setData(kOriginRole, -1);
    List->setItem(row, column, item);
  }
  filling_ = was_filling;
  if (!filling_) Recheck();
}

void TFieldListEditor::RemoveField(int row) {
  if (row < 0 || row >= List->rowCount()) return;
  List->removeRow(row);
  Recheck();
}

std::string TFieldListEditor::Cell(int row, int column) const {
  const QTableWidgetItem* item = List->item(row, column);
  return item == nullptr ? std::string() : Trimmed(item->text().trimmed().toStdString());
}

std::string TFieldListEditor::ReadRow(int row, vexel::Field& field) const {
  const std::string where = "field " + std::to_string(row + 1);
  field = {};
  field.name = UpperAscii(Cell(row, kName));
  const std::string type = UpperAscii(Cell(row, kType));
  if (type.size() != 1) return where + ": the type is one letter (C, N, F, D, L, M, ...)";
  field.type = type[0];
  if (!ReadCount(Cell(row, kWidth), field.length))
    return where + ": the width \"" + Cell(row, kWidth) + "\" is not a whole number";
  if (!ReadCount(Cell(row, kDecimals), field.decimals))
    return where + ": the decimals \"" + Cell(row, kDecimals) + "\" are not a whole number";
  return {};
}

std::vector<vexel::Field> TFieldListEditor::Fields() const {
  std::vector<vexel::Field> fields(static_cast<std::size_t>(List->rowCount()));
  for (int row = 0; row < List->rowCount(); ++row)
    ReadRow(row, fields[static_cast<std::size_t>(row)]);
  return fields;
}

std::uint8_t TFieldListEditor::Version() const {
  return KindBox != nullptr ? static_cast<std::uint8_t>(KindBox->currentData().toInt()) : version_;
}

int TFieldListEditor::CodePage() const {
  return PageBox != nullptr ? PageBox->currentData().toInt() : 0;
}

std::string TFieldListEditor::FileName() const {
  if (FileEdit == nullptr) return {};
  std::string name = Trimmed(FileEdit->text().trimmed().toStdString());
  if (!name.empty() && std::filesystem::path(name).extension().empty()) name += ".DBF";
  return name;
}

std::string TFieldListEditor::Problem() const {
  if (mode_ == Mode::kCreate && FileName().empty()) return "Name the new table's file.";
  if (List->rowCount() == 0) return "A table needs at least one field.";
  std::vector<vexel::Field> fields(static_cast<std::size_t>(List->rowCount()));
  for (int row = 0; row < List->rowCount(); ++row) {
    if (std::string problem = ReadRow(row, fields[static_cast<std::size_t>(row)]); !problem.empty())
      return problem;
  }
  try {
    vexel::check_fields(fields, Version());
  } catch (const vexel::Error& e) {
    return e.what();
  }
  if (mode_ == Mode::kAlter) {
    const vexel::AlterChanges changes = Changes();
    if (changes.rename.empty() && changes.drop.empty() && changes.retype.empty() &&
        changes.add.empty()) {
      return "No change yet.";
    }
  }
  return {};
}

vexel::AlterChanges TFieldListEditor::Changes() const {
  vexel::AlterChanges changes;
  std::vector<bool> kept(original_.size(), false);
  for (int row = 0; row < List->rowCount(); ++row) {
    vexel::Field field;
    ReadRow(row, field);
    const int origin = List->item(row, kName)->data(kOriginRole).toInt();
    if (origin < 0 || origin >= static_cast<int>(original_.size())) {
      changes.add.push_back(field);
      continue;
    }
    const vexel::Field& before = original_[static_cast<std::size_t>(origin)];
    kept[static_cast<std::size_t>(origin)] = true;
    if (!SameName(before.name, field.name)) changes.rename.push_back({before.name, field.name});
    // D, L and M left without a width keep the one they have.
    const int length = field.length == 0 && std::string("DLM").find(field.type) != std::string::npos
                           ? before.length
                           : field.length;
    if (field.type != before.type || length != before.length || field.decimals != before.decimals) {
      changes.retype.push_back({.name = field.name,
                                .type = field.type,
                                .length = field.length,
                                .decimals = field.decimals});
    }
  }
  for (std::size_t i = 0; i < original_.size(); ++i) {
    if (!kept[i]) changes.drop.push_back(original_[i].name);
  }
  changes.backup = Backup != nullptr && Backup->isChecked();
  return changes;
}

}  // namespace vx::browser
