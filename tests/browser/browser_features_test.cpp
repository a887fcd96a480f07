// The browser's everyday features driven through their real keys, clicks and fields: the
// table's own code page, sorting by a column title, the filter bar and quick search, the
// record form, undo and redo, copy, paste and export, the structure view, and the settings
// kept between sessions.

#include <gmock/gmock.h>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <fstream>
#include <functional>
#include <sstream>
#include <variant>
#include <vexel/vexel.hpp>

#include "browser/form_text.h"
#include "browser/record_form.h"
#include "browser/search_key.h"
#include "browser/sort_builder.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "tests/browser/browser_fixture.h"

namespace vx::browser {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// --- The table's own code page -------------------------------------------------------------

// A table marked with code page 1252 (language driver 0x57) holding "Köln" and "São Paulo",
// with a CODE tag over the stored bytes.
std::string MakeMarkedTable(test::TempDir& dir, std::uint8_t mark) {
  const std::vector<test::Row> rows = {{"K\xF6ln", 1}, {"S\xE3o P", 2}, {"Bonn", 3}};
  std::vector<unsigned char> table = test::TableBytes(rows);
  table[29] = mark;
  test::WriteBytes(dir.File("CP.DBF"), table);
  test::WriteBytes(dir.File("CP.MDX"), test::BuildMdx("CP", test::RowTags(rows)));
  return dir.File("CP.DBF");
}

TEST_F(BrowserTest, TextIsShownAndSoughtInTheTablesOwnCodePageAndTheViewMenuChangesIt) {
  os::SetCodePages(850, 1252);
  Browse(MakeMarkedTable(dir_, 0x57));
  EXPECT_EQ(browser_->CodePage(), 1252);
  EXPECT_EQ(browser_->CodePageSource(), PageSource::kMark);
  EXPECT_THAT(Status(), HasSubstr("code page 1252"));
  browser_->Table->First();
  EXPECT_EQ(AnsiToQString(browser_->Table->FieldByName("CODE")->DisplayText()).toStdString(),
            "K\u00f6ln");
  // The key is made from the stored bytes: the seek finds what the index holds.
  browser_->OrderBox->setCurrentIndex(1);
  browser_->SearchField->setText(QString::fromUtf8("S\u00e3o"));
  EXPECT_EQ(browser_->Table->FieldByName("NUM")->AsInteger(), 2);
  EXPECT_THAT(Status(), HasSubstr("found"));

  // View > Code page 850: the same bytes read as that page at once.
  QAction* page_850 = nullptr;
  for (QAction* action : browser_->CodePageMenu->actions()) {
    if (action->data().toInt() == 850) page_850 = action;
  }
  ASSERT_NE(page_850, nullptr);
  page_850->trigger();
  EXPECT_EQ(browser_->CodePage(), 850);
  EXPECT_THAT(Status(), HasSubstr("code page 850 (chosen)"));
  browser_->Table->SetRecNo(1);
  EXPECT_EQ(AnsiToQString(browser_->Table->FieldByName("CODE")->DisplayText()).toStdString(),
            "K\u00f7ln");
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
  os::SetCodePagesFromLocale();
}

// A page chosen in View > Code page belongs to its table: File > Recent files opens another
// table in the page it says, and the choice comes back with the first table only.
TEST_F(BrowserTest, APageChosenForOneTableIsNotCarriedToTheNextTableOpened) {
  os::SetCodePages(850, 1252);
  test::TempDir other_dir;
  const std::string other = MakeMarkedTable(other_dir, 0x57);
  const std::string first = MakeMarkedTable(dir_, 0x57);
  Browse(other);
  ASSERT_TRUE(browser_->OpenTable(first));
  const auto menu_action = [&](QMenu* menu, const std::function<bool(QAction*)>& wanted) {
    for (QAction* action : menu->actions()) {
      if (wanted(action)) return action;
    }
    ADD_FAILURE() << "no such entry in " << menu->title().toStdString();
    return static_cast<QAction*>(nullptr);
  };
  const auto page_entry = [&](int page) {
    return menu_action(browser_->CodePageMenu,
                       [page](QAction* a) { return a->isCheckable() && a->data().toInt() == page; });
  };
  const auto open_recent = [&](const std::string& path) {
    menu_action(browser_->RecentMenu, [&](QAction* a) {
      return a->text().toStdString() == std::filesystem::absolute(path).string();
    })->trigger();
  };
  const auto first_code = [&] {
    browser_->Table->SetRecNo(1);
    return AnsiToQString(browser_->Table->FieldByName("CODE")->DisplayText()).toStdString();
  };
  page_entry(866)->trigger();
  EXPECT_THAT(Status(), HasSubstr("code page 866 (chosen)"));

  open_recent(other);
  EXPECT_EQ(browser_->CodePage(), 1252);
  EXPECT_EQ(browser_->CodePageSource(), PageSource::kMark);
  EXPECT_THAT(Status(), ::testing::Not(HasSubstr("866")));
  EXPECT_EQ(first_code(), "K\u00f6ln");
  EXPECT_TRUE(page_entry(0)->isChecked()) << "As the table says";
  EXPECT_FALSE(page_entry(866)->isChecked());

  open_recent(first);
  EXPECT_EQ(browser_->CodePage(), 866);
  EXPECT_EQ(browser_->CodePageSource(), PageSource::kChosen);
  EXPECT_TRUE(page_entry(866)->isChecked());

  // Nor was the choice kept for the other table when it was closed.
  open_recent(other);
  EXPECT_EQ(browser_->CodePage(), 1252);
  EXPECT_EQ(first_code(), "K\u00f6ln");
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
  os::SetCodePagesFromLocale();
}

TEST_F(BrowserTest, AnUnmarkedTableIsReadInTheLocalesDosPage) {
  os::SetCodePages(850, 1252);
  Browse(MakeMarkedTable(dir_, 0));
  EXPECT_EQ(browser_->CodePage(), 850);
  EXPECT_EQ(browser_->CodePageSource(), PageSource::kLocale);
  EXPECT_THAT(Status(), HasSubstr("code page 850 (no mark: locale)"));
  os::SetCodePagesFromLocale();
}

TEST_F(BrowserTest, NumbersShowTheirDeclaredDecimalsRightAligned) {
  ZOvEzi* prices = new ZOvEzi(&form_);
  prices->SetDbfFileName(dir_.File("PRICES.DBF"));
  prices->DbfFields().Add("item, C, 10, 0");
  prices->DbfFields().Add("price, N, 10, 2");
  prices->SetActive(true);
  prices->Append();
  prices->FieldByName("ITEM")->SetAsString("House");
  prices->FieldByName("PRICE")->SetAsFloat(53131);
  prices->Post();
  delete prices;
  Browse(dir_.File("PRICES.DBF"));
  EXPECT_EQ(browser_->Table->FieldByName("PRICE")->DisplayText(), "53131.00");
  EXPECT_EQ(browser_->Grid->Columns().Items(ColumnOf("PRICE"))->Alignment(), taRightJustify);
}

TEST(SearchKeyText, FollowsTheKeyExpression) {
  struct Case {
    const char* expression;
    const char* typed;
    const char* key;
  };
  const Case cases[] = {
      {"UPPER(TITLE)", "ti12", "TI12"}, {"upper( name )", "k\u00f6ln", "K\u00d6LN"},
      {"STR(NUM,5)", "45", "   45"},    {"STR(PRICE, 8, 2)", "12.5", "   12.50"},
      {"STR(NUM)", "7", "         7"},  {"STR(NUM,5)+CODE", "45", "   45"},
      {"STR(NUM,5)", "4x", "4x"},       {"TITLE", "ti12", "ti12"},
      {"DTOS(WHEN)", "2024", "2024"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SearchKeyText(c.expression, c.typed), c.key) << c.expression;
}

// --- Sorting by a column -------------------------------------------------------------------

TEST_F(BrowserTest, ClickingATitleSortsThroughATagOrABackgroundOrderAndAgainReverses) {
  Browse(MakeFilmTable());
  // TITLE has a tag: the click chooses it.
  ClickTitle("TITLE");
  EXPECT_EQ(browser_->Table->ActiveOrder(), 1);
  EXPECT_EQ(browser_->OrderBox->currentText().toStdString(), "TITLE");
  std::vector<std::string> sorted = kTitles;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_THAT(ViewColumn(), ElementsAreArray(sorted));

  // YEAR has none: a temporary order is built in the background.
  browser_->Table->SetRecNo(4);
  ClickTitle("YEAR");
  browser_->FinishSort();
  EXPECT_FALSE(browser_->Sorting());
  EXPECT_FALSE(browser_->SortProgress->isVisible());
  EXPECT_EQ(browser_->Table->RecNo(), 4) << "the current record stays current";
  EXPECT_THAT(browser_->OrderBox->currentText().toStdString(), HasSubstr("YEAR"));
  EXPECT_THAT(browser_->OrderBox->currentText().toStdString(), HasSubstr("temporary"));
  EXPECT_THAT(ViewColumn("YEAR"),
              ElementsAre("1990", "1991", "1992", "1993", "1994", "1995", "1996"));
  ClickTitle("YEAR");
  browser_->FinishSort();
  EXPECT_THAT(ViewColumn("YEAR"),
              ElementsAre("1996", "1995", "1994", "1993", "1992", "1991", "1990"));
  EXPECT_THAT(Status(), HasSubstr("by YEAR descending (temporary)"));

  // Deleted records hidden and a filter still apply in the temporary order.
  ASSERT_TRUE(browser_->ApplyFilter("YEAR < 1993"));
  EXPECT_THAT(ViewColumn("YEAR"), ElementsAre("1992", "1991", "1990"));
  ASSERT_TRUE(browser_->ApplyFilter(""));

  // An appended record is a change the list cannot follow: back to natural order.
  browser_->Table->Append();
  browser_->Table->FieldByName("TITLE")->SetAsString("Brazil");
  browser_->Table->FieldByName("YEAR")->SetAsInteger(1985);
  browser_->Table->Post();
  EXPECT_FALSE(browser_->Table->HasRecordOrder());
  EXPECT_THAT(Status(), HasSubstr("dropped"));
  EXPECT_EQ(ViewColumn().size(), kTitles.size() + 1);
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
}


// Sorting by a column without a tag, for every field type at several places in the record
// (behind wide fields, so that a stored place and a place in the record image differ): the
// browser's order, both ways, matches a stable sort of the values the library reads.
TEST_F(BrowserTest, ASortWithoutATagOrdersEveryFieldTypeByItsOwnValues) {
  struct Layout {
    std::string name;
    std::uint8_t version;
    std::vector<vexel::Field> fields;
  };
  const std::vector<Layout> layouts = {
      {"DB4.DBF",
       0x8B,
       {{"A", 'C', 3, 0},
        {"RUNTIME", 'N', 4, 0},
        {"NAME", 'C', 12, 0},
        {"PRICE", 'N', 8, 2},
        {"BORN", 'D', 8, 0},
        {"RATE", 'F', 6, 1},
        {"OK", 'L', 1, 0},
        {"TAIL", 'C', 5, 0}}},
      {"L7.DBF",
       0x8C,
       {{"K", 'C', 2, 0},
        {"COUNT", 'I', 4, 0},
        {"SCORE", 'O', 8, 0},
        {"AT", '@', 8, 0},
        {"NOTE", 'C', 4, 0}}},
  };
  constexpr int kRecords = 41;
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const std::string path = dir_.File(layout.name);
    std::vector<vexel::Record> records;
    {
      vexel::CreateOptions options;
      options.version = layout.version;
      vexel::Table table = vexel::create(path, layout.fields, options);
      for (int i = 0; i < kRecords; ++i) {
        const int v = (i * 29) % 23 - 9;  // repeats, negatives
        const bool blank = i % 10 == 4;
        const auto or_blank = [&](vexel::Value value) {
          return blank ? vexel::Value{} : value;
        };
        vexel::Assignments values;
        for (const vexel::Field& f : layout.fields) {
          vexel::Value value;
          switch (f.type) {
            case 'C':
              value = std::string(1, static_cast<char>('A' + (i * 7) % 26)) +
                      std::string(1, static_cast<char>('a' + (i * 11) % 5));
              break;
            case 'N':
            case 'F':
              value = or_blank(f.decimals > 0 || f.type == 'F' ? vexel::Value{v * 12.25 / 10}
                                                               : vexel::Value{std::int64_t{v * 13}});
              break;
            case 'I':
              value = std::int64_t{v * 100003};
              break;
            case 'O':
              value = or_blank(v * 1.5e7 + 0.25);
              break;
            case 'D':
              value = or_blank(vexel::Date{1999 + (i % 3), 1 + (i * 5) % 12, 1 + (i * 7) % 28});
              break;
            case '@':
              value = or_blank(
                  vexel::DateTime{vexel::Date{2000 - (i % 2), 12, 28 + i % 4}, (i * 5) % 24, 0, 0, 0});
              break;
            case 'L':
              value = i % 7 == 0 ? vexel::Value{} : vexel::Value{i % 3 == 0};
              break;
          }
          values.emplace_back(f.name, value);
        }
        table.append(values);
      }
      for (std::uint32_t n = 1; n <= kRecords; ++n) records.push_back(table.read(n));
    }
    Browse(path);
    for (const vexel::Field& f : layout.fields) {
      for (const bool descending : {false, true}) {
        SCOPED_TRACE(f.name + (descending ? " descending" : ""));
        std::vector<std::int32_t> expected(kRecords);
        for (int i = 0; i < kRecords; ++i) expected[static_cast<std::size_t>(i)] = i + 1;
        std::stable_sort(expected.begin(), expected.end(), [&](std::int32_t a, std::int32_t b) {
          const vexel::Value& va = records[static_cast<std::size_t>(a - 1)][f.name];
          const vexel::Value& vb = records[static_cast<std::size_t>(b - 1)][f.name];
          return descending ? vb < va : va < vb;
        });
        ClickTitle(f.name);
        browser_->FinishSort();
        ASSERT_TRUE(browser_->Table->HasRecordOrder());
        std::vector<std::int32_t> shown;
        for (browser_->Table->First(); !browser_->Table->Eof(); browser_->Table->Next())
          shown.push_back(static_cast<std::int32_t>(browser_->Table->RecNo()));
        EXPECT_THAT(shown, ElementsAreArray(expected));
      }
    }
    EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
    delete browser_;
    browser_ = nullptr;
  }
}

// The background sort over sizes that change its shape (empty, one record, one block, many
// blocks), by text and by number, both ways: equal values stay in record order, and the
// positions are the order's inverse. Cancelled, it leaves nothing behind.
TEST(SortBuilderTest, EqualValuesKeepRecordOrderBothWaysAndThePositionsInvertTheOrder) {
  test::TempDir dir;
  for (const int count : {0, 1, 5, 100000}) {
    std::vector<test::Row> rows;
    for (int i = 0; i < count; ++i)
      rows.push_back({std::to_string((i * 37) % 11), i % 7 == 3 ? 0 : (i * 13) % 17});
    const std::string path = dir.File("S" + std::to_string(count) + ".DBF");
    test::WriteBytes(path, test::TableBytes(rows));
    for (const char type : {'C', 'N'}) {
      for (const bool descending : {false, true}) {
        SCOPED_TRACE(std::to_string(count) + type + (descending ? " descending" : ""));
        SortSource source{path, 97, 12, count, StoredField(type, type == 'C' ? 1 : 7, type == 'C' ? 6 : 5),
                          descending};
        SortBuilder builder(source);
        builder.Wait();
        ASSERT_EQ(builder.Error(), "");
        const std::vector<std::int32_t> order = builder.TakeOrder();
        const std::vector<std::int32_t> positions = builder.TakePositions();
        ASSERT_EQ(order.size(), static_cast<std::size_t>(count));
        const auto key = [&](std::int32_t n) {
          const test::Row& r = rows[static_cast<std::size_t>(n - 1)];
          return type == 'C' ? std::string(r.code) : std::to_string(100 + r.num);
        };
        for (std::size_t i = 0; i + 1 < order.size(); ++i) {
          const std::string a = key(order[i]), b = key(order[i + 1]);
          ASSERT_TRUE(a == b ? order[i] < order[i + 1] : descending ? a > b : a < b) << i;
        }
        for (std::size_t i = 0; i < order.size(); ++i)
          ASSERT_EQ(positions[static_cast<std::size_t>(order[i])], static_cast<std::int32_t>(i));
      }
    }
  }
  SortSource source{dir.File("S100000.DBF"), 97, 12, 100000, StoredField('C', 1, 6), false};
  SortBuilder cancelled(source);
  cancelled.Cancel();
  cancelled.Wait();
  if (cancelled.Error() == "cancelled") {
    EXPECT_TRUE(cancelled.TakeOrder().empty());
    EXPECT_TRUE(cancelled.TakePositions().empty());
  }
}

// A large table sorted by a character column: the window keeps answering while the order is
// built (the search field takes text), and Cancel leaves natural order.
TEST_F(BrowserTest, ASortOfALargeTableRunsBehindTheWindowAndCanBeCancelled) {
  std::vector<test::Row> rows;
  for (int i = 0; i < 200000; ++i) rows.push_back({std::to_string((i * 7919) % 100000), i});
  test::WriteBytes(dir_.File("BIG.DBF"), test::TableBytes(rows));
  std::vector<unsigned char> table = test::ReadBytes(dir_.File("BIG.DBF"));
  table[28] = 0;
  test::WriteBytes(dir_.File("BIG.DBF"), table);
  Browse(dir_.File("BIG.DBF"));
  ClickTitle("CODE");
  browser_->QuickField->setText("still typing");
  EXPECT_EQ(browser_->QuickField->text().toStdString(), "still typing");
  browser_->CancelSort();
  EXPECT_FALSE(browser_->Sorting());
  if (!browser_->Table->HasRecordOrder()) {
    EXPECT_THAT(Status(), HasSubstr("sorting stopped: cancelled"));
    EXPECT_EQ(browser_->Table->RecNo(), 1);
  }
  // Sorted to the end, the first records hold the smallest codes.
  ClickTitle("CODE");
  browser_->FinishSort();
  ASSERT_TRUE(browser_->Table->HasRecordOrder());
  browser_->Table->First();
  EXPECT_EQ(browser_->Table->FieldByName("CODE")->AsString(), "0");
}

// --- Filter bar and quick search -----------------------------------------------------------

TEST_F(BrowserTest, TheFilterIsCheckedAsTypedAppliedWithEnterAndCounted) {
  Browse(MakeFilmTable());
  browser_->FilterField->setText("YEAR > ");
  EXPECT_EQ(browser_->FilterMessage->text().toStdString(),
            "Syntax error: the expression ends too early");
  browser_->FilterField->setText("YEAR > NOPE");
  EXPECT_THAT(browser_->FilterMessage->text().toStdString(), HasSubstr("NOPE at position 8"));
  browser_->FilterField->setText("YEAR > 1991 .AND. \"Ma\" $ TITLE");
  EXPECT_TRUE(browser_->FilterMessage->text().isEmpty());
  browser_->FilterField->setText("TITLE");
  EXPECT_THAT(browser_->FilterMessage->text().toStdString(), HasSubstr("true or false"));
  browser_->FilterField->setText("YEAR > 1991 .AND. \"Ma\" $ TITLE");
  Press(browser_->FilterField, Qt::Key_Return);
  EXPECT_THAT(ViewColumn(), ElementsAre("Mad Max", "Ma Vie"));
  EXPECT_THAT(Status(), HasSubstr("2 of 7 records match"));
  // In tag order too.
  browser_->OrderBox->setCurrentIndex(1);
  EXPECT_THAT(ViewColumn(), ElementsAre("Ma Vie", "Mad Max"));
  browser_->FilterField->clear();
  Press(browser_->FilterField, Qt::Key_Return);
  EXPECT_EQ(ViewColumn().size(), kTitles.size());
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
}

TEST_F(BrowserTest, QuickSearchFindsTheNextRecordHoldingTheTextInAnyColumn) {
  Browse(MakeFilmTable());
  GridKey('F', TShiftState{ssCtrl});
  browser_->QuickField->setText("ma");
  Press(browser_->QuickField, Qt::Key_Return);
  EXPECT_EQ(CurrentTitle(), "Matrix");
  GridKey(0x72);  // F3
  EXPECT_EQ(CurrentTitle(), "Mad Max");
  GridKey(0x72);
  EXPECT_EQ(CurrentTitle(), "Ma Vie");
  browser_->QuickField->setText("1996");  // a year, in another column
  GridKey(0x72);
  EXPECT_EQ(CurrentTitle(), "Metropolis");
  GridKey(0x72);
  EXPECT_EQ(CurrentTitle(), "Metropolis") << "nothing after it: the record stays";
  EXPECT_THAT(Status(), HasSubstr("not found"));

  browser_->AskRecordNumber = [](std::int32_t& n) {
    n = 3;
    return true;
  };
  GridKey('G', TShiftState{ssCtrl});
  EXPECT_EQ(browser_->Table->RecNo(), 3);
  GridKey(VK_END, TShiftState{ssCtrl});
  EXPECT_EQ(CurrentTitle(), "Metropolis");
  GridKey(VK_HOME, TShiftState{ssCtrl});
  EXPECT_EQ(CurrentTitle(), "Zorro");
}

// --- Code-page assistant -------------------------------------------------------------------

TEST_F(BrowserTest, TheCodePageAssistantRanksAnUnmarkedTablesTextAndPreviewsTheChoice) {
  const std::string path = MakeFilmTable();
  std::vector<unsigned char> bytes = test::ReadBytes(path);
  bytes[29] = 0;  // no language driver mark
  const char* const kTexts[] = {"Crème brûlée", "Año nuevo señor", "Größe über alles"};
  for (int n = 1; n <= 3; ++n) {
    std::string stored = os::EncodeCodePage(1252, kTexts[n - 1], os::OnFault::kStop).text;
    stored.resize(20, ' ');
    std::copy(stored.begin(), stored.end(),
              bytes.begin() + test::kFilmHeaderLength + (n - 1) * test::kFilmRecordLength + 1);
  }
  test::WriteBytes(path, bytes);
  Browse(path);
  ASSERT_EQ(browser_->CodePageSource(), PageSource::kLocale);
  EXPECT_THAT(Status(), HasSubstr("Code page > Suggest"));
  const int locale_page = browser_->CodePage();
  GridKey(VK_DOWN);

  const auto assistant = [&] {
    browser_->SuggestPageAction->trigger();
    EXPECT_NE(browser_->PageAssistant.data(), nullptr);
    return browser_->PageAssistant->findChild<QListWidget*>("RankedPages");
  };
  QListWidget* list = assistant();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->item(0)->data(Qt::UserRole).toInt(), 1252);
  EXPECT_THAT(list->item(0)->text().toStdString(), HasSubstr("Crème"));
  // 1254 reads these bytes as the same letters: the window says they are equivalent.
  EXPECT_EQ(list->item(1)->data(Qt::UserRole).toInt(), 1254);
  EXPECT_THAT(list->item(1)->text().toStdString(), HasSubstr("= Crème"));
  const QLabel* intro = browser_->PageAssistant->findChild<QLabel*>();
  ASSERT_NE(intro, nullptr);
  EXPECT_THAT(intro->text().toStdString(),
              HasSubstr("Equivalent: code pages 1252 and 1254 read every byte"));
  EXPECT_THAT(intro->text().toStdString(), HasSubstr("Code page 1252 reads this text best."));
  EXPECT_EQ(browser_->Table->RecNo(), 2) << "reading the sample keeps the grid's record";
  // A row chosen shows the table in its page at once; Cancel goes back.
  list->setCurrentRow(0);
  EXPECT_EQ(browser_->CodePage(), 1252);
  EXPECT_THAT(Utf8(CurrentTitle()), HasSubstr("Año nuevo señor"));
  browser_->PageAssistant->reject();
  EXPECT_EQ(browser_->CodePage(), locale_page);
  EXPECT_EQ(browser_->CodePageSource(), PageSource::kLocale);

