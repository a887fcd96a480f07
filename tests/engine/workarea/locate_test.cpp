// LOCATE and CONTINUE with their option words, the dataset-level locate, and the direct field
// reads and writes with the read-ahead cache, on real files, including truncated ones.

#include "engine/workarea/locate.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "engine/workarea/hooks.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/engine/workarea/work_area_fixture.h"

namespace vx {
namespace {

using test::DbfBuilder;

// TITLE C 20, YEAR N 4, RATING N 5.2, SEEN D 8, GOOD L 1: records of 39 bytes after a 193-byte
// header.
std::string Film(char flag, std::string title, const char* year, const char* rating,
                 const char* seen, char good) {
  title.resize(20, ' ');
  return std::string(1, flag) + title + year + rating + seen + good;
}

class LocateTest : public test::WorkAreaTest {
 protected:
  void SetUp() override {
    WorkAreaTest::SetUp();
    oem_page_ = os::OemCodePage();
    ansi_page_ = os::AnsiCodePage();
  }
  void TearDown() override {
    WorkAreaTest::TearDown();
    PeekCacheSize = 0;
    SearchValue->clear();
    SearchField = 0;
    CaseSensitive = true;
    ExactMatch = false;
    Contained = false;
    MemoHooks = MemoHookTable{};
    VirtualFileManagerProc = nullptr;
    os::SetCodePages(oem_page_, ansi_page_);
  }

  // Five films; record 3 is deleted.
  std::string Films() {
    const std::string path = dir_.File("films.dbf");
    test::WriteBytes(path, DbfBuilder(0x03)
                               .Field("TITLE", 'C', 20)
                               .Field("YEAR", 'N', 4)
                               .Field("RATING", 'N', 5, 2)
                               .Field("SEEN", 'D', 8)
                               .Field("GOOD", 'L', 1)
                               .Record(Film(' ', "Alien", "1979", " 8.50", "19790525", 'T'))
                               .Record(Film(' ', "star dust", "2007", " 6.50", "20070810", 'F'))
                               .Record(Film('*', "Star Trek", "1979", " 6.40", "19791207", 'F'))
                               .Record(Film(' ', "Star Wars", "1977", " 8.60", "19770525", 'T'))
                               .Record(Film(' ', "The War Game", "1965", " 7.80", "        ", 'F'))
                               .Build());
    return path;
  }

  // `count` records of 100 bytes (NAME C 99) named R001, R002, ...
  std::string Hundreds(int count) {
    DbfBuilder builder(0x03);
    builder.Field("NAME", 'C', 99);
    for (int i = 1; i <= count; ++i) {
      char name[8];
      std::snprintf(name, sizeof name, "R%03d", i);
      builder.Record(std::string(" ") + name);
    }
    const std::string path = dir_.File("hundreds.dbf");
    test::WriteBytes(path, builder.Build());
    return path;
  }

