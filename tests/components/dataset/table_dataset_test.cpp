// The table dataset's conversions between the engine's record image and the framework's
// buffers, checked on the bytes of real tables: numbers, text, dates in several date styles,
// field-definition correction, positioning and searching.

#include "components/dataset/table_dataset.h"

#include <gmock/gmock.h>

#include "components/dataset/file_dataset.h"
#include "engine/foundation/settings.h"
#include "tests/components/dataset/dataset_fixture.h"

namespace vx {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class TableDatasetTest : public test::DatasetTest {
 protected:
  ZOvEzi* Dataset(const std::string& file, const std::vector<std::string>& fields) {
    auto* dataset = new ZOvEzi(&form_);
    dataset->SetName("VxDbf1");
    dataset->SetDbfFileName(dir_.File(file));
    for (const std::string& line : fields) dataset->DbfFields().Add(line);
    return dataset;
  }
};

TEST_F(TableDatasetTest, CorrectsInvalidDefinitionsAndNamesBothForms) {
  ZOvEzi* table = Dataset("money.dbf", {"amount, N, 25, 20", "remarks, C, 300, 0",
                                        "picture, G, 10, 0", "code, Q, 5, 0", "ignored, X, 1, 0"});
  table->Open();
  EXPECT_THAT(
      RecordedMessages(),
      ElementsAre("Invalid field definition for VxDbf1: amount,N,25,20. Will use corrected "
                  "definition: amount,N,20,18",
                  "Invalid field definition for VxDbf1: remarks,C,300,0. Will use corrected "
                  "definition: remarks,C,254,0",
                  "Invalid field definition for VxDbf1: picture,G,10,0. Will use corrected "
                  "definition: picture,M,10,0",
                  "Invalid field definition for VxDbf1: code,Q,5,0. Will use corrected "
                  "definition: code,C,5,0"));
  const std::vector<unsigned char> bytes = test::ReadBytes(dir_.File("money.dbf"));
  // Descriptors at 32, 64, 96, 128: type at 11, length at 16, decimals at 17; 0x0D at 160.
  EXPECT_EQ(bytes[32 + 11], 'N');
  EXPECT_EQ(bytes[32 + 16], 20);
  EXPECT_EQ(bytes[32 + 17], 18);
  EXPECT_EQ(bytes[64 + 11], 'C');
  EXPECT_EQ(bytes[64 + 16], 254);
  EXPECT_EQ(bytes[96 + 11], 'M');
  EXPECT_EQ(bytes[128 + 11], 'C');
  EXPECT_EQ(bytes[160], 0x0D);

  EXPECT_EQ(table->FieldByName("AMOUNT")->DataType(), ftFloat);
  EXPECT_EQ(table->FieldByName("AMOUNT")->Size(), 20);
  EXPECT_EQ(table->FieldByName("REMARKS")->Size(), 254);
  EXPECT_EQ(table->FieldByName("PICTURE")->DataType(), ftMemo);
  EXPECT_EQ(table->FindField("IGNORED"), nullptr);
}

TEST_F(TableDatasetTest, ReadsNumbersAtTheirDecimalsAndTextWithoutTrailingBlanks) {
  // Header 32 + 4 * 32 + 1 = 161; record: flag, PRICE 10, NAME 10, COUNT 5, OK 1.
  constexpr std::size_t kRecord1 = 161;
  {
    ZOvEzi* table = Dataset("prices.dbf",
                            {"price, N, 10, 2", "name, C, 10, 0", "count, N, 5, 0", "ok, L, 1, 0"});
    table->Open();
    table->Append();
    table->FieldByName("PRICE")->SetAsFloat(2.5);
    table->FieldByName("NAME")->SetAsString("abc");
    table->FieldByName("COUNT")->SetAsInteger(-42);
    table->FieldByName("OK")->SetAsBoolean(true);
    table->Post();
    delete table;
  }
  std::vector<unsigned char> bytes = test::ReadBytes(dir_.File("prices.dbf"));
  EXPECT_EQ(std::string(bytes.begin() + kRecord1, bytes.begin() + kRecord1 + 27),
            "       2.50abc         -42T");
  // Another program wrote more decimals than the field declares.
  const std::string more = "   3.14159";
  std::copy(more.begin(), more.end(), bytes.begin() + kRecord1 + 1);
  test::WriteBytes(dir_.File("prices.dbf"), bytes);

  ZOvEzi* table = Dataset("prices.dbf", {});
  table->Open();
  EXPECT_EQ(table->FieldByName("PRICE")->AsFloat(), 3.14);
  EXPECT_EQ(table->FieldByName("NAME")->AsString(), "abc");
  EXPECT_EQ(table->FieldByName("COUNT")->AsInteger(), -42);
  EXPECT_TRUE(table->FieldByName("OK")->AsBoolean());
}

// The dataset (and the browser over it) writes through the work-area layer, which refuses to
// change a FoxPro table whose header names a structural .CDX it cannot keep current (here the
// file is missing): an edit would leave that index wrong for every FoxPro program.
TEST_F(TableDatasetTest, EditsOfATableWithAStructuralCdxAreRefused) {
  {
    ZOvEzi* table = Dataset("fox.dbf", {"name, C, 10, 0"});
    table->Open();
    table->Append();
    table->FieldByName("NAME")->SetAsString("one");
    table->Post();
    delete table;
  }
  std::vector<unsigned char> bytes = test::ReadBytes(dir_.File("fox.dbf"));
  bytes[0] = 0x30;   // Visual FoxPro, whose flag 0x01 names a structural .CDX
  bytes[28] = 0x01;
  test::WriteBytes(dir_.File("fox.dbf"), bytes);
  ZOvEzi* table = Dataset("fox.dbf", {});
  table->Open();
  EXPECT_EQ(table->FieldByName("NAME")->AsString(), "one");
  table->Edit();
  table->FieldByName("NAME")->SetAsString("two");
  EXPECT_THROW(table->Post(), std::exception);
  table->Cancel();
  EXPECT_THROW(
      {
        table->Append();
        table->FieldByName("NAME")->SetAsString("three");
        table->Post();
      },
      std::exception);
  table->Cancel();
  EXPECT_EQ(test::ReadBytes(dir_.File("fox.dbf")), bytes);
}

TEST_F(TableDatasetTest, FieldWritesNeedEditStateAndCalculatedFieldsCannotWriteData) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  AddFilms(*films, {{"One", 1}});
  films->Close();
  // Persistent fields: the title, and a calculated field computed from it.
  auto* title = new TStringField(films);
  title->SetFieldName("TITLE");
  title->SetSize(20);
  title->SetDataSet(films);
  auto* length = new TIntegerField(films);
  length->SetFieldName("LENGTH");
  length->SetFieldKind(fkCalculated);
  length->SetDataSet(films);
  bool write_title = false;
  films->OnCalcFields = [&](TDataSet*) {
    length->SetAsInteger(static_cast<std::int32_t>(title->AsString().size()));
    if (write_title) title->SetAsString("x");
  };
  films->Open();
  EXPECT_EQ(length->AsInteger(), 3);
  EXPECT_THAT(
      [&] { title->SetAsString("Two"); },
      ::testing::ThrowsMessage<EDatabaseError>(HasSubstr("Dataset not in edit or insert mode")));
  title->SetReadOnly(true);
  films->Edit();
  EXPECT_THAT([&] { title->SetAsString("Two"); },
              ::testing::ThrowsMessage<EDatabaseError>(
                  ::testing::StrEq("Field 'TITLE' cannot be modified")));
  films->Cancel();
  write_title = true;
  EXPECT_THAT([&] { films->Refresh(); }, ::testing::ThrowsMessage<EDatabaseError>(
                                             HasSubstr("Dataset not in edit or insert mode")));
}