  list = assistant();
  list->setCurrentRow(0);
  browser_->PageAssistant->accept();
  EXPECT_EQ(browser_->CodePage(), 1252);
  EXPECT_EQ(browser_->CodePageSource(), PageSource::kChosen);
  EXPECT_THAT(Status(), HasSubstr("code page 1252 (chosen)"));
}

// --- Structure and check -------------------------------------------------------------------

TEST_F(BrowserTest, TheStructureViewListsFieldsTagsMemoFileAndHeader) {
  Browse(MakeFilmTable());
  const std::string text = browser_->StructureText();
  EXPECT_THAT(text, HasSubstr("Records       7"));
  EXPECT_THAT(text, HasSubstr("TITLE       C         20"));
  EXPECT_THAT(text, HasSubstr("PLOT        M         10"));
  EXPECT_THAT(text, HasSubstr("dBASE IV .DBT, blocks of"));
  EXPECT_THAT(text, HasSubstr("TITLE  key TITLE  type C  keys 7"));
  browser_->ShowStructure();
  browser_->CheckAction->trigger();
  EXPECT_THAT(browser_->CheckReport, HasSubstr("No problems found (1 tags)"));
}

TEST_F(BrowserTest, CheckTableReportsADamagedTagAndRepairsItOnlyWhenAsked) {
  const std::string path = MakeFilmTable();
  // The index lost the key of the last record, as a program that died mid-update leaves it.
  std::vector<std::string> short_list(kTitles.begin(), kTitles.end() - 1);
  const std::vector<unsigned char> damaged = test::BuildMdx("movie", {TitleTag(short_list)});
  test::WriteBytes(dir_.File("movie.MDX"), damaged);
  Browse(path);

  std::vector<std::string> asked;
  SetMessageBoxHook([&](const std::string& text, const std::string&, int flags) {
    asked.push_back(text);
    return flags == (MB_YESNO | MB_ICONWARNING) ? IDNO : IDOK;
  });
  browser_->CheckAction->trigger();
  EXPECT_THAT(browser_->CheckReport, HasSubstr("tag TITLE: "));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_THAT(asked[0], HasSubstr("Repair now?"));
  EXPECT_EQ(test::ReadBytes(dir_.File("movie.MDX")), damaged) << "declined: nothing changes";
  EXPECT_TRUE(browser_->Table->Active());

  SetMessageBoxHook([&](const std::string& text, const std::string&, int) {
    asked.push_back(text);
    return IDYES;
  });
  browser_->CheckAction->trigger();
  ASSERT_EQ(asked.size(), 3u) << "the question, then what the repair did";
  EXPECT_THAT(asked[2], HasSubstr("Rebuilt tag(s) TITLE"));
  EXPECT_TRUE(os::FileExists(dir_.File("movie.MDX.bak")));
  ASSERT_TRUE(browser_->Table->Active()) << "the table is open again after the repair";
  EXPECT_EQ(ViewColumn().size(), kTitles.size());
  browser_->ChooseOrder(1);
  EXPECT_EQ(ViewColumn().back(), "Zorro") << "the rebuilt tag holds the lost key";

  browser_->CheckAction->trigger();
  EXPECT_THAT(browser_->CheckReport, HasSubstr("No problems found (1 tags)"));
  SetMessageBoxHook({});
}

