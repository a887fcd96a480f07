// USE, areas and aliases, and the record image transfer.

#include "engine/workarea/work_areas.h"

#include <cstring>

#include "engine/workarea/navigation.h"
#include "platform/os/file.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/engine/workarea/work_area_fixture.h"

namespace vx {
namespace {

using test::WorkAreaTest;

std::vector<FieldEntry> FilmFields() {
  return {{"TITLE", 'C', 20, 0, 0}, {"YEAR", 'N', 4, 0, 0}, {"COLOR", 'L', 1, 0, 0},
          {"PREMIERE", 'D', 8, 0, 0}, {"RATING", 'N', 5, 2, 0}, {"PLOT", 'M', 10, 0, 0}};
}

std::string ImageText(int field) {
  const char* p = FieldAddress(field);
  return std::string(p + 1, static_cast<unsigned char>(p[0]));
}

template <typename T>
T ImageValue(int field) {
  T value;
  std::memcpy(&value, FieldAddress(field), sizeof value);
  return value;
}

template <typename T>
void SetImageValue(int field, T value) {
  std::memcpy(FieldAddress(field), &value, sizeof value);
}

void SetImageText(int field, const std::string& text) {
  char* p = FieldAddress(field);
  p[0] = static_cast<char>(text.size());
  std::memcpy(p + 1, text.data(), text.size());
}

TEST_F(WorkAreaTest, UseOpensIntoTheSelectedAreaWithImageOfTheRightSize) {
  const std::string path = MakeTable("movie.dbf", FilmFields());
  Select(3);
  // 1 + 21 + 4 + 1 + 11 + 8 + 4
  std::vector<char> image(50);
  Use(path, image.data(), 50);
  ASSERT_NE(SelectedTable(), nullptr);
  EXPECT_EQ(SelectedTable()->alias, "MOVIE");
  EXPECT_EQ(RecordImageSize(), 50);
  EXPECT_EQ(FieldAddress(0), image.data());
  EXPECT_EQ(FieldAddress(2), image.data() + 22);
  EXPECT_EQ(FieldAddress(3), image.data() + 26);
  EXPECT_TRUE(dEOF());
  EXPECT_TRUE(dBOF());
}

TEST_F(WorkAreaTest, UseRefusesImageOfTheWrongSizeAndLeavesAreaFree) {
  const std::string path = MakeTable("movie.dbf", FilmFields());
  std::vector<char> image(49);
  try {
    Use(path, image.data(), 49);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error # 266 (Invalid size)\r\nDatabase record/buffer size mismatch: " + path +
                  " [USE()]\n\rRecord Size=50, Buffer Size=49");
  }
  EXPECT_EQ(SelectedTable(), nullptr);
  // The file is closed again: a deny-all open succeeds.
  os::File probe;
  EXPECT_EQ(os::File::Open(path, os::kOpenReadWriteDenyAll, probe), 0);
}

TEST_F(WorkAreaTest, UseRefusesImageWithoutSize) {
  const std::string path = MakeTable("movie.dbf", FilmFields());
  char image[4];
  try {
    Use(path, image, 0);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()), "Error # 220 (Invalid parameter)\r\nBuffer is NIL or size "
                                     "is zero, attempting to open " + path + " [USE]");
  }
}

TEST_F(WorkAreaTest, AliasWordAndDuplicateAliases) {
  std::filesystem::create_directory(dir_.path() / "data");
  MakeTable("data/movie.dbf", FilmFields());
  const std::string other = MakeTable("other.dbf", FilmFields());
  Select(1);
  Use(dir_.File("data") + "\\movie.dbf alias m");
  EXPECT_EQ(SelectedTable()->alias, "M");
  Select(2);
  try {
    Use(other + " ALIAS M");
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error # 220 (Invalid parameter)\r\nAlias name \"M\" already in use. [USE]");
  }
  EXPECT_EQ(SelectedTable(), nullptr);
}

