// The Table menu's tools driven through their dialogs as a user would: what is typed is checked
// at once, the operations go through the library and the window shows the table as they left
// it; Cancel leaves the table as it was, and a table another program holds is refused in words.

#include <gmock/gmock.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <filesystem>
#include <fstream>
#include <vexel/edit.hpp>
#include <vexel/vexel.hpp>

#include "browser/copy_dialog.h"
#include "browser/field_list_editor.h"
#include "browser/import_dialog.h"
#include "browser/table_tools.h"
#include "browser/tag_dialog.h"
#include "tests/browser/browser_fixture.h"

namespace vx::browser {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class TableToolsTest : public BrowserTest {
 protected:
  static vexel::Table Read(const std::string& path) {
    vexel::OpenOptions options;
    options.mode = vexel::OpenMode::read_only;
    return vexel::open(path, options);
  }
  static std::vector<std::string> FieldNames(const std::string& path) {
    std::vector<std::string> names;
    const vexel::Table table = Read(path);
    for (const vexel::Field& f : table.fields()) names.push_back(f.name);
    return names;
  }
  static std::vector<std::string> Titles(const std::string& path) {
    std::vector<std::string> titles;
    const vexel::Table table = Read(path);
    for (const vexel::Record& r : table.scan()) titles.push_back(r.text("TITLE"));
    return titles;
  }
  static std::vector<std::string> TagNames(const std::string& path) {
    std::vector<std::string> names;
    for (const vexel::TagInfo& t : Read(path).tags()) names.push_back(t.name);
    return names;
  }
  // Files the rewrite leaves behind when it is not cleaned up (VXR*.TMP beside the table).
  std::vector<std::string> LeftOver() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.File("")))
      if (entry.path().filename().string().starts_with("VXR")) names.push_back(entry.path());
    return names;
  }
  void WriteText(const std::string& name, const std::string& text) {
    std::ofstream(dir_.File(name), std::ios::binary) << text;
  }
  static void SetCell(QTableWidget* list, int row, int column, const std::string& text) {
    list->item(row, column)->setText(QString::fromStdString(text));
  }
  static std::string MessageOf(QWidget* dialog) {
    return dialog->findChild<QLabel*>("Message")->text().toStdString();
  }
  TTableTools& Tools() { return *browser_->Tools; }
};

// Every mistake in the field list is named at once, OK waits until it is mended, and the
// table created is the one the list shows, opened in the window.
TEST_F(TableToolsTest, TheFieldListIsCheckedAsTypedAndCreatesTheTableItShows) {
  Browse(MakeFilmTable());
  TFieldListEditor* editor = Tools().ShowCreateTable();
  editor->FileEdit->setText("shop");
  struct Case {
    std::vector<vexel::Field> rows;
    const char* problem;
  };
  const Case cases[] = {
      {{}, "at least one field"},
      {{{.name = "1YEAR", .type = 'N', .length = 4}}, "field 1"},
      {{{.name = "TITLE", .type = 'C', .length = 20}, {.name = "title", .type = 'C', .length = 9}},
       "field 2"},
      {{{.name = "PRICE", .type = 'N', .length = 4, .decimals = 4}}, "field 1"},
      {{{.name = "TITLE", .type = 'X', .length = 20}}, "field 1"},
      {{{.name = "NAMETOOLONG", .type = 'C', .length = 20}}, "field 1"},
      {{{.name = "TITLE", .type = 'C', .length = 0}}, "field 1"},
      {{{.name = "SEEN", .type = 'T', .length = 8}}, "field 1"},  // not in dBASE IV
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    while (editor->List->rowCount() > 0) editor->RemoveField(0);
    for (const vexel::Field& f : c.rows) editor->AddField(f);
    EXPECT_THAT(MessageOf(editor), HasSubstr(c.problem));
    EXPECT_FALSE(editor->OkButton->isEnabled());
  }
  // The kind chosen decides which types are there.
  editor->KindBox->setCurrentIndex(editor->KindBox->findData(0x30));
  EXPECT_EQ(MessageOf(editor), "");
  editor->KindBox->setCurrentIndex(editor->KindBox->findData(0x8B));

  while (editor->List->rowCount() > 0) editor->RemoveField(0);
  editor->AddField({.name = "TITLE", .type = 'C', .length = 30});
  editor->AddField({.name = "PRICE", .type = 'N', .length = 8, .decimals = 2});
  editor->AddField({.name = "SEEN", .type = 'D'});
  editor->AddField({.name = "NOTES", .type = 'M'});
  SetCell(editor->List, 1, 2, "8x");
  EXPECT_THAT(MessageOf(editor), HasSubstr("field 2: the width \"8x\""));
  SetCell(editor->List, 1, 2, "8");
  SetCell(editor->List, 0, 0, "name");  // typed in lower case
  EXPECT_EQ(MessageOf(editor), "");
  ASSERT_TRUE(editor->OkButton->isEnabled());
  editor->OkButton->click();

  const std::string made = dir_.File("shop.DBF");
  ASSERT_TRUE(std::filesystem::exists(made)) << Tools().LastMessage;
  EXPECT_THAT(FieldNames(made), ElementsAre("NAME", "PRICE", "SEEN", "NOTES"));
  EXPECT_EQ(Read(made).fields()[1].decimals, 2);
  EXPECT_EQ(browser_->TablePath(), std::filesystem::absolute(made).string());

  // A file that exists is refused in the dialog, which stays open with the list as typed.
  editor = Tools().ShowCreateTable();
  editor->FileEdit->setText(QString::fromStdString(made));
  editor->AddField({.name = "OTHER", .type = 'C', .length = 5});
  editor->OkButton->click();
  EXPECT_THAT(MessageOf(editor), HasSubstr("New table refused"));
  EXPECT_TRUE(editor->isVisible());
  EXPECT_THAT(FieldNames(made), ElementsAre("NAME", "PRICE", "SEEN", "NOTES"));
  editor->close();
}

