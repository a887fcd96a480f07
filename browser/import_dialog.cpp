#include "browser/import_dialog.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vexel/edit.hpp>

#include "browser/form_text.h"

namespace vx::browser {

namespace {

constexpr int kPreviewLines = 6;

bool JsonLinesName(const std::string& path) {
  const std::string extension = UpperAscii(std::filesystem::path(path).extension().string());
  return extension == ".JSON" || extension == ".JSONL" || extension == ".NDJSON";
}

}  // namespace

TImportDialog::TImportDialog(QWidget* parent, std::vector<std::string> fields)
    : TCheckedDialog(parent), fields_(std::move(fields)) {
  setObjectName("ImportDialog");
  setWindowTitle("Import rows");
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  auto* file_row = new QHBoxLayout;
  FileEdit = new QLineEdit(this);
  FileEdit->setObjectName("FileName");
  FileEdit->setMinimumWidth(360);
  auto* browse = new QPushButton("&Browse...", this);
  file_row->addWidget(FileEdit);
  file_row->addWidget(browse);
  form->addRow("File:", file_row);
  FormatBox = new QComboBox(this);
  FormatBox->setObjectName("Format");
  FormatBox->addItem("CSV (a header line of field names, then rows)");
  FormatBox->addItem("JSON lines (one object a line, its keys the fields)");
  form->addRow("Form:", FormatBox);
  layout->addLayout(form);
  layout->addWidget(new QLabel("First lines:", this));
  Preview = new QPlainTextEdit(this);
  Preview->setObjectName("Preview");
  Preview->setReadOnly(true);
  Preview->setLineWrapMode(QPlainTextEdit::NoWrap);
  Preview->setMinimumHeight(110);
  layout->addWidget(Preview);
  auto* rules = new QLabel(
      "Every row is checked before any is appended: a value that does not fit its field leaves "
      "the table as it was. Fields a row does not name stay blank.",
      this);
  rules->setWordWrap(true);
  layout->addWidget(rules);
  AddMessageAndButtons(layout);
  OkButton->setText("&Import");

  AskFile = [this](std::string& path) {
    const QString chosen = QFileDialog::getOpenFileName(
        this, "Import rows", QString(),
        "CSV or JSON lines (*.csv *.json *.jsonl *.ndjson);;All files (*)");
    path = chosen.toStdString();
    return !chosen.isEmpty();
  };
  QObject::connect(browse, &QPushButton::clicked, [this] {
    std::string path;
    if (AskFile && AskFile(path)) FileEdit->setText(QString::fromStdString(path));
  });
  QObject::connect(FileEdit, &QLineEdit::textChanged, [this] {
    // The form follows the file's extension until chosen otherwise.
    FormatBox->setCurrentIndex(JsonLinesName(FileName()) ? 1 : 0);
    Recheck();
  });
  QObject::connect(FormatBox, &QComboBox::currentIndexChanged, [this] { Recheck(); });
  Recheck();
}

std::string TImportDialog::FileName() const { return FileEdit->text().trimmed().toStdString(); }

TImportDialog::Format TImportDialog::ChosenFormat() const {
  return FormatBox->currentIndex() == 1 ? Format::kJsonLines : Format::kCsv;
}

std::string TImportDialog::Problem() const {
  const std::string path = FileName();
  if (path.empty()) return "Name the file to import.";
  std::ifstream in(path, std::ios::binary);
  if (!std::filesystem::is_regular_file(path) || !in) return "There is no file " + path + ".";
  if (ChosenFormat() == Format::kJsonLines) return {};
  // The header as vxdbf append reads it: every column must be a field.
  try {
    const vexel::RowInput rows = vexel::csv_rows(in);
    if (rows.columns.empty()) return "The file is empty.";
    for (const std::string& column : rows.columns) {
      if (std::find(fields_.begin(), fields_.end(), UpperAscii(Trimmed(column))) == fields_.end())
        return "The CSV header names \"" + column + "\", which is no field of the table.";
    }
  } catch (const vexel::Error& e) {
    return e.what();
  }
  return {};
}

void TImportDialog::Recheck() {
  QString preview;
  if (std::ifstream in(FileName(), std::ios::binary); in) {
    std::string line;
    for (int n = 0; n < kPreviewLines && std::getline(in, line); ++n)
      preview += QString::fromUtf8(line.data(), static_cast<int>(line.size())).trimmed() + "\n";
  }
  Preview->setPlainText(preview);
  TCheckedDialog::Recheck();
}

}  // namespace vx::browser
