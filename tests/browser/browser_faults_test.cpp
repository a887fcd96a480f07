// Faults a user met in the browser, each driven as the user met it: a filter with no match in
// a deep tag, an edit refused for a lock, tags in their writer's own order, tables other
// programs guard, and the small things a day's work runs into.

#include <gmock/gmock.h>

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QLineEdit>
#include <cstdio>
#include <filesystem>
#include <set>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>

#include "tests/browser/browser_fixture.h"
#include "tests/support/cdx_writer.h"

namespace vx::browser {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// Films "Film 00" .. "Film nn" with a TITLE tag of two keys per leaf: a tree of many levels
// and more leaves than a walk to the end and back may pass in one direction.
class DeepTagTest : public BrowserTest {
 protected:
  std::string MakeDeepFilms(int count) {
    std::vector<std::string> titles;
    for (int i = 0; i < count; ++i) {
      char title[16];
      std::snprintf(title, sizeof title, "Film %02d", i);
      titles.emplace_back(title);
    }
    const std::string path = MakeIndexedFilms(titles);
    test::TagShape tag = TitleTag(titles);
    tag.keys_per_leaf = 2;
    test::WriteBytes(dir_.File("movie.MDX"), test::BuildMdx("movie", {tag}));
    return path;
  }
};

TEST_F(DeepTagTest, AFilterWithNoMatchInADeepTagShowsNoRowAndNoError) {
  Browse(MakeDeepFilms(60));
  browser_->OrderBox->setCurrentIndex(1);
  browser_->FilterField->setText("YEAR > 9999");
  Press(browser_->FilterField, Qt::Key_Return);
  EXPECT_THAT(RecordedMessages(), IsEmpty());
  EXPECT_THAT(Status(), HasSubstr("0 of 60 records match"));
  // No row stands for a record the filter hides.
  EXPECT_EQ(browser_->Grid->DataLink().RecordCount(), 0);
  EXPECT_TRUE(browser_->Table->IsEmpty());
  for (std::uint16_t key : {VK_NEXT, VK_PRIOR, VK_END, VK_HOME, VK_NEXT}) GridKey(key);
  EXPECT_THAT(RecordedMessages(), IsEmpty());
  // Up and down over a leaf's edge many times, then the whole tag back.
  browser_->FilterField->setText("YEAR < 1992");
  Press(browser_->FilterField, Qt::Key_Return);
  EXPECT_THAT(ViewColumn(), ElementsAre("Film 00", "Film 01"));
  for (int i = 0; i < 100; ++i) {
    GridKey(VK_DOWN);
    GridKey(VK_UP);
  }
  browser_->FilterField->clear();
  Press(browser_->FilterField, Qt::Key_Return);
  EXPECT_EQ(ViewColumn().size(), 60u);
  EXPECT_THAT(RecordedMessages(), IsEmpty());
}

// Another program holds record 2 while a title typed into the grid is carried away with Down:
// Cancel in the question keeps the typed title in its row, in edit, where the status line says
// it is; moving on again asks again and still keeps it, and once the other program lets go
// moving on writes it.
TEST_F(BrowserTest, ATitleRefusedForALockStaysInItsRowAfterCancel) {
  const std::string path = MakeFilmTable();
  const std::unique_ptr<test::Child> holder = HoldRecordLock(path, 2);
  test::Child& other = *holder;
  ASSERT_EQ(other.Receive(), 'L');
  Browse(path);
  browser_->Grid->SetFocus();
  GridKey(VK_DOWN);
  ASSERT_EQ(browser_->Table->RecNo(), 2);
  browser_->Grid->SetSelectedIndex(ColumnOf("TITLE"));
  browser_->Grid->SetEditorMode(true);
  ASSERT_NE(browser_->Grid->InplaceEditor(), nullptr);
  browser_->Grid->InplaceEditor()->selectAll();
  Type(browser_->Grid->InplaceEditor(), "Rear Window X");
  Press(browser_->Grid->InplaceEditor(), Qt::Key_Down);
  ASSERT_EQ(RecordedMessages().size(), 1u);
  EXPECT_THAT(RecordedMessages()[0], HasSubstr("Record 2 is locked by another program"));
  EXPECT_THAT(Status(), HasSubstr("your edit is kept in the row"));
  EXPECT_EQ(browser_->Table->RecNo(), 2);
  EXPECT_EQ(CurrentTitle(), "Rear Window X");
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Matrix              ");
  // Moving on asks again and, refused again, still keeps it.
  ClearRecordedMessages();
  QWidget* grid = browser_->Grid->Widget();
  Press(grid, Qt::Key_Down);
  Press(grid, Qt::Key_Up);
  EXPECT_EQ(browser_->Table->RecNo(), 2);
  EXPECT_EQ(CurrentTitle(), "Rear Window X");
  EXPECT_EQ(GridTitles()[1], "Rear Window X");

  other.Send('U');
  EXPECT_EQ(other.Wait(), 0);
  Press(grid, Qt::Key_Down);
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Rear Window X       ");
  EXPECT_EQ(browser_->Table->State(), dsBrowse);
  EXPECT_EQ(browser_->Table->RecNo(), 3);
}

// The same refusal through the program's real message box, answered with Cancel: the keys go
// back to the grid (its cell editor), so that Enter tries again at once.
TEST_F(BrowserTest, KeysGoBackToTheGridAfterTheLockedRecordQuestion) {
  const std::string path = MakeFilmTable();
  const std::unique_ptr<test::Child> holder = HoldRecordLock(path, 2);
  ASSERT_EQ(holder->Receive(), 'L');
  int argc = 0;
  InitWidgets(argc, nullptr);  // the GUI's message boxes instead of the recording
  struct Restore {
    ~Restore() { SetMessageBoxHook({}); }
  } restore;
  int asked = 0;
  QTimer answer;
  answer.setInterval(10);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++asked;
      box->button(QMessageBox::Cancel)->click();
    }
  });
  answer.start();
  Browse(path);
  QApplication::setActiveWindow(browser_->Widget());
  browser_->Grid->SetFocus();
  GridKey(VK_DOWN);
  TypeIntoCell("TITLE", "Rear Window X", Qt::Key_Down);
  QApplication::processEvents();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(CurrentTitle(), "Rear Window X");
  QWidget* grid = browser_->Grid->Widget();
  QWidget* focused = QApplication::focusWidget();
  EXPECT_TRUE(focused == grid || (focused != nullptr && grid->isAncestorOf(focused)))
      << (focused != nullptr ? focused->metaObject()->className() : "no widget has the keys");
  holder->Send('U');
  EXPECT_EQ(holder->Wait(), 0);
}