TEST_F(WorkAreaTest, ExclusiveUseDeniesOtherOpens) {
  const std::string path = MakeTable("x.dbf", FilmFields());
  Use(path + " EXCLUSIVE");
  EXPECT_TRUE(SelectedTable()->exclusive);
  os::File other;
  EXPECT_EQ(os::File::Open(path, os::kOpenReadOnlyDenyNone, other), os::kIoSharingViolation);
  // Shared use lets others in.
  Use(path);
  EXPECT_FALSE(SelectedTable()->exclusive);
  EXPECT_EQ(os::File::Open(path, os::kOpenReadWriteDenyNone, other), 0);
}

TEST_F(WorkAreaTest, SharingOffOrShareModeDenyAllMakesEveryUseExclusive) {
  const std::string path = MakeTable("x.dbf", FilmFields());
  SharingEnabled = false;
  Use(path);
  EXPECT_TRUE(SelectedTable()->exclusive);
  SharingEnabled = true;
  UseShareMode = 18;
  Use(path);
  EXPECT_TRUE(SelectedTable()->exclusive);
}

TEST_F(WorkAreaTest, SelectChecksItsArgument) {
  const std::string path = MakeTable("x.dbf", FilmFields());
  for (int a = 1; a <= 33; ++a) {
    Select(a);
    Use(path + " ALIAS A" + std::to_string(a));
  }
  EXPECT_EQ(CodeOf([] { Select(0); }), 220);
  EXPECT_EQ(LastErrorMessage, "No free workarea available [Select(0)]");
  EXPECT_EQ(CodeOf([] { Select(34); }), 220);
  EXPECT_EQ(LastErrorMessage, "Invalid workarea selected = [Select(34)]");
  Select(7);
  CloseArea();
  Select(0);
  EXPECT_EQ(Selected(), 7);
  CloseAll();
  EXPECT_EQ(Selected(), 1);
  for (int a = 1; a <= 33; ++a) EXPECT_EQ(AreaTable(a), nullptr);
}

TEST_F(WorkAreaTest, CommandsOnAFreeAreaReportNoDatabaseInUse) {
  Select(5);
  EXPECT_EQ(CodeOf([] { EXPECT_EQ(RecCount(), 0); }), 215);
  EXPECT_EQ(LastErrorMessage, "No database in use [RecCount]  WorkArea = 5");
  EXPECT_EQ(CodeOf([] { EXPECT_EQ(FieldType(1), ' '); }), 215);
  EXPECT_EQ(CodeOf([] { EXPECT_FALSE(dEOF()); }), 215);
  EXPECT_EQ(CodeOf([] { EXPECT_FALSE(RLock()); }), 215);
  EXPECT_EQ(CodeOf([] { GoTop(); }), 215);
  EXPECT_THROW(SKIP(1), EVexelError);
}

TEST_F(WorkAreaTest, EmptyCommandOnlyCloses) {
  const std::string path = MakeTable("x.dbf", FilmFields());
  Use(path);
  Use("   ");
  EXPECT_EQ(SelectedTable(), nullptr);
}

TEST_F(WorkAreaTest, MissingTableLeavesAreaFree) {
  EXPECT_EQ(CodeOf([&] { Use(dir_.File("nothing")); }), 2);
  EXPECT_EQ(SelectedTable(), nullptr);
}

TEST_F(WorkAreaTest, VirtualTablesNeedAManager) {
  char image[8];
  try {
    Use("orders LINKED LIST", image, sizeof image);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, 52),
              "Error # 1101 (Virtual File Manager Unit not Linked i");
  }
  EXPECT_EQ(SelectedTable(), nullptr);
}