// --- Record form ---------------------------------------------------------------------------

TEST_F(BrowserTest, TheRecordFormFollowsTheGridAndWritesWhatIsTypedIntoIt) {
  Browse(MakeFilmTable());
  browser_->RecordFormAction->trigger();
  ASSERT_TRUE(browser_->FormPanel->Visible());
  auto* title = qobject_cast<QLineEdit*>(browser_->RecordForm->Editor("TITLE"));
  auto* color = qobject_cast<QCheckBox*>(browser_->RecordForm->Editor("COLOR"));
  ASSERT_NE(title, nullptr);
  ASSERT_NE(color, nullptr);
  EXPECT_NE(qobject_cast<QDateEdit*>(browser_->RecordForm->Editor("PREMIERE")), nullptr);
  EXPECT_NE(qobject_cast<QPlainTextEdit*>(browser_->RecordForm->Editor("PLOT")), nullptr);
  EXPECT_EQ(title->text().toStdString(), "Zorro");
  GridKey(VK_DOWN);
  EXPECT_EQ(title->text().toStdString(), "Matrix");

  title->selectAll();
  Type(title, "The Matrix");
  Press(title, Qt::Key_Return);
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "The Matrix          ");
  color->click();
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kColor), "T");
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
}

// --- Undo and redo -------------------------------------------------------------------------