  // Overwrites bytes of a file behind the engine's back, as another program would.
  static void Scribble(const std::string& path, std::size_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  static std::string FileText(const std::string& path, std::size_t offset, std::size_t length) {
    const auto bytes = test::ReadBytes(path);
    if (bytes.size() < offset + length) return "(" + std::to_string(bytes.size()) + " bytes read)";
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
  }

  static constexpr std::size_t kFilmHeader = 193;
  static constexpr std::size_t kFilmRecord = 39;
  static constexpr std::size_t kHundredsHeader = 65;

  int oem_page_ = 0;
  int ansi_page_ = 0;
};

// --- LOCATE and CONTINUE ---

TEST_F(LocateTest, OptionWordsChangeTheComparison) {
  Use(Films() + " EXCLUSIVE");
  // Record 0: no hit. Record 3 is deleted, and still a hit: LOCATE ignores the visibility rule.
  const struct {
    const char* search;
    std::string value;
    int record;
  } kCases[] = {
      {"TITLE", "Star", 3},  // a prefix, compared with case
      {"TITLE", "STAR", 0},
      {"TITLE NOCASE", "STAR", 2},
      {"title nocase", "star w", 4},
      {"TITLE", "Star Wars   ", 4},  // trailing blanks dropped
      {"TITLE", "Wars", 0},
      {"TITLE CONTAINED", "war", 0},
      {"TITLE CONTAINED NOCASE", "war", 4},
      {"TITLE CONTAINED", "War", 4},
      {"TITLE EXACT", "Star Wars", 0},  // the field has 11 blanks more
      {"TITLE EXACT", "Star", 0},
      {"TITLE EXACT", "Star Wars" + std::string(11, ' '), 4},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.search) + ": " + c.value);
    GO(1);
    EXPECT_EQ(Locate(c.search, c.value), c.record != 0);
    EXPECT_EQ(RecNo(), c.record != 0 ? c.record : 6);
  }
  EXPECT_EQ(SearchValue, "Star Wars" + std::string(11, ' '));
}

TEST_F(LocateTest, ContinueNeedsALocateWithAHit) {
  Use(Films() + " EXCLUSIVE");
  EXPECT_EQ(CodeOf([] { Continue(); }), 220);
  EXPECT_EQ(LastErrorMessage, "Call to CONTINUE not preceeded by call to LOCATE. [Continue]");
  ASSERT_TRUE(Locate("YEAR", "1979"));
  EXPECT_EQ(RecNo(), 1);
  Continue();
  EXPECT_EQ(RecNo(), 3);
  Continue();
  EXPECT_TRUE(dEOF());
  EXPECT_FALSE(dBOF());
  EXPECT_EQ(SearchField, 0);
  try {
    Continue();
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error # 220 (Invalid parameter)\r\n"
              "Call to CONTINUE not preceeded by call to LOCATE. [Continue]");
  }
}

TEST_F(LocateTest, OptionParserRejectsMissingAndUnknownFields) {
  EXPECT_EQ(CodeOf([] { Locate("TITLE", "x"); }), 215);
  EXPECT_EQ(LastErrorMessage, "No database in use [Locate/Count/Sum]  WorkArea = 1");
  Use(Films() + " EXCLUSIVE");
  EXPECT_EQ(CodeOf([] { EXPECT_EQ(LocateParse(" NOCASE"), 0); }), 220);
  EXPECT_EQ(LastErrorMessage, "No field name specified [Locate/Count/Sum]");
  EXPECT_EQ(CodeOf([] { EXPECT_EQ(LocateParse("TITEL NOCASE"), 0); }), 220);
  EXPECT_EQ(LastErrorMessage, "Unrecognized field name [Locate/Count/Sum(TITEL NOCASE)]");
  // Option words are whole words; the rest names the field.
  EXPECT_EQ(LocateParse("year exact nocase"), 2);
  EXPECT_FALSE(CaseSensitive);
  EXPECT_TRUE(ExactMatch);
  EXPECT_FALSE(Contained);
  EXPECT_EQ(CodeOf([] { LocateParse("TITLE NOCASES"); }), 220);
}

TEST_F(LocateTest, SearchWithoutHitEndsAtEofWithoutError) {
  const std::string empty = dir_.File("empty.dbf");
  test::WriteBytes(empty, DbfBuilder(0x03).Field("A", 'C', 3).Build());
  Use(empty + " EXCLUSIVE");
  EXPECT_EQ(CodeOf([] { EXPECT_FALSE(Locate("A", "x")); }), 0);
  EXPECT_TRUE(dEOF());
  // Every record hidden: GoBottom already ends at EOF, and a SKIP from there would fail.
  const std::string hidden = dir_.File("hidden.dbf");
  test::WriteBytes(hidden, DbfBuilder(0x03).Field("A", 'C', 3).Record("*ab").Record("*ac").Build());
  Use(hidden + " EXCLUSIVE");
  SetIgnoreDel(true);
  EXPECT_EQ(CodeOf([] { EXPECT_FALSE(LocateField("A", "a", false, false)); }), 0);
  EXPECT_TRUE(dEOF());
}

// --- Text as the engine sees it ---