TEST_F(TableDatasetTest, GoingToRecordZeroOrPastTheCountEndsAfterTheLastRecord) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  AddFilms(*films, {{"One", 1}, {"Two", 2}, {"Three", 3}});
  for (int n : {0, 4, 99, -1}) {
    SCOPED_TRACE(n);
    films->First();
    EXPECT_NO_THROW(films->SetRecNo(n));
    EXPECT_EQ(films->RecNo(), 3);
    films->Next();
    EXPECT_TRUE(films->Eof());
  }
}

TEST_F(TableDatasetTest, LocatesAndLooksUpRecords) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  AddFilms(*films, {{"Metropolis", 1927}, {"Vertigo", 1958}, {"Alien", 1979}});
  films->First();
  EXPECT_TRUE(films->Locate("TITLE", "vertigo", {loCaseInsensitive}));
  EXPECT_EQ(films->RecNo(), 2);
  EXPECT_FALSE(films->Locate("TITLE", "Alie", {}));
  EXPECT_EQ(films->RecNo(), 2);
  EXPECT_TRUE(films->Locate("TITLE", "Alie", {loPartialKey}));
  EXPECT_EQ(films->RecNo(), 3);
  EXPECT_TRUE(films->Locate("YEAR", 1927, {}));
  EXPECT_EQ(films->FieldByName("TITLE")->AsString(), "Metropolis");

  EXPECT_EQ(films->Lookup("TITLE", "Alien", "YEAR").AsInteger(), 1979);
  EXPECT_TRUE(films->Lookup("TITLE", "Solaris", "YEAR").IsNull());
  EXPECT_EQ(films->RecNo(), 1);
  films->Next();
  EXPECT_EQ(films->FieldByName("TITLE")->AsString(), "Vertigo");
}