// A Visual FoxPro table whose header names a structural .CDX: its tags are in the order box,
// each, chosen, shows the records in its order (a descending tag from the highest key, a FOR
// tag its own records alone) and the search field seeks in it; a title typed into a cell is
// written with every tag kept current (the engine's own .CDX maintenance), so the order
// shown, read from the file again, puts it in its new place.
TEST_F(BrowserTest, AFoxProTableWithAStructuralCdxIsEditedAndBrowsedInItsTagsOrders) {
  const std::string path = dir_.File("FOX.DBF");
  const std::vector<std::pair<std::string, int>> films = {
      {"Vertigo", 1958}, {"Psycho", 1960}, {"Rope", 1948}, {"Marnie", 1964}};
  {
    vexel::CreateOptions create;
    create.version = 0x30;  // Visual FoxPro
    vexel::create(path, {{"TITLE", 'C', 20, 0}, {"YEAR", 'N', 4, 0}}, create);
    vexel::Table table = vexel::open(path);
    for (const auto& [title, year] : films)
      table.append({{"TITLE", title}, {"YEAR", std::int64_t{year}}});
  }
  std::vector<unsigned char> bytes = test::ReadBytes(path);
  bytes[28] |= 0x01;  // "a structural .CDX belongs to this table"
  test::WriteBytes(path, bytes);
  const auto shape = [](const char* name, const char* key, int length) {
    test::CdxTagShape tag;
    tag.name = name;
    tag.key_expression = key;
    tag.key_length = length;
    return tag;
  };
  test::CdxTagShape title = shape("TITLE", "TITLE", 20);
  test::CdxTagShape year = shape("YEAR", "YEAR", 8);
  year.numeric = true;
  year.descending = true;
  test::CdxTagShape late = shape("LATE", "TITLE", 20);
  late.for_expression = "YEAR > 1950";
  for (std::size_t i = 0; i < films.size(); ++i) {
    const auto record = static_cast<std::uint32_t>(i + 1);
    const std::string key = films[i].first + std::string(20 - films[i].first.size(), ' ');
    title.items.emplace_back(key, record);
    year.items.emplace_back(test::CdxNumber(films[i].second), record);
    if (films[i].second > 1950) late.items.emplace_back(key, record);
  }
  test::WriteBytes(dir_.File("FOX.CDX"), test::BuildCdx({title, year, late}));
  Browse(path);
  EXPECT_FALSE(browser_->Table->ReadOnly());
  std::vector<std::string> entries;
  for (int i = 0; i < browser_->OrderBox->count(); ++i)
    entries.push_back(browser_->OrderBox->itemText(i).toStdString());
  // In the order of the .CDX's directory, by name.
  EXPECT_THAT(entries, ElementsAre("Natural order", "LATE (.CDX)", "TITLE (.CDX)", "YEAR (.CDX)"));
  struct Order {
    int entry;
    std::vector<std::string> titles;
  };
  for (const Order& o : {Order{2, {"Marnie", "Psycho", "Rope", "Vertigo"}},
                         Order{3, {"Marnie", "Psycho", "Vertigo", "Rope"}},
                         Order{1, {"Marnie", "Psycho", "Vertigo"}}}) {
    SCOPED_TRACE(o.entry);
    browser_->OrderBox->setCurrentIndex(o.entry);
    EXPECT_THAT(Status(), HasSubstr(entries[static_cast<std::size_t>(o.entry)] + " order"));
    EXPECT_THAT(ViewColumn(), ElementsAreArray(o.titles));
  }
  browser_->OrderBox->setCurrentIndex(2);
  browser_->Table->First();
  Type(browser_->SearchField, "Ro");
  EXPECT_EQ(CurrentTitle(), "Rope");
  EXPECT_THAT(Status(), HasSubstr("found \"Ro\""));
  browser_->SearchField->clear();
  Type(browser_->SearchField, "S");
  EXPECT_EQ(CurrentTitle(), "Vertigo") << "the next higher key";

  // Vertigo retitled in the grid, in the TITLE tag's order.
  TypeIntoCell("TITLE", "Dial M", Qt::Key_Return);
  EXPECT_THAT(RecordedMessages(), IsEmpty());
  EXPECT_EQ(std::get<std::string>(vexel::open(path).read(1)["TITLE"]), "Dial M");
  EXPECT_THAT(ViewColumn(), ElementsAre("Dial M", "Marnie", "Psycho", "Rope"));
  browser_->OrderBox->setCurrentIndex(1);
  EXPECT_THAT(ViewColumn(), ElementsAre("Dial M", "Marnie", "Psycho"));
  EXPECT_THAT(RecordedMessages(), IsEmpty());
}