TEST_F(LocateTest, OemTablesAreSearchedInTheEngineCharacterSet) {
  ASSERT_TRUE(os::SetCodePages(850, 1252));
  const std::string path = dir_.File("oem.dbf");
  // 0x82 is "e acute" in code page 850, 0xE9 in code page 1252.
  test::WriteBytes(path,
                   DbfBuilder(0x03).Field("T", 'C', 6).Record(" Tea").Record(" Caf\x82").Build());
  Use(path + " EXCLUSIVE");
  EXPECT_TRUE(Locate("T", "Caf\xE9"));
  EXPECT_EQ(RecNo(), 2);
  EXPECT_EQ(FieldText(1, 2), "Caf\xE9  ");
  EXPECT_EQ(Peek(1, 2), "Caf\x82  ");  // Peek answers the stored bytes
  EXPECT_TRUE(Locate("T NOCASE", "CAF\xC9"));
}

// Mirrors the record's data bytes: the text of a field depends on the whole record.
void Mirror(char* data, int length) { std::reverse(data, data + length); }

TEST_F(LocateTest, ReadHookTranslatesWholeRecords) {
  const std::string path = dir_.File("mirror.dbf");
  test::WriteBytes(path, DbfBuilder(0x03)
                             .Field("NAME", 'C', 5)
                             .Field("CODE", 'C', 3)
                             .Record(" 100ahplA")
                             .Record(" 200 ateB")
                             .Build());
  UseWithHooks(path + " EXCLUSIVE", nullptr, 0, Mirror, Mirror);
  EXPECT_TRUE(Locate("NAME", "Beta"));
  EXPECT_EQ(RecNo(), 2);
  EXPECT_TRUE(Locate("CODE", "001"));
  EXPECT_EQ(RecNo(), 1);
  EXPECT_EQ(FieldText(1, 1), "Alpha");
  EXPECT_EQ(Peek(1, 1), "100ah");
}

// --- Memo fields ---

bool FakeMemo(TableRecord&, std::int32_t block, std::string& text) {
  static const std::map<std::int32_t, std::string> kMemos = {
      {1, "In space\r\nno one can hear you scream"},
      {7, "A long time ago\r\nin a galaxy far,\nfar away"},
  };
  const auto found = kMemos.find(block);
  if (found == kMemos.end()) return false;
  text = found->second;
  return true;
}

TEST_F(LocateTest, MemoFieldsAreSearchedLineByLine) {
  const std::string path = dir_.File("plots.dbf");
  test::WriteBytes(path, DbfBuilder(0x83)
                             .Field("TITLE", 'C', 10)
                             .Field("PLOT", 'M', 10)
                             .Record(" Alien              1")
                             .Record(" Nothing")
                             .Record(" Star Wars          7")
                             .Build());
  Use(path + " EXCLUSIVE");
  EXPECT_EQ(CodeOf([] { Locate("PLOT", "galaxy"); }), 220);
  EXPECT_EQ(LastErrorMessage, "MEMO unit not linked in [Count/Sum/Continue]");

  MemoHooks->present = true;
  MemoHooks->AssignMemo = FakeMemo;
  EXPECT_TRUE(Locate("PLOT", "galaxy"));
  EXPECT_EQ(RecNo(), 3);
  EXPECT_FALSE(Locate("PLOT", "Galaxy"));
  EXPECT_TRUE(Locate("PLOT NOCASE", "SCREAM"));
  EXPECT_EQ(RecNo(), 1);
  EXPECT_TRUE(Locate("PLOT", "far away"));  // a line after a bare LF
  EXPECT_EQ(RecNo(), 3);
  // A value running over a line end is in no single line.
  EXPECT_FALSE(Locate("PLOT", "ago\r\nin"));
  EXPECT_TRUE(dEOF());
}

// --- LocateField and LocateFields ---

TEST_F(LocateTest, LocateFieldSkipsHitsThatAreNotVisible) {
  Use(Films() + " EXCLUSIVE");
  EXPECT_TRUE(LocateField("TITLE", "Star", false, false));
  EXPECT_EQ(RecNo(), 3);
  SetIgnoreDel(true);
  EXPECT_TRUE(LocateField("TITLE", "Star", false, false));
  EXPECT_EQ(RecNo(), 4);
  EXPECT_TRUE(LocateField("YEAR", "1979", false, false));
  EXPECT_EQ(RecNo(), 1);
  Continue();
  EXPECT_EQ(RecNo(), 3);  // CONTINUE itself still stops on the deleted record
  EXPECT_FALSE(LocateField("TITLE", "Star Trek", false, false));
  EXPECT_TRUE(dEOF());
}