TEST_F(TableDatasetTest, OperationsOnAClosedDatasetNameTheComponentAndTheOperation) {
  ZOvEzi* films = FilmDataset();
  try {
    films->RLock();
    ADD_FAILURE() << "RLock on a closed dataset raised nothing";
  } catch (const EVexelError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Error # 1103 (Invalid Operation )"));
    EXPECT_THAT(e.what(), HasSubstr("Database is not open [VxDbf1.RLock]"));
  }
}

// Dates go to the table as YYYYMMDD and come back in the engine's style, for the date formats
// of several locales; the engine's style follows the platform's short date format.
TEST_F(TableDatasetTest, DatesRoundTripInSeveralDateStyles) {
  const struct {
    const char* format;
    char separator;
    int style;
    bool century;
    const char* shown;  // 7 March 2024
    const char* typed;  // 31 December 1999 as a user types it
  } kCases[] = {
      {"mm/dd/yyyy", '/', 0, true, "03/07/2024", "12/31/1999"},
      {"dd.mm.yyyy", '.', 5, true, "07.03.2024", "31.12.1999"},
      {"dd/mm/yyyy", '/', 2, true, "07/03/2024", "31/12/1999"},
      {"dd-mm-yy", '-', 3, false, "07-03-24", "31-12-99"},
      {"yyyy-mm-dd", '-', 1, true, "2024.03.07", "1999.12.31"},
      {"d/m/yyyy", '/', 2, true, "07/03/2024", "31/12/1999"},
  };
  int file_no = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.format);
    FormatSettings().ShortDateFormat = c.format;
    FormatSettings().DateSeparator = c.separator;
    InitTableDatasetUnit();
    EXPECT_EQ(DateStyle, c.style);
    EXPECT_EQ(CenturyOn, c.century);

    const std::string file = "dates" + std::to_string(++file_no) + ".dbf";
    ZOvEzi* films = FilmDataset(file);
    films->Open();
    TField* premiere = films->FieldByName("PREMIERE");
    films->Append();
    premiere->SetAsDateTime(EncodeDate(2024, 3, 7));
    films->Post();
    films->Append();
    premiere->SetText(c.typed);
    films->Post();
    films->Append();
    premiere->SetAsDateTime(EncodeDate(1920, 1, 2));  // outside a two-digit year's century
    films->Post();
    films->Append();
    films->FieldByName("TITLE")->SetAsString("no date");
    films->Post();
    EXPECT_EQ(StoredField(file, 1, test::kPremiere), "20240307");
    EXPECT_EQ(StoredField(file, 2, test::kPremiere), "19991231");
    EXPECT_EQ(StoredField(file, 3, test::kPremiere), "19200102");
    EXPECT_EQ(StoredField(file, 4, test::kPremiere), "        ");

    films->First();
    EXPECT_EQ(premiere->AsDateTime(), EncodeDate(2024, 3, 7));
    EXPECT_EQ(premiere->DisplayText(), c.shown);
    films->Next();
    EXPECT_EQ(premiere->AsDateTime(), EncodeDate(1999, 12, 31));
    films->Next();
    if (c.century) {
      EXPECT_EQ(premiere->AsDateTime(), EncodeDate(1920, 1, 2));
    }
    films->Next();
    EXPECT_TRUE(premiere->IsNull());
    EXPECT_TRUE(RecordedMessages().empty());
    delete films;
  }
}

TEST_F(TableDatasetTest, InvalidTypedDatesAreRefusedAndTheFieldKeepsItsDate) {
  ZOvEzi* films = FilmDataset();
  films->Open();
  TField* premiere = films->FieldByName("PREMIERE");
  films->Append();
  premiere->SetAsDateTime(EncodeDate(2024, 3, 7));
  EXPECT_THROW(premiere->SetText("02/30/2024"), EAbort);
  EXPECT_THAT(RecordedMessages(), ElementsAre("        Invalid date       "));
  EXPECT_EQ(premiere->AsDateTime(), EncodeDate(2024, 3, 7));
  films->Post();
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kPremiere), "20240307");

  // The blank picture clears the date without a warning.
  ClearRecordedMessages();
  films->Edit();
  premiere->SetAsDateTime(EncodeDate(2024, 3, 7));
  premiere->SetText("  /  /    ");
  EXPECT_TRUE(premiere->IsNull());
  films->Post();
  EXPECT_TRUE(RecordedMessages().empty());
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kPremiere), "        ");
}

}  // namespace
}  // namespace vx