TEST_F(WorkAreaTest, ImageCarriesEveryFieldType) {
  const std::string path = MakeTable("movie.dbf", FilmFields());
  Use(path + " EXCLUSIVE");
  SetImageText(1, "Vertigo");
  SetImageValue<std::int32_t>(2, 1958);
  *FieldAddress(3) = 1;
  SetImageText(4, "05/09/58");
  SetImageValue<double>(5, 8.256);
  SetImageValue<std::int32_t>(6, 17);
  Append();
  CloseAll();
  const std::vector<unsigned char> bytes = test::ReadBytes(path);
  const std::size_t header = 32 + 6 * 32 + 1;
  const std::string record(bytes.begin() + header, bytes.begin() + header + 49);
  EXPECT_EQ(record, " Vertigo" + std::string(13, ' ') + "1958T19580509 8.26" +
                        std::string(8, ' ') + "17");

  Use(path);
  EXPECT_EQ(ImageText(1), "Vertigo             ");
  EXPECT_EQ(ImageValue<std::int32_t>(2), 1958);
  EXPECT_EQ(*FieldAddress(3), 1);
  EXPECT_EQ(ImageText(4), "05/09/58");
  EXPECT_DOUBLE_EQ(ImageValue<double>(5), 8.26);
  EXPECT_EQ(ImageValue<std::int32_t>(6), 17);
}

TEST_F(WorkAreaTest, DatesFollowTheStyleAndCenturySwitch) {
  const std::string path = MakeTable("d.dbf", {{"D", 'D', 8, 0, 0}});
  test::WriteBytes(path, test::DbfBuilder(0x03).Field("D", 'D', 8).Record(" 19990115")
                             .Record("         ").Build());
  const struct { int style; bool century; const char* text; } kCases[] = {
      {0, false, "01/15/99"}, {5, true, "15.01.1999"}, {1, false, "99.01.15"},
      {3, true, "15-01-1999"}, {2, false, "15/01/99"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.style);
    DateStyle = c.style;
    CenturyOn = c.century;
    Use(path + " EXCLUSIVE");
    EXPECT_EQ(ImageText(1), c.text);
  }
  // Writing back: a text in the style becomes YYYYMMDD; a blank picture stores blanks.
  DateStyle = 0;
  CenturyOn = false;
  Use(path + " EXCLUSIVE");
  for (const char* blank : {"  /  /", "", "  /  /  ", "  .  .    "}) {
    SetImageText(1, blank);
    REPLACE();
    EXPECT_EQ(std::string(SelectedTable()->record.data() + 1, 8), "        ") << blank;
  }
  SetImageText(1, "02/29/00");
  REPLACE();
  EXPECT_EQ(std::string(SelectedTable()->record.data() + 1, 8), "20000229");
}

TEST_F(WorkAreaTest, NumbersThatDoNotFitFillTheFieldWithStars) {
  const std::string path = MakeTable("n.dbf", {{"N", 'N', 4, 0, 0}, {"F", 'N', 5, 2, 0}});
  Use(path + " EXCLUSIVE");
  SetImageValue<std::int32_t>(1, 12345);
  SetImageValue<double>(2, 123.456);
  Append();
  EXPECT_EQ(std::string(SelectedTable()->record.data(), 10), " *********");
  SetImageValue<std::int32_t>(1, -123);
  SetImageValue<double>(2, -1.5);
  REPLACE();
  EXPECT_EQ(std::string(SelectedTable()->record.data(), 10), " -123-1.50");
  // A stored field of stars reads back as zero.
  GO(1);
  EXPECT_EQ(ImageValue<std::int32_t>(1), -123);
}

TEST_F(WorkAreaTest, OemTablesShowAnsiTextInTheImage) {
  const std::string path = dir_.File("oem.dbf");
  test::WriteBytes(path, test::DbfBuilder(0x03).Field("NAME", 'C', 4).Record(" Ren\x82").Build());
  Use(path);
  EXPECT_EQ(ImageText(1), "Ren\xE9");
  AnsiTables = true;
  Use(path);
  EXPECT_EQ(ImageText(1), "Ren\x82");
}

TEST_F(WorkAreaTest, ProductionIndexFlagIsWrittenOnClose) {
  const std::string path = MakeTable("p.dbf", FilmFields());
  Use(path + " EXCLUSIVE");
  EXPECT_FALSE(HasProductionIndex());
  SetProductionIndexFlag(true);
  EXPECT_TRUE(HasProductionIndex());
  CloseArea();
  EXPECT_EQ(test::ReadBytes(path)[28], 1);
}

}  // namespace
}  // namespace vx