TEST_F(LocateTest, LocateFieldSearchesForTheStoredForm) {
  DateStyle = 2;  // DD/MM/YY
  Use(Films() + " EXCLUSIVE");
  // Record 0: no hit. Values that cannot be stored at all find nothing, rather than turning into
  // blanks that as a prefix would match every record.
  const struct {
    const char* field;
    const char* value;
    const char* search;
    int record;
  } kCases[] = {
      {"RATING", " 8.6 ", " 8.60", 4},
      {"YEAR", "1965", "1965", 5},
      {"YEAR", "19650", "****", 0},  // too wide for N 4
      {"SEEN", "25/05/77", "19770525", 4},
      {"GOOD", "true", "T", 1},
      {"TITLE extra words", "STAR W", "STAR W", 4},  // only the first word names the field
      {"YEAR", "abc", nullptr, 0},
      {"YEAR", "19x7", nullptr, 0},
      {"RATING", "inf", nullptr, 0},
      {"SEEN", "31/02/77", nullptr, 0},
      {"SEEN", "someday", nullptr, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.field) + ": " + c.value);
    GO(2);
    EXPECT_EQ(CodeOf([&] { EXPECT_EQ(LocateField(c.field, c.value, true, false), c.record != 0); }),
              0);
    EXPECT_EQ(RecNo(), c.record != 0 ? c.record : 6);
    if (c.search != nullptr) {
      EXPECT_EQ(SearchValue, c.search);
    }
  }
}

TEST_F(LocateTest, LocateFieldsTriesEachFieldAndReturnsUnlessMoving) {
  Use(Films() + " EXCLUSIVE");
  const std::vector<std::string> values = {"Nothing", "1965"};
  GO(2);
  EXPECT_TRUE(LocateFields("TITLE;YEAR", values, false, true, false));
  EXPECT_EQ(RecNo(), 5);
  GO(2);
  EXPECT_TRUE(LocateFields("TITLE;YEAR", values, false, false, false));
  EXPECT_EQ(RecNo(), 2);
  EXPECT_FALSE(LocateFields("TITLE;YEAR", {"Nothing", "2222"}, false, true, false));
  EXPECT_EQ(RecNo(), 2);
  // A field without a value is not searched.
  EXPECT_FALSE(LocateFields("TITLE;YEAR", {"Nothing"}, false, true, false));
  EXPECT_EQ(RecNo(), 2);
  EXPECT_TRUE(LocateFields("title", {"star w"}, true, true, false));
  EXPECT_EQ(RecNo(), 4);
}

// --- Peek and the read-ahead cache ---

TEST_F(LocateTest, PeekWithoutCacheReadsTheFileEachTime) {
#ifdef _WIN32
  GTEST_SKIP() << "no other program can write a table open for exclusive use on Windows";
#endif
  const std::string path = Films();
  Use(path + " EXCLUSIVE");
  EXPECT_EQ(Peek(1, 4), "Star Wars           ");
  EXPECT_EQ(Peek(4, 5), "        ");
  EXPECT_EQ(Peek(0, 3), "*");
  EXPECT_EQ(PeekCacheRecords(), 0);
  Scribble(path, kFilmHeader + 3 * kFilmRecord + 1, "Solaris  ");
  EXPECT_EQ(Peek(1, 4), "Solaris             ");
  EXPECT_EQ(PeekCacheRecords(), 0);
  EXPECT_EQ(RecNo(), 1);  // Peek does not move
  EXPECT_EQ(CodeOf([] {
              EXPECT_EQ(Peek(1, 0), "");
              EXPECT_EQ(Peek(1, 6), "");
              EXPECT_EQ(Peek(6, 1), "");
              EXPECT_EQ(Peek(-1, 1), "");
            }),
            0);
}