// The same editor over the table's fields: a rename, a new width, a dropped field and an added
// one become one alter; a change the table's tags forbid is refused with the table unchanged.
TEST_F(TableToolsTest, ChangingTheStructureRenamesRetypesDropsAndAddsFields) {
  const std::string path = MakeFilmTable();
  Browse(path);
  TFieldListEditor* editor = Tools().ShowAlterTable();
  ASSERT_NE(editor, nullptr);
  ASSERT_EQ(editor->List->rowCount(), 8);
  EXPECT_EQ(MessageOf(editor), "No change yet.");

  editor->RemoveField(0);  // TITLE, which the TITLE tag's key names
  editor->OkButton->click();
  EXPECT_THAT(MessageOf(editor), HasSubstr("refused"));
  EXPECT_TRUE(editor->isVisible());
  EXPECT_EQ(FieldNames(path).size(), 8u);
  EXPECT_TRUE(browser_->Table->Active()) << "the window has the table back";
  editor->close();

  editor = Tools().ShowAlterTable();
  SetCell(editor->List, 4, 0, "CAST");  // STARS
  SetCell(editor->List, 1, 2, "6");     // YEAR, 4 wide
  editor->RemoveField(5);               // DIRECTOR
  editor->AddField({.name = "RATING", .type = 'N', .length = 4, .decimals = 1});
  const vexel::AlterChanges changes = editor->Changes();
  ASSERT_EQ(changes.rename.size(), 1u);
  EXPECT_EQ(changes.rename[0].to, "CAST");
  EXPECT_THAT(changes.drop, ElementsAre("DIRECTOR"));
  ASSERT_EQ(changes.retype.size(), 1u);
  EXPECT_EQ(changes.retype[0].name, "YEAR");
  editor->OkButton->click();

  EXPECT_THAT(FieldNames(path), ElementsAre("TITLE", "YEAR", "COLOR", "RUNTIME", "CAST", "PLOT",
                                            "PREMIERE", "RATING"));
  EXPECT_EQ(Read(path).fields()[1].length, 6);
  EXPECT_EQ(Titles(path), kTitles);
  EXPECT_THAT(Tools().LastMessage, HasSubstr("7 records converted"));
  ASSERT_TRUE(browser_->Table->Active());
  EXPECT_NE(ColumnOf("CAST"), -1) << "the grid shows the new structure";
  EXPECT_EQ(ColumnOf("DIRECTOR"), -1);
  EXPECT_EQ(browser_->Table->FieldByName("YEAR")->AsString(), "1990");
}