TEST_F(BrowserTest, UndoWritesTheOldValuesBackAndRedoTheNewOnesUnlessAnotherProgramChangedThem) {
  const std::string path = MakeFilmTable();
  Browse(path);
  browser_->Table->SetRecNo(2);
  browser_->Table->Edit();
  browser_->Table->FieldByName("YEAR")->SetAsInteger(1999);
  browser_->Table->Post();
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kYear), "1999");
  browser_->Table->First();
  GridKey('Z', TShiftState{ssCtrl});
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kYear), "1991");
  EXPECT_EQ(browser_->Table->RecNo(), 2);
  GridKey('Y', TShiftState{ssCtrl});
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kYear), "1999");

  // A deletion mark is undone too.
  browser_->ToggleDeleted();
  EXPECT_EQ(StoredFlag("movie.DBF", 2), '*');
  EXPECT_TRUE(browser_->Undo());
  EXPECT_EQ(StoredFlag("movie.DBF", 2), ' ');
  EXPECT_TRUE(browser_->Redo());
  EXPECT_EQ(StoredFlag("movie.DBF", 2), '*');
  EXPECT_TRUE(browser_->Undo());

  // Another program changes the year after the edit: undoing it is refused.
  test::Child other([&](test::Child&) {
    os::File file;
    if (os::File::Open(path, os::kOpenReadWriteDenyNone, file) != os::kIoOk) return 1;
    const std::string year = "2010";
    const auto at = test::kFilmHeaderLength + test::kFilmRecordLength + test::kYear.offset;
    return file.WriteAt(at, std::as_bytes(std::span(year.data(), year.size()))) == 0 ? 0 : 2;
  });
  ASSERT_EQ(other.Wait(), 0);
  ClearRecordedMessages();
  EXPECT_FALSE(browser_->Undo());
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kYear), "2010");
  ASSERT_EQ(RecordedMessages().size(), 1u);
  EXPECT_THAT(RecordedMessages()[0], HasSubstr("changed by another program since"));
}