TEST_F(LocateTest, CacheHoldsABlockOfRecordsFromTheFirstPeeked) {
#ifdef _WIN32
  GTEST_SKIP() << "no other program can write a table open for exclusive use on Windows";
#endif
  const std::string path = Hundreds(100);
  Use(path + " EXCLUSIVE");
  PeekCacheSize = 4096;
  EXPECT_EQ(Peek(1, 1).substr(0, 4), "R001");
  EXPECT_EQ(PeekCacheRecords(), 40);
  EXPECT_EQ(PeekCacheFirstRecord(), 1);
  // Another program changes record 2: the block still answers the old bytes.
  Scribble(path, kHundredsHeader + 100 + 1, "NEW2");
  EXPECT_EQ(Peek(1, 2).substr(0, 4), "R002");
  EXPECT_EQ(Peek(1, 40).substr(0, 4), "R040");
  EXPECT_EQ(PeekCacheFirstRecord(), 1);
  EXPECT_EQ(Peek(1, 41).substr(0, 4), "R041");
  EXPECT_EQ(PeekCacheFirstRecord(), 41);
  EXPECT_EQ(PeekCacheRecords(), 40);
  EXPECT_EQ(Peek(1, 2).substr(0, 4), "NEW2");
  EXPECT_EQ(PeekCacheFirstRecord(), 2);
  // Near the end the block holds only the records there are.
  EXPECT_EQ(Peek(1, 81).substr(0, 4), "R081");
  EXPECT_EQ(PeekCacheRecords(), 20);
  // A record larger than the wanted size still gets a block of one.
  PeekCacheSize = 50;
  EXPECT_EQ(Peek(1, 7).substr(0, 4), "R007");
  EXPECT_EQ(PeekCacheRecords(), 1);
}

TEST_F(LocateTest, CacheBelongsToOneTableAtATime) {
  const std::string films = Films();
  const std::string hundreds = Hundreds(3);
  PeekCacheSize = 4096;
  Use(films + " EXCLUSIVE");
  Select(2);
  Use(hundreds + " EXCLUSIVE");
  Select(1);
  EXPECT_EQ(Peek(1, 1), "Alien               ");
  EXPECT_EQ(PeekCacheRecords(), 5);
  Select(2);
  EXPECT_EQ(Peek(1, 3).substr(0, 4), "R003");
  EXPECT_EQ(PeekCacheRecords(), 1);
  EXPECT_EQ(PeekCacheFirstRecord(), 3);
  Select(1);
  CloseArea();  // not the cached table: the block stays
  EXPECT_EQ(PeekCacheRecords(), 1);
  Select(2);
  CloseArea();
  EXPECT_EQ(PeekCacheRecords(), 0);
}

TEST_F(LocateTest, EditsKeepTheCachedRecordInItsStoredForm) {
  ASSERT_TRUE(os::SetCodePages(850, 1252));
  Use(Films() + " EXCLUSIVE");
  PeekCacheSize = 4096;
  ASSERT_EQ(Peek(1, 1), "Alien               ");
  GO(2);
  test::Image().SetText(1, "Caf\xE9");
  REPLACE();
  EXPECT_EQ(PeekCacheFirstRecord(), 1);
  // The block holds the OEM bytes that are on disk, not the ANSI record buffer.
  EXPECT_EQ(Peek(1, 2), "Caf\x82" + std::string(16, ' '));
  DeleteRec();
  EXPECT_EQ(Peek(0, 2), "*");
  RecallRec();
  EXPECT_EQ(Peek(0, 2), " ");
  EXPECT_EQ(PeekCacheFirstRecord(), 1);
}

TEST_F(LocateTest, TruncatedFileGivesReadErrorsNotGarbage) {
  const std::string path = Films();
  // The header still counts five records; the file ends 10 bytes into record 3.
  auto bytes = test::ReadBytes(path);
  bytes.resize(kFilmHeader + 2 * kFilmRecord + 10);
  test::WriteBytes(path, bytes);
  Use(path + " EXCLUSIVE");
  EXPECT_EQ(RecCount(), 5);

  std::string text = "x";
  EXPECT_EQ(CodeOf([&] { text = Peek(1, 4); }), 100);
  EXPECT_EQ(text, "");
  EXPECT_EQ(LastErrorMessage, "DBF: " + path + " [Peek(1,4)]");
  EXPECT_EQ(CodeOf([&] { text = Peek(1, 3); }), 100);  // only 9 of its 20 bytes exist
  EXPECT_EQ(Peek(0, 3), "*");

  PeekCacheSize = 4096;
  EXPECT_EQ(Peek(1, 1), "Alien               ");
  EXPECT_EQ(PeekCacheRecords(), 2);  // the partial record 3 is not cached
  EXPECT_EQ(CodeOf([&] { text = Peek(1, 3); }), 100);
  EXPECT_EQ(text, "");
  EXPECT_EQ(PeekCacheRecords(), 0);

  // A search that runs into the damage stops with the error instead of answering "not found".
  PeekCacheSize = 0;
  EXPECT_EQ(CodeOf([] { Locate("YEAR", "2222"); }), 100);
  EXPECT_EQ(RecNo(), 1);
}