// A tag's name, key and FOR condition are checked as typed; the tag added orders the window,
// and a tag dropped is gone from it.
TEST_F(TableToolsTest, TagsAreCheckedAsTypedAddedAndDropped) {
  const std::string path = MakeFilmTable();
  Browse(path);
  TTagDialog* dialog = Tools().ShowTags();
  ASSERT_NE(dialog, nullptr);
  ASSERT_EQ(dialog->TagList->count(), 1);
  struct Case {
    const char *name, *key, *for_expr, *problem;
  };
  const Case cases[] = {
      {"", "", "", "Name the new tag"},
      {"BY YEAR", "YEAR", "", "letters, digits"},
      {"BYYEARLONGER", "YEAR", "", "at most 10"},
      {"BYYEAR", "", "", "Type the key"},
      {"BYYEAR", "YEAR +", "", "The key: Syntax error: the expression ends too early."},
      {"BYYEAR", "NOSUCHFIELD", "",
       "The key: Syntax error: unknown field or function "
       "NOSUCHFIELD at position 1."},
      {"BYYEAR", "COLOR", "", "The key must be text, a number or a date, not true or false"},
      {"BYYEAR", "YEAR", "TITLE", "The FOR condition must be true or false, not text"},
      {"BYYEAR", "YEAR", "YEAR >", "The FOR condition: Syntax error: the expression ends"},
      {"TITLE", "UPPER(TITLE)", "", "replaces the tag TITLE"},
      {"BYYEAR", "YEAR", "YEAR > 1992", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    dialog->NameEdit->setText(c.name);
    dialog->KeyEdit->setText(c.key);
    dialog->ForEdit->setText(c.for_expr);
    if (*c.problem == '\0') {
      EXPECT_EQ(MessageOf(dialog), "");
    } else {
      EXPECT_THAT(MessageOf(dialog), HasSubstr(c.problem));
    }
    EXPECT_EQ(dialog->AddButton->isEnabled(),
              *c.problem == '\0' || std::string(c.problem).starts_with("replaces"));
  }
  dialog->AddButton->click();
  EXPECT_THAT(TagNames(path), ElementsAre("TITLE", "BYYEAR"));
  EXPECT_EQ(dialog->TagList->count(), 2);
  EXPECT_EQ(dialog->NameEdit->text(), "");
  ASSERT_TRUE(browser_->Table->Active());
  const int order = browser_->OrderBox->findText("BYYEAR", Qt::MatchStartsWith);
  ASSERT_GT(order, 0) << "the order box offers the new tag";
  browser_->ChooseOrder(order);
  EXPECT_THAT(ViewColumn(), ElementsAre("Mad Max", "Ma Vie", "Casablanca", "Metropolis"));

  std::vector<std::string> asked;
  Tools().Confirm = [&](const std::string& question) {
    asked.push_back(question);
    return true;
  };
  dialog->TagList->setCurrentRow(0);
  dialog->DropButton->click();
  EXPECT_THAT(asked, ElementsAre(HasSubstr("Drop the tag TITLE")));
  EXPECT_THAT(TagNames(path), ElementsAre("BYYEAR"));
  EXPECT_EQ(dialog->TagList->count(), 1);
  EXPECT_EQ(Titles(path), kTitles);
  dialog->close();
}

// Pack, zap and copy do what they say; Cancel while the records are copied leaves the table and
// its folder as they were.
TEST_F(TableToolsTest, PackZapAndCopyAndACancelledPackChangesNothing) {
  const std::string path = MakeFilmTable();
  vexel::delete_record(path, 2);  // Matrix
  vexel::delete_record(path, 4);  // Mad Max
  Browse(path);
  Tools().Confirm = [](const std::string&) { return true; };

  std::vector<std::string> stages;
  Tools().OnProgress = [&](const std::string& label, std::int64_t, std::int64_t) {
    stages.push_back(label);
    if (label == "pack") Tools().Cancel();
  };
  EXPECT_FALSE(Tools().Pack());
  EXPECT_THAT(stages, ElementsAre("pack"));
  EXPECT_THAT(Tools().LastMessage, HasSubstr("cancelled: nothing was changed"));
  EXPECT_EQ(Titles(path), kTitles);
  EXPECT_THAT(LeftOver(), IsEmpty());
  EXPECT_TRUE(browser_->Table->Active());

  Tools().OnProgress = {};
  EXPECT_TRUE(Tools().Pack());
  EXPECT_THAT(Tools().LastMessage, HasSubstr("2 records removed, 5 kept"));
  EXPECT_THAT(Titles(path), ElementsAre("Zorro", "Alien", "Ma Vie", "Casablanca", "Metropolis"));
  EXPECT_EQ(ViewColumn().size(), 5u);

  TCopyDialog* copy = Tools().ShowCopy();
  copy->FileEdit->setText("later");
  copy->ConditionEdit->setText("YEAR >");
  EXPECT_THAT(MessageOf(copy), HasSubstr("The condition: "));
  EXPECT_FALSE(copy->OkButton->isEnabled());
  copy->ConditionEdit->setText("YEAR > 1993");
  copy->WithIndex->setChecked(true);
  copy->OkButton->click();
  const std::string later = dir_.File("later.DBF");
  EXPECT_THAT(Titles(later), ElementsAre("Ma Vie", "Casablanca", "Metropolis"));
  EXPECT_THAT(TagNames(later), ElementsAre("TITLE"));
  copy = Tools().ShowCopy();
  copy->FileEdit->setText("later");
  EXPECT_THAT(MessageOf(copy), HasSubstr("exists"));
  copy->close();

  EXPECT_TRUE(Tools().Zap());
  EXPECT_THAT(Titles(path), IsEmpty());
  EXPECT_THAT(TagNames(path), ElementsAre("TITLE"));
  EXPECT_TRUE(browser_->Table->Active());
  EXPECT_THAT(ViewColumn(), IsEmpty());
}

// Rows come in by the rules of vxdbf append: a CSV header that names no field is refused as
// the file is named, a value that does not fit refuses every row, JSON lines name their
// fields, and Cancel while the rows are read appends none.
TEST_F(TableToolsTest, ImportAppendsCsvAndJsonLinesByTheRulesOfVxdbfAppend) {
  const std::string path = MakeFilmTable();
  Browse(path);
  WriteText("good.csv", "\xEF\xBB\xBFTITLE,YEAR\r\nVertigo,1958\r\n\"Rear Window, The\",1954\r\n");
  WriteText("unknown.csv", "TITLE,GENRE\nVertigo,thriller\n");
  WriteText("wide.csv", "TITLE,YEAR\nVertigo,1958\nPsycho,12345\n");
  WriteText("films.jsonl",
            "{\"TITLE\":\"Psycho\",\"YEAR\":1960,\"COLOR\":false}\n\n"
            "{\"TITLE\":\"Rope\",\"YEAR\":null}\n");
  struct Case {
    const char* file;
    const char* problem;  // in the dialog as the file is named, or after OK
    bool named_problem;
    std::vector<std::string> added;
  };
  const Case cases[] = {
      {"unknown.csv", "names \"GENRE\", which is no field", true, {}},
      {"missing.csv", "There is no file", true, {}},
      {"wide.csv", "row 3", false, {}},
      {"good.csv", "", false, {"Vertigo", "Rear Window, The"}},
      {"films.jsonl", "", false, {"Psycho", "Rope"}},
  };
  std::vector<std::string> expected = kTitles;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TImportDialog* dialog = Tools().ShowImport();
    dialog->FileEdit->setText(QString::fromStdString(dir_.File(c.file)));
    if (c.named_problem) {
      EXPECT_THAT(MessageOf(dialog), HasSubstr(c.problem));
      EXPECT_FALSE(dialog->OkButton->isEnabled());
    } else {
      EXPECT_EQ(MessageOf(dialog), "");
      dialog->OkButton->click();
      if (*c.problem != '\0') {
        EXPECT_THAT(MessageOf(dialog), HasSubstr(c.problem));
        EXPECT_TRUE(dialog->isVisible());
      }
    }
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(Titles(path), expected);
    if (dialog->isVisible()) dialog->close();
  }
  EXPECT_EQ(Read(path).read(10).text("COLOR"), "F");
  EXPECT_EQ(ViewColumn().size(), expected.size()) << "the window shows the rows imported";

  Tools().OnProgress = [&](const std::string& label, std::int64_t, std::int64_t) {
    if (label == "read") Tools().Cancel();
  };
  TImportDialog* dialog = Tools().ShowImport();
  dialog->FileEdit->setText(QString::fromStdString(dir_.File("good.csv")));
  dialog->OkButton->click();
  EXPECT_THAT(MessageOf(dialog), HasSubstr("Import cancelled: nothing was changed"));
  EXPECT_EQ(Titles(path), expected);
  dialog->close();
}