// --- Copy, paste and export ----------------------------------------------------------------

TEST_F(BrowserTest, ShiftKeysClicksAndDragsSpanARangeThatCopiesAsTabSeparatedRows) {
  Browse(MakeFilmTable());
  const int title = ColumnOf("TITLE"), year = ColumnOf("YEAR");
  const auto clipboard = [] { return QGuiApplication::clipboard()->text().toStdString(); };
  browser_->Grid->SetSelectedIndex(title);
  GridKey('C', TShiftState{ssCtrl});
  EXPECT_EQ(clipboard(), "Zorro");
  EXPECT_FALSE(browser_->Grid->HasCellRange());

  GridKey(VK_DOWN, TShiftState{ssShift});
  GridKey(VK_RIGHT, TShiftState{ssShift});
  ASSERT_TRUE(browser_->Grid->HasCellRange());
  GridKey('C', TShiftState{ssCtrl});
  EXPECT_EQ(clipboard(), "Zorro\t1990\nMatrix\t1991");
  // Back over the anchor and past the first record: the range turns and stops at the top.
  GridKey(VK_UP, TShiftState{ssShift});
  GridKey(VK_UP, TShiftState{ssShift});
  EXPECT_EQ(browser_->CopyCells(false), "Zorro\t1990");
  EXPECT_EQ(browser_->CopyCells(true).substr(0, 11), "Zorro\t1990\t");
  GridKey(VK_DOWN);
  EXPECT_FALSE(browser_->Grid->HasCellRange()) << "a move without Shift drops the range";

  // A click, then a Shift+click two rows down in YEAR.
  ClickCell(browser_->Grid->DataToRawColumn(title), 1);
  ClickCell(browser_->Grid->DataToRawColumn(year), 3, Qt::ShiftModifier);
  EXPECT_EQ(browser_->CopyCells(false), "Zorro\t1990\nMatrix\t1991\nAlien\t1992");
  // The range is painted in the selection colour, the cells beside it are not.
  const QImage picture = browser_->Grid->Widget()->grab().toImage();
  // (Sampled above the text, which starts 2 pixels below the cell's top.)
  const auto shade = [&](int column, int row) {
    const TRect cell = browser_->Grid->CellRect(browser_->Grid->DataToRawColumn(column), row);
    return picture.pixelColor((cell.Left + cell.Right) / 2, cell.Top + 1);
  };
  EXPECT_EQ(shade(title, 1), shade(title, 2));
  EXPECT_NE(shade(title, 2), shade(title, 4));
  EXPECT_EQ(shade(year, 2), shade(title, 2));
  EXPECT_NE(shade(year, 2), shade(ColumnOf("COLOR"), 2));

  // A drag upwards from row 3 to row 1.
  DragCells(browser_->Grid->DataToRawColumn(title), 3, browser_->Grid->DataToRawColumn(title), 1);
  EXPECT_EQ(browser_->CopyCells(false), "Zorro\nMatrix\nAlien");
  // Anything that moves the current record behind the grid drops the range.
  browser_->Table->SetRecNo(5);
  EXPECT_FALSE(browser_->Grid->HasCellRange());
}