// --- Poke ---

TEST_F(LocateTest, PokeWritesAtMostTheFieldLength) {
  const std::string path = Films();
#ifdef _WIN32
  // Shared under the file lock: Windows keeps the test's own reads of the file out of an
  // exclusive open.
  Use(path);
  ASSERT_TRUE(FLock());
#else
  Use(path + " EXCLUSIVE");
#endif
  PeekCacheSize = 4096;
  ASSERT_EQ(Peek(1, 1), "Alien               ");
  const std::size_t record2 = kFilmHeader + kFilmRecord;
  Poke("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", 1, 2);
  EXPECT_EQ(FileText(path, record2, 25), " ABCDEFGHIJKLMNOPQRST2007");
  Poke("12345", 1, 2);
  EXPECT_EQ(FileText(path, record2, 25), " 12345FGHIJKLMNOPQRST2007");
  EXPECT_EQ(Peek(1, 2), "12345FGHIJKLMNOPQRST");  // the block follows
  Poke("*", 0, 4);
  EXPECT_EQ(FileText(path, kFilmHeader + 3 * kFilmRecord, 2), "*S");
  EXPECT_EQ(CodeOf([] { Poke("x", 1, 6); }), 0);  // outside the records: nothing happens
  CloseAll();
  EXPECT_EQ(test::ReadBytes(path).size(), kFilmHeader + 5 * kFilmRecord + 1);
}

TEST_F(LocateTest, PokeNeedsTheRecordLockOnSharedTables) {
  const std::string path = Films();
  Use(path);
  GO(2);
  EXPECT_EQ(CodeOf([] { Poke("X", 1, 2); }), 1200);
  EXPECT_EQ(LastErrorMessage, "Record not locked [Poke(X,1,2)]");
  ASSERT_TRUE(RLock());
  Poke("X", 1, 2);
  EXPECT_EQ(Peek(1, 2), "Xtar dust           ");
  EXPECT_EQ(CodeOf([] { Poke("X", 1, 4); }), 1200);
  Unlock();
  ASSERT_TRUE(FLock());
  Poke("Y", 1, 4);
  EXPECT_EQ(Peek(1, 4), "Ytar Wars           ");
  Unlock();
  ASSERT_TRUE(ALock());
  EXPECT_EQ(CodeOf([] { Poke("Z", 1, 2); }), 1200);
  Unlock();
  // The context is cut to 100 characters.
  const std::string long_text(120, 'a');
  EXPECT_EQ(CodeOf([&] { Poke(long_text, 1, 2); }), 1200);
  EXPECT_EQ(LastErrorMessage, "Record not locked [Poke(" + std::string(94, 'a'));
}

void NoVirtualManager(TableRecord&) {}

TEST_F(LocateTest, DirectAccessNeedsAFileTable) {
  EXPECT_EQ(CodeOf([] { Peek(1, 1); }), 215);
  EXPECT_EQ(LastErrorMessage, "No database in use [Peek]  WorkArea = 1");
  EXPECT_EQ(CodeOf([] { Poke("x", 1, 1); }), 215);
  VirtualFileManagerProc = NoVirtualManager;
  char image[8] = {};
  Use("films LINKED LIST", image, sizeof image);
  EXPECT_EQ(CodeOf([] { Peek(1, 1); }), 1100);
  EXPECT_EQ(LastErrorMessage, "Operation cannot be used on virtual files. [Peek]");
  EXPECT_EQ(CodeOf([] { Poke("x", 1, 1); }), 1100);
  EXPECT_EQ(LastErrorMessage, "Operation cannot be used on virtual files.[Poke(x,1,1)]");
}

}  // namespace
}  // namespace vx
