#include "browser/tag_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>

#include "browser/form_text.h"

namespace vx::browser {

namespace {

std::string TypeName(char type) {
  switch (type) {
    case 'C':
      return "text";
    case 'N':
      return "a number";
    case 'D':
      return "a date";
    case 'L':
      return "true or false";
    default:
      return std::string("of type ") + type;
  }
}

// What a tag's name may be: as dBASE programs name tags (10 characters at most, a letter, then
// letters, digits and "_").
std::string TagNameProblem(const std::string& name) {
  if (name.empty()) return "Name the new tag.";
  if (name.size() > 10) return "A tag's name has at most 10 characters.";
  if (!std::isalpha(static_cast<unsigned char>(name[0])))
    return "A tag's name begins with a letter.";
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
      return "A tag's name holds letters, digits and \"_\" only.";
  }
  return {};
}

}  // namespace

std::string ExpressionProblem(const std::string& table, int codepage, const std::string& expression,
                              std::string_view types, const std::string& what) {
  try {
    vexel::OpenOptions options;
    options.mode = vexel::OpenMode::read_only;
    options.codepage = codepage;
    const vexel::Table t = vexel::open(table, options);
    const vexel::Expression compiled = t.compile(expression);
    if (types.find(compiled.type()) == std::string_view::npos) {
      std::string wanted;
      for (std::size_t i = 0; i < types.size(); ++i) {
        wanted += (i == 0 ? "" : i + 1 == types.size() ? " or " : ", ") + TypeName(types[i]);
      }
      return what + " must be " + wanted + ", not " + TypeName(compiled.type()) + ".";
    }
  } catch (const vexel::Error& e) {
    // "Error # 351 (...): Error in expression : WHAT AND WHERE: [TEXT]: ..." or "WHAT AND
    // WHERE\r\n[TEXT]\r\n ..." -> what is wrong and where, without the code and the echo of the
    // text.
    std::string message = e.what();
    const std::string mark = "Error in expression : ";
    if (const std::size_t at = message.rfind(mark); at != std::string::npos)
      message.erase(0, at + mark.size());
    message.resize(std::min({message.size(), message.find(": ["), message.find_first_of("\r\n")}));
    return what + ": " + message + ".";
  }
  return {};
}

TTagDialog::TTagDialog(QWidget* parent, const std::string& table, int codepage)
    : TCheckedDialog(parent), table_(table), codepage_(codepage) {
  setObjectName("TagDialog");
  setWindowTitle("Tags");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Tags of the production index:", this));
  TagList = new QListWidget(this);
  TagList->setObjectName("TagList");
  TagList->setMinimumSize(460, 140);
  layout->addWidget(TagList);
  DropButton = new QPushButton("&Drop tag", this);
  DropButton->setObjectName("DropTag");
  auto* drop_row = new QHBoxLayout;
  drop_row->addWidget(DropButton);
  drop_row->addStretch();
  layout->addLayout(drop_row);

  auto* form = new QFormLayout;
  NameEdit = new QLineEdit(this);
  NameEdit->setObjectName("TagName");
  KeyEdit = new QLineEdit(this);
  KeyEdit->setObjectName("TagKey");
  KeyEdit->setPlaceholderText("e.g. UPPER(TITLE) or STR(YEAR,4)+TITLE");
  ForEdit = new QLineEdit(this);
  ForEdit->setObjectName("TagFor");
  ForEdit->setPlaceholderText("optional, e.g. .NOT. DELETED()");
  Descending = new QCheckBox("Descending", this);
  Unique = new QCheckBox("Unique (one record per key)", this);
  form->addRow("Name:", NameEdit);
  form->addRow("Key:", KeyEdit);
  form->addRow("FOR:", ForEdit);
  form->addRow("", Descending);
  form->addRow("", Unique);
  layout->addLayout(form);
  QDialogButtonBox* buttons = AddMessageAndButtons(layout);
  buttons->setStandardButtons(QDialogButtonBox::Close);
  OkButton = nullptr;
  AddButton = buttons->addButton("&Add tag", QDialogButtonBox::ActionRole);
  AddButton->setObjectName("AddTag");

  for (QLineEdit* edit : {NameEdit, KeyEdit, ForEdit})
    QObject::connect(edit, &QLineEdit::textChanged, [this] { Recheck(); });
  QObject::connect(AddButton, &QPushButton::clicked, [this] {
    Recheck();
    if (!AddButton->isEnabled() || !OnAdd || !OnAdd(Tag())) return;
    FillTags();
    NameEdit->clear();
    KeyEdit->clear();
    ForEdit->clear();
  });
  QObject::connect(DropButton, &QPushButton::clicked, [this] {
    const QListWidgetItem* item = TagList->currentItem();
    if (item == nullptr || !OnDrop) return;
    if (OnDrop(item->data(Qt::UserRole).toString().toStdString())) FillTags();
  });
  FillTags();
  Recheck();
}

void TTagDialog::FillTags() {
  TagList->clear();
  try {
    vexel::OpenOptions options;
    options.mode = vexel::OpenMode::read_only;
    options.codepage = codepage_;
    const vexel::Table t = vexel::open(table_, options);
    for (const vexel::TagInfo& tag : t.tags()) {
      std::string text = tag.name + "   " + tag.key;
      if (!tag.for_expr.empty()) text += "   FOR " + tag.for_expr;
      if (tag.descending) text += "   (descending)";
      if (tag.unique) text += "   (unique)";
      auto* item = new QListWidgetItem(QString::fromStdString(text), TagList);
      item->setData(Qt::UserRole, QString::fromStdString(tag.name));
    }
  } catch (const vexel::Error& e) {
    ShowRefusal(e.what());
  }
  if (TagList->count() > 0) TagList->setCurrentRow(0);
  DropButton->setEnabled(TagList->count() > 0);
}

vexel::NewTag TTagDialog::Tag() const {
  vexel::NewTag tag;
  tag.name = UpperAscii(NameEdit->text().trimmed().toStdString());
  tag.key = KeyEdit->text().trimmed().toStdString();
  tag.for_expr = ForEdit->text().trimmed().toStdString();
  tag.descending = Descending->isChecked();
  tag.unique = Unique->isChecked();
  return tag;
}

std::string TTagDialog::Problem() const {
  const vexel::NewTag tag = Tag();
  if (std::string problem = TagNameProblem(tag.name); !problem.empty()) return problem;
  if (tag.key.empty()) return "Type the key expression.";
  if (std::string problem = ExpressionProblem(table_, codepage_, tag.key, "CND", "The key");
      !problem.empty()) {
    return problem;
  }
  if (tag.for_expr.empty()) return {};
  return ExpressionProblem(table_, codepage_, tag.for_expr, "L", "The FOR condition");
}

void TTagDialog::Recheck() {
  std::string problem = Problem();
  const bool ok = problem.empty();
  if (ok) {
    const std::string name = Tag().name;
    for (int i = 0; i < TagList->count(); ++i) {
      if (TagList->item(i)->data(Qt::UserRole).toString().toStdString() == name)
        problem = "Adding it replaces the tag " + name + ".";
    }
  }
  ShowText(problem, !ok);
  AddButton->setEnabled(ok);
}

}  // namespace vx::browser