TEST_F(BrowserTest, PasteChecksEveryValueByTheAppendRulesFirstAndOneValueFillsTheRange) {
  Browse(MakeFilmTable());
  browser_->Grid->SetSelectedIndex(ColumnOf("TITLE"));
  // Two rows into TITLE and YEAR of records 1 and 2.
  QGuiApplication::clipboard()->setText("Zorro II\t2001\nMatrix II\t2003\n");
  GridKey('V', TShiftState{ssCtrl});
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kTitle), "Zorro II            ");
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kYear), "2001");
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kYear), "2003");
  EXPECT_EQ(browser_->Table->RecNo(), 1) << "the paste comes back to its first row";

  // Values the fields cannot take, each refused with the rule it breaks; nothing is written,
  // not even the rows before the refused value.
  const std::vector<unsigned char> before = test::ReadBytes(dir_.File("movie.DBF"));
  const struct {
    const char* text;
    const char* problem;
  } kRefused[] = {
      {"A\t1999\nB\tsoon", "row 2: \"soon\" is not a number for field YEAR"},
      {"A\t12345", "\"12345\" does not fit field YEAR"},
      {"A title far longer than twenty", "is longer than field TITLE"},
      {"日本", "field TITLE (C 20 0): \"日\" has no place in code page"},
      {"A\t1999\tmaybe", "\"maybe\" is not a logical value for field COLOR"},
  };
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(browser_->PasteCells(c.text), 0);
    EXPECT_THAT(RecordedMessages().back(), HasSubstr(c.problem));
  }
  EXPECT_EQ(test::ReadBytes(dir_.File("movie.DBF")), before);

  // The date and logical forms vxdbf append takes.
  browser_->Grid->SetSelectedIndex(ColumnOf("COLOR"));
  EXPECT_EQ(browser_->PasteCells("yes\nT\n0"), 3);
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kColor), "T");
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kColor), "T");
  EXPECT_EQ(StoredField("movie.DBF", 3, test::kColor), "F");
  browser_->Grid->SetSelectedIndex(ColumnOf("PREMIERE"));
  EXPECT_EQ(browser_->PasteCells("1958-05-09\n19600616"), 2);
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kPremiere), "19580509");
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kPremiere), "19600616");
  EXPECT_EQ(browser_->PasteCells("1958-13-40"), 0);
  EXPECT_THAT(RecordedMessages().back(), HasSubstr("is no date (YYYY-MM-DD or YYYYMMDD)"));
  // Copied dates paste back as they were.
  GridKey(VK_DOWN, TShiftState{ssShift});
  const std::string dates = browser_->CopyCells(false);
  EXPECT_EQ(dates, "1958-05-09\n1960-06-16");

  // One value into a selected range of three rows by two columns.
  browser_->Table->SetRecNo(4);
  browser_->Grid->SetSelectedIndex(ColumnOf("YEAR"));
  GridKey(VK_DOWN, TShiftState{ssShift});
  GridKey(VK_DOWN, TShiftState{ssShift});
  GridKey(VK_RIGHT, TShiftState{ssShift});
  EXPECT_EQ(browser_->PasteCells("1"), 3) << "YEAR takes 1, COLOR reads it as true";
  for (int n = 4; n <= 6; ++n) {
    EXPECT_EQ(StoredField("movie.DBF", n, test::kYear), "   1");
    EXPECT_EQ(StoredField("movie.DBF", n, test::kColor), "T");
  }
  EXPECT_EQ(StoredField("movie.DBF", 7, test::kYear), "1996");
}

