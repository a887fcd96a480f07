// USE, areas and aliases, and the record image transfer.

#include "engine/workarea/work_areas.h"

#include <cstring>
#include <stdexcept>

#include "engine/foundation/dates.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "platform/os/file.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/engine/workarea/work_area_fixture.h"

namespace vx {
namespace {

using test::Image;
using test::WorkAreaTest;

std::vector<FieldEntry> FilmFields() {
  return {{"TITLE", 'C', 20, 0, 0}, {"YEAR", 'N', 4, 0, 0}, {"COLOR", 'L', 1, 0, 0},
          {"PREMIERE", 'D', 8, 0, 0}, {"RATING", 'N', 5, 2, 0}, {"PLOT", 'M', 10, 0, 0}};
}

std::string ImageText(int field) { return std::string(Image().Text(field)); }

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

// A table opened for one scope leaves nothing open and the caller's area selected, whether the
// scope ends normally, is closed early, ends by an exception, or the open itself fails.
TEST_F(WorkAreaTest, AScopedOpenClosesItsAreaAndSelectsBackOnEveryWayOut) {
  const std::string path = MakeTable("scoped.dbf", FilmFields());
  Select(5);
  Use(path + " ALIAS MINE");
  const auto check_back = [&](const char* how) {
    EXPECT_EQ(Selected(), 5) << how;
    ASSERT_NE(SelectedTable(), nullptr) << how;
    EXPECT_EQ(SelectedTable()->alias, "MINE") << how;
    for (int area = 1; area <= kMaxWorkAreas; ++area) {
      if (area != 5) EXPECT_EQ(AreaTable(area), nullptr) << how << ", area " << area;
    }
  };
  int opened_in = 0;
  {
    OpenedArea opened(path + " ALIAS OTHER");
    opened_in = opened.area();
    EXPECT_NE(opened_in, 5);
    EXPECT_EQ(Selected(), opened_in);
    ASSERT_NE(SelectedTable(), nullptr);
  }
  check_back("scope ended");
  {
    OpenedArea opened(path + " ALIAS OTHER");
    opened.Close();
    check_back("closed early");
  }
  check_back("closed early, then ended");
  try {
    OpenedArea opened(path + " ALIAS OTHER");
    throw std::runtime_error("half way");
  } catch (const std::runtime_error&) {
  }
  check_back("exception");
  EXPECT_EQ(CodeOf([&] { OpenedArea opened(dir_.File("nothing")); }), 2);
  check_back("failed open");
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
  Image().SetText(1, "Vertigo");
  Image().SetNumber(2, 1958);
  Image().SetLogical(3, true);
  Image().SetText(4, "05/09/58");
  Image().SetNumber(5, 8.256);
  Image().SetMemoBlock(6, 17);
  Append();
  CloseAll();
  const std::vector<unsigned char> bytes = test::ReadBytes(path);
  const std::size_t header = 32 + 6 * 32 + 1;
  const std::string record(bytes.begin() + header, bytes.begin() + header + 49);
  EXPECT_EQ(record, " Vertigo" + std::string(13, ' ') + "1958T19580509 8.26" +
                        std::string(8, ' ') + "17");

  Use(path);
  EXPECT_EQ(ImageText(1), "Vertigo             ");
  EXPECT_EQ(Image().Number(2), 1958);
  EXPECT_TRUE(Image().Logical(3));
  EXPECT_EQ(ImageText(4), "05/09/58");
  EXPECT_EQ(Image().Date(4), DayNumber(1958, 5, 9));
  EXPECT_DOUBLE_EQ(Image().Number(5), 8.26);
  EXPECT_EQ(Image().MemoBlock(6), 17);
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
    Image().SetText(1, blank);
    REPLACE();
    EXPECT_EQ(std::string(SelectedTable()->record.data() + 1, 8), "        ") << blank;
  }
  Image().SetText(1, "02/29/00");
  REPLACE();
  EXPECT_EQ(std::string(SelectedTable()->record.data() + 1, 8), "20000229");
}

// A number too wide for its field is refused, naming the field, before anything reaches the
// buffer or the file (a field of "*" is what dBASE shows for an overflow, not a value).
TEST_F(WorkAreaTest, NumbersTooWideForTheirFieldAreRefused) {
  const struct {
    char type;
    int length, decimals;
    double value;
    const char* message;
  } kCases[] = {
      {'N', 5, 0, 123456, "Value 123456 does not fit field V (N 5 0)"},
      {'N', 8, 2, 123456.78, "Value 123456.78 does not fit field V (N 8 2)"},
      {'F', 6, 2, 1234.5, "Value 1234.50 does not fit field V (F 6 2)"},
      {'N', 4, 0, -1234, "Value -1234 does not fit field V (N 4 0)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    const std::string path = MakeTable(
        "n.dbf", {{"NAME", 'C', 3, 0, 0}, {"V", c.type, static_cast<std::uint16_t>(c.length),
                                          static_cast<std::uint8_t>(c.decimals), 0}});
    Use(path + " EXCLUSIVE");
    Image().SetText(1, "abc");
    Append();  // zero fits every field
    const std::vector<unsigned char> before = test::ReadBytes(path);
    Image().SetNumber(2, c.value);
    EXPECT_EQ(CodeOf([] { Append(); }), 220);
    EXPECT_NE(LastErrorMessage->find(std::string(c.message) + " [APPEND]"), std::string::npos)
        << LastErrorMessage;
    EXPECT_EQ(RecCount(), 1);
    EXPECT_EQ(CodeOf([] { REPLACE(); }), 220);
    EXPECT_NE(LastErrorMessage->find(std::string(c.message) + " [REPLACE]"), std::string::npos);
    EXPECT_EQ(test::ReadBytes(path), before);
    CloseAll();
  }
  // Values that fit are written right-aligned.
  const std::string path = MakeTable("n.dbf", {{"N", 'N', 4, 0, 0}, {"F", 'N', 5, 2, 0}});
  Use(path + " EXCLUSIVE");
  Image().SetNumber(1, -123);
  Image().SetNumber(2, -1.5);
  Append();
  EXPECT_EQ(std::string(SelectedTable()->record.data(), 10), " -123-1.50");
}

// Writing a record formats again only the fields the caller changed; every other field keeps
// its stored bytes, even where the image cannot hold them exactly.
TEST_F(WorkAreaTest, FieldsTheCallerDidNotChangeKeepTheirStoredBytes) {
  const struct {
    const char* what;
    char type;
    int length, decimals;
    std::string stored;
  } kCases[] = {
      {"date with a two-digit display year", 'D', 8, 0, "19381212"},
      {"invalid stored date", 'D', 8, 0, "20230230"},
      {"date in a D 10 field", 'D', 10, 0, "19381212  "},
      {"integer beyond 32 bits", 'N', 12, 0, "123456789012"},
      {"blank number", 'N', 5, 0, "     "},
      {"decimals in a whole field", 'N', 5, 0, "  1.5"},
      {"more digits than a double", 'N', 19, 8, "1234567890.12345678"},
      {"E notation", 'F', 20, 0, "1.2345678901234E+100"},
      {"logical ?", 'L', 1, 0, "?"},
      {"logical Y", 'L', 1, 0, "Y"},
      {"OEM bytes without ANSI counterpart", 'C', 3, 0, "\xE4\xF2\xB0"},
      {"memo block beyond 32 bits", 'M', 10, 0, "2147483648"},
  };
  CenturyOn = false;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir_.File("keep.dbf");
    test::WriteBytes(path, test::DbfBuilder(0x8B)
                               .Field("NAME", 'C', 4)
                               .Field("V", c.type, c.length, c.decimals)
                               .Record(" abcd" + c.stored)
                               .Build());
    const std::vector<unsigned char> before = test::ReadBytes(path);
    Use(path + " EXCLUSIVE");
    Image().SetText(1, "wxyz");
    REPLACE();
    CloseAll();
    std::vector<unsigned char> after = test::ReadBytes(path);
    ASSERT_EQ(after.size(), before.size());
    const std::size_t record = before[8] | before[9] << 8;
    EXPECT_EQ(std::string(after.begin() + static_cast<std::ptrdiff_t>(record) + 1,
                          after.begin() + static_cast<std::ptrdiff_t>(record) + 5),
              "wxyz");
    // Everything else as it was, except the date of last update (bytes 1 to 3).
    std::copy(before.begin() + 1, before.begin() + 4, after.begin() + 1);
    std::copy(before.begin() + static_cast<std::ptrdiff_t>(record) + 1,
              before.begin() + static_cast<std::ptrdiff_t>(record) + 5,
              after.begin() + static_cast<std::ptrdiff_t>(record) + 1);
    EXPECT_EQ(after, before);
  }
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