// MELDOM.DBF's NAME_TAG keeps its keys in its writer's signed-byte order (letters above 127
// before ASCII). Chosen in the order box, it is browsed in that order from top to bottom by
// PgDn (and the window's refresh) without an error, read-only, with the reason in the status line; the table's other
// tags and natural order are still edited as usual after it.
TEST_F(BrowserTest, ATagInItsWritersOwnOrderIsBrowsedReadOnlyInThatOrder) {
  const std::filesystem::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no corpus folder beside the repository and VX_CORPUS_DIR unset";
  for (const char* ext : {".DBF", ".DBT", ".MDX"}) {
    std::filesystem::copy_file(corpus / "cimc-pcs7" / "meldeom" / (std::string("MELDOM") + ext),
                               dir_.File(std::string("MELDOM") + ext));
  }
  const std::string path = dir_.File("MELDOM.DBF");
  const std::vector<unsigned char> before = test::ReadBytes(path);
  Browse(path);
  int name_tag = -1;
  for (int i = 0; i < browser_->OrderBox->count(); ++i) {
    if (browser_->OrderBox->itemText(i) == "NAME_TAG") name_tag = i;
  }
  ASSERT_GT(name_tag, 0);
  browser_->OrderBox->setCurrentIndex(name_tag);
  EXPECT_THAT(Status(), HasSubstr("read-only"));
  EXPECT_THAT(Status(), HasSubstr("writer's own order"));
  EXPECT_THAT(Status(), HasSubstr("tag NAME_TAG"));
  // Every record the tag holds, once, by PgDn.
  std::set<std::int32_t> seen;
  for (int page = 0; page < 60; ++page) {
    for (int row = 0; row < browser_->Grid->DataLink().RecordCount(); ++row) {
      LinkRecordScope scope(browser_->Grid->DataLink(), row);
      seen.insert(browser_->Table->RecNo());
    }
    if (browser_->Table->Eof()) break;
    Press(browser_->Grid->Widget(), Qt::Key_PageDown);
    browser_->RefreshRows();  // as the window's timer does every two seconds
  }
  EXPECT_THAT(RecordedMessages(), IsEmpty());
  EXPECT_EQ(seen.size(), 92u);  // the tag's keys (its FOR leaves out the deleted records)
  // A key typed into a cell starts no edit.
  browser_->Grid->SetFocus();
  browser_->Grid->SetSelectedIndex(ColumnOf("NAME"));
  Type(browser_->Grid->Widget(), "A");
  EXPECT_EQ(browser_->Table->State(), dsBrowse);
  EXPECT_EQ(test::ReadBytes(path), before);
  // Natural order again: edits are the table's own business once more.
  browser_->OrderBox->setCurrentIndex(0);
  EXPECT_THAT(Status(), Not(HasSubstr("read-only")));
  browser_->Table->Edit();
  EXPECT_EQ(browser_->Table->State(), dsEdit);
  browser_->Table->Cancel();
}

}  // namespace
}  // namespace vx::browser