TEST_F(BrowserTest, ExportWritesTheViewInItsOrderWithItsFilterAsCsvOrJsonLines) {
  Browse(MakeFilmTable());
  browser_->OrderBox->setCurrentIndex(1);
  ASSERT_TRUE(browser_->ApplyFilter("YEAR >= 1993"));
  ASSERT_TRUE(browser_->ExportView(dir_.File("view.csv"), TBrowserForm::ExportFormat::kCsv));
  std::ifstream csv(dir_.File("view.csv"));
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line, "TITLE,YEAR,COLOR,RUNTIME,STARS,DIRECTOR,PLOT,PREMIERE\r");
  std::getline(csv, line);
  EXPECT_EQ(line.substr(0, 15), "Casablanca,1995");
  std::vector<std::string> lines;
  while (std::getline(csv, line)) lines.push_back(line);
  EXPECT_EQ(lines.size(), 3u);  // Ma Vie, Mad Max, Metropolis

  browser_->AskExportFile = [&](std::string& path, TBrowserForm::ExportFormat& format) {
    path = dir_.File("view.jsonl");
    format = TBrowserForm::ExportFormat::kJsonLines;
    return true;
  };
  for (QAction* menu : browser_->MenuBar->actions()) {
    if (menu->menu() == nullptr) continue;
    for (QAction* action : menu->menu()->actions()) {
      if (action->text().startsWith("&Export")) action->trigger();
    }
  }
  std::ifstream json(dir_.File("view.jsonl"));
  std::getline(json, line);
  EXPECT_THAT(line, HasSubstr("{\"TITLE\":\"Casablanca\""));
  EXPECT_THAT(line, HasSubstr("\"YEAR\":1995"));
  EXPECT_THAT(line, HasSubstr("\"COLOR\":false"));
  EXPECT_THAT(line, HasSubstr("\"PREMIERE\":null"));
}

// --- What a desktop program keeps ----------------------------------------------------------