// An operation that needs the table to itself, while another program has it open, says so in
// words and offers to try again; once the other program lets go, the retry goes through.
TEST_F(TableToolsTest, ATableAnotherProgramHasOpenIsRefusedInWordsAndTriedAgain) {
  const std::string path = MakeFilmTable();
  vexel::delete_record(path, 2);
  auto holder = std::make_unique<test::Child>([path](test::Child& c) {
    os::File file;
    if (os::File::Open(path, os::kOpenReadWriteDenyNone, file) != os::kIoOk) return 1;
    c.Send('O');
    c.Receive();
    return 0;
  });
  ASSERT_EQ(holder->Receive(), 'O');
  Browse(path);
  Tools().Confirm = [](const std::string&) { return true; };
  std::vector<std::string> asked;
  Tools().AskRetry = [&](const std::string& text) {
    asked.push_back(text);
    return false;
  };
  EXPECT_FALSE(Tools().Pack());
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_THAT(asked[0], HasSubstr("movie.DBF is held by another program: Pack needs the table "
                                  "to itself, so nothing was changed"));
  EXPECT_EQ(Tools().LastMessage, asked[0]);
  EXPECT_EQ(Titles(path), kTitles);
  EXPECT_TRUE(browser_->Table->Active()) << "the window has the table back";

  Tools().AskRetry = [&](const std::string& text) {
    asked.push_back(text);
    if (asked.size() == 3) {
      holder->Send('U');
      holder->Wait();
    }
    return true;
  };
  EXPECT_TRUE(Tools().Pack());
  EXPECT_EQ(asked.size(), 3u);
  EXPECT_EQ(Titles(path).size(), kTitles.size() - 1);
}

}  // namespace
}  // namespace vx::browser