TEST_F(BrowserTest, ColumnsOrderFilterAndRecentFilesAreKeptForTheNextSession) {
  const std::string path = MakeFilmTable();
  Browse(path);
  browser_->Grid->Columns().Items(ColumnOf("YEAR"))->SetWidth(97);
  browser_->OrderBox->setCurrentIndex(1);
  browser_->FilterField->setText("YEAR > 1992");
  Press(browser_->FilterField, Qt::Key_Return);
  browser_->SetBounds(50, 60, 760, 470);
  delete browser_;
  browser_ = nullptr;

  Browse(path);
  EXPECT_EQ(browser_->Width(), 760);
  EXPECT_EQ(browser_->Grid->Columns().Items(ColumnOf("YEAR"))->Width(), 97);
  EXPECT_EQ(browser_->Table->ActiveOrder(), 1);
  EXPECT_EQ(browser_->FilterField->text().toStdString(), "YEAR > 1992");
  EXPECT_THAT(ViewColumn(), ElementsAre("Casablanca", "Ma Vie", "Mad Max", "Metropolis"));
  ASSERT_GE(browser_->RecentMenu->actions().size(), 1);
  EXPECT_EQ(browser_->RecentMenu->actions()[0]->text().toStdString(),
            std::filesystem::absolute(path).string());
}

// What is typed into the grid is stored by the rules every writer follows: a number rounded
// half away from zero on its decimal value (as vxdbf, the library and SQL store it), text the
// table's page lacks refused naming the record, the field and the character, never stored as
// "?".
TEST_F(BrowserTest, TypedValuesAreStoredByTheRulesEveryWriterFollows) {
  {
    auto* maker = new ZOvEzi(&form_);
    maker->SetName("Maker");
    maker->SetDbfFileName(dir_.File("v.dbf"));
    for (const char* line : {"name, C, 10, 0", "price, N, 8, 2", "whole, N, 4, 0"})
      maker->DbfFields().Add(line);
    maker->SetActive(true);
    maker->Append();
    maker->FieldByName("NAME")->SetAsString("A");
    maker->Post();
    delete maker;
  }
  std::vector<unsigned char> bytes = test::ReadBytes(dir_.File("v.dbf"));
  bytes[29] = 0xC9;  // Windows Cyrillic (1251)
  test::WriteBytes(dir_.File("v.dbf"), bytes);
  Browse(dir_.File("v.dbf"));
  const std::size_t record = bytes[8] | bytes[9] << 8;
  const auto stored = [&](std::size_t offset, std::size_t length) {
    const std::vector<unsigned char> now = test::ReadBytes(dir_.File("v.dbf"));
    return std::string(now.begin() + static_cast<std::ptrdiff_t>(record + offset),
                       now.begin() + static_cast<std::ptrdiff_t>(record + offset + length));
  };
  struct Case {
    const char* field;
    std::size_t offset, length;
    const char* typed;
    const char* stored;  // the field's bytes afterwards
    const char* problem;
  };
  const Case kCases[] = {
      {"PRICE", 11, 8, "2.675", "    2.68", nullptr},
      {"PRICE", 11, 8, "0.125", "    0.13", nullptr},
      {"WHOLE", 19, 4, "2.5", "   3", nullptr},
      {"WHOLE", 19, 4, "-0.4", "   0", nullptr},
      {"NAME", 1, 10, "Жёлтый", "\xC6\xB8\xEB\xF2\xFB\xE9    ", nullptr},
      {"NAME", 1, 10, "Жöлтый", "\xC6\xB8\xEB\xF2\xFB\xE9    ",
       "record 1, field NAME: \"ö\" has no place in code page 1251"},
  };
  const auto type_each = [&](const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " " + c.typed);
    ClearRecordedMessages();
    TypeIntoCell(c.field, c.typed, Qt::Key_Return);
    // The refusal comes from the editor's commit, in a message or from the post.
    std::string problem = RecordedMessages().empty() ? "" : RecordedMessages().back();
    if (browser_->Table->State() != dsBrowse) {
      try {
        browser_->Table->Post();
      } catch (const std::exception& e) {
        problem = e.what();
      }
    }
    if (c.problem == nullptr) {
      EXPECT_EQ(problem, "");
    } else {
      EXPECT_THAT(problem, HasSubstr(c.problem));
      Press(browser_->Grid->InplaceEditor(), Qt::Key_Escape);  // gives the edit up
      EXPECT_EQ(browser_->Table->State(), dsBrowse);
    }
    EXPECT_EQ(stored(c.offset, c.length), c.stored);
  }
  };
  type_each(std::vector<Case>(std::begin(kCases), std::end(kCases)));

  // A UTF-8 table (no mark, a .cpg): the field holds 10 bytes, and a value of fewer characters
  // but more bytes is refused whole, not cut (inside a character) to fit.
  browser_->Table->Close();
  bytes = test::ReadBytes(dir_.File("v.dbf"));
  bytes[29] = 0;
  test::WriteBytes(dir_.File("v.dbf"), bytes);
  {
    std::ofstream cpg(dir_.File("v.cpg"));
    cpg << "UTF-8";
  }
  Browse(dir_.File("v.dbf"));
  EXPECT_EQ(browser_->CodePage(), 65001);
  type_each({
      {"NAME", 1, 10, "Жёлт", "\xD0\x96\xD1\x91\xD0\xBB\xD1\x82  ", nullptr},
      {"NAME", 1, 10, "aЖёлтый", "\xD0\x96\xD1\x91\xD0\xBB\xD1\x82  ",
       "record 1, field NAME: \"aЖёлтый\" takes 13 bytes in code page 65001, the field "
       "holds 10"},
      {"NAME", 1, 10, "Zoë Ærø", "Zo\xC3\xAB \xC3\x86r\xC3\xB8", nullptr},
  });
}

}  // namespace
}  // namespace vx::browser
