// Positioning, the visibility rule and the edit commands, including another program's appends
// and truncations seen through the count refresh.

#include "engine/workarea/navigation.h"

#include <cstring>

#include "engine/workarea/locks.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/engine/workarea/work_area_fixture.h"

namespace vx {
namespace {

using test::DbfBuilder;
using test::Image;
using test::WorkAreaTest;

std::string Name() {
  const std::string text(Image().Text(1));
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

class NavigationTest : public WorkAreaTest {
 protected:
  // Five records; 1 and 2 are deleted.
  std::string Names() {
    const std::string path = dir_.File("names.dbf");
    test::WriteBytes(path, DbfBuilder(0x03)
                               .Field("NAME", 'C', 6)
                               .Field("N", 'N', 3)
                               .Record("*Anna    1")
                               .Record("*Ben     2")
                               .Record(" Cleo    3")
                               .Record(" Dan     4")
                               .Record(" Eve     5")
                               .Build());
    return path;
  }
};

TEST_F(NavigationTest, FieldAccessors) {
  Use(Names());
  EXPECT_EQ(FieldCount(), 2);
  EXPECT_EQ(FieldNo("n"), 2);
  EXPECT_EQ(FieldNo("name "), 1);
  EXPECT_EQ(FieldNo("nothing"), 0);
  EXPECT_EQ(EngineErrorCode, 0);
  EXPECT_EQ(FieldType(1), 'C');
  EXPECT_EQ(FieldLen(2), 3);
  EXPECT_EQ(Field(2), "N");
  EXPECT_EQ(CodeOf([] { EXPECT_EQ(FieldType(0), ' '); }), 220);
  EXPECT_EQ(LastErrorMessage, "Invalid field number. [FieldType(0)]");
  EXPECT_EQ(CodeOf([] { EXPECT_EQ(FieldAddress(3), nullptr); }), 220);
  EXPECT_EQ(RecSize(), 10);
}

TEST_F(NavigationTest, SkipPastTheLastRecordReachesEndOfFile) {
  Use(Names());
  GO(5);
  SKIP(1);
  EXPECT_EQ(RecNo(), 6);
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(Name(), "");
  try {
    SKIP(1);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()), "Error # 212 (Request beyond range)\r\nDatabase \"" +
                                         dir_.File("names.dbf") + "\" is past EOF. [SKIP]");
  }
}

TEST_F(NavigationTest, SkipDeletedAppliesToMovesButNotToGo) {
  Use(Names());
  EXPECT_EQ(RecNo(), 1);
  EXPECT_FALSE(SetIgnoreDel(true));
  GoTop();
  EXPECT_EQ(RecNo(), 3);
  EXPECT_EQ(Name(), "Cleo");
  GO(1);
  EXPECT_EQ(RecNo(), 1);
  EXPECT_EQ(Name(), "Anna");
  GoBottom();
  EXPECT_EQ(RecNo(), 5);
  SKIP(-2);
  EXPECT_EQ(RecNo(), 3);
  // Backwards past the first visible record: BOF, standing on the top.
  SKIP(-1);
  EXPECT_TRUE(dBOF());
  EXPECT_EQ(RecNo(), 3);
}

TEST_F(NavigationTest, SkipBackFromTheFirstRecordSetsBof) {
  Use(Names());
  GO(1);
  SKIP(-1);
  EXPECT_TRUE(dBOF());
  EXPECT_FALSE(dEOF());
  EXPECT_EQ(RecNo(), 1);
  EXPECT_EQ(Name(), "Anna");
  SKIP(-1);  // nothing happens at BOF
  EXPECT_EQ(RecNo(), 1);
}

TEST_F(NavigationTest, GoOutsideTheTableFailsAtEof) {
  Use(Names());
  try {
    GO(9);
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()), "Error # 212 (Request beyond range)\r\nInvalid record number "
                                     "= 9 \nDatabase \"" + dir_.File("names.dbf") + "\" [GO]");
  }
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(RecNo(), 6);
  EXPECT_TRUE(GoIfValid(4));
  EXPECT_FALSE(GoIfValid(0));
  EXPECT_EQ(RecNo(), 4);
}

TEST_F(NavigationTest, AllRecordsHiddenEndsAtEof) {
  const std::string path = dir_.File("gone.dbf");
  test::WriteBytes(path, DbfBuilder(0x03).Field("A", 'C', 1).Record("*a").Record("*b").Build());
  Use(path);
  SetIgnoreDel(true);
  GoTop();
  EXPECT_TRUE(dEOF());
  GoBottom();
  EXPECT_TRUE(dEOF());
  EXPECT_TRUE(dBOF());
}

bool NameStartsWithD(void*) { return Image().Text(1).starts_with('D'); }
bool NumberBelowFive(void*) { return Image().Number(2) < 5; }

TEST_F(NavigationTest, FilterAndScope) {
  Use(Names());
  SetFilterProc(NameStartsWithD, nullptr);
  GoTop();
  EXPECT_EQ(Name(), "Dan");
  SKIP(1);
  EXPECT_TRUE(dEOF());
  SetFilterProc(nullptr, nullptr);
  SetWhileProc(NumberBelowFive, nullptr);
  EXPECT_TRUE(IsWhileOn());
  GO(3);
  SKIP(5);
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(RecNo(), 5);  // the scope failed on record 5
}

TEST_F(NavigationTest, EditsNeedLocksOnSharedTables) {
  Use(Names());
  GO(3);
  EXPECT_EQ(CodeOf([] { DeleteRec(); }), 1200);
  EXPECT_EQ(CodeOf([] { REPLACE(); }), 1200);
  EXPECT_EQ(LastErrorMessage, "Record #3 in " + dir_.File("names.dbf") + " [REPLACE]");
  EXPECT_EQ(CodeOf([] { Append(); }), 5);
  EXPECT_EQ(LastErrorMessage,
            "File must be locked to append: " + dir_.File("names.dbf") + " [APPEND]");
  ASSERT_TRUE(RLock());
  Image().SetText(1, "XXXX");  // only the flag reaches the file
  DeleteRec();
  Unlock();
  CloseAll();
  const auto bytes = test::ReadBytes(dir_.File("names.dbf"));
  const std::size_t record3 = 32 + 64 + 1 + 2 * 10;
  EXPECT_EQ(std::string(bytes.begin() + record3, bytes.begin() + record3 + 10), "*Cleo    3");
}

TEST_F(NavigationTest, RecallNeedsACurrentRecord) {
  Use(Names() + " EXCLUSIVE");
  GO(1);
  RecallRec();
  EXPECT_FALSE(Image().Deleted());
  GoBottom();
  SKIP(1);
  EXPECT_EQ(CodeOf([] { RecallRec(); }), 1103);
}

TEST_F(NavigationTest, AppendAndReplaceOnAnExclusiveTable) {
  Use(Names() + " EXCLUSIVE");
  ClearRecord();
  Image().SetText(1, "Finn");
  Append();
  EXPECT_EQ(RecNo(), 6);
  EXPECT_EQ(RecCount(), 6);
  EXPECT_EQ(Name(), "Finn");
  GO(2);
  Image().SetText(1, "Bert");
  REPLACE();
  CloseAll();
  Use(dir_.File("names.dbf"));
  GO(2);
  EXPECT_EQ(Name(), "Bert");
  GO(6);
  EXPECT_EQ(Name(), "Finn");
}

TEST_F(NavigationTest, ReplaceOnAnEmptyTableOrAtEof) {
  const std::string path = MakeTable("e.dbf", {{"A", 'C', 3, 0, 0}});
  Use(path + " EXCLUSIVE");
  EXPECT_EQ(CodeOf([] { REPLACE(); }), 212);
  EXPECT_EQ(LastErrorMessage, "Database \"" + path + "\" is empty. [REPLACE]");
  EXPECT_EQ(CodeOf([] { SKIP(-1); }), 212);
  EXPECT_EQ(LastErrorMessage, "Database \"" + path + "\" is empty. [SKIP]");
  Append();
  SKIP(1);
  EXPECT_EQ(CodeOf([] { REPLACE(); }), 212);
  EXPECT_EQ(LastErrorMessage, "Database \"" + path + "\" is at EOF. [REPLACE]");
}

TEST_F(NavigationTest, AnotherProgramsAppendsBecomeVisible) {
  const std::string path = Names();
  Select(1);
  Use(path);
  Select(2);
  Use(path + " ALIAS OTHER");
  ASSERT_TRUE(ALock());
  ClearRecord();
  Image().SetText(1, "Gus");
  Append();
  Append();
  Unlock();
  Select(1);
  GO(5);
  SKIP(1);  // walks into the records the other area appended
  EXPECT_FALSE(dEOF());
  EXPECT_EQ(RecNo(), 6);
  EXPECT_EQ(Name(), "Gus");
  EXPECT_EQ(RecCount(), 7);
  GO(7);
  EXPECT_EQ(Name(), "Gus");
}

TEST_F(NavigationTest, RecordsCutOffByAnotherProgramAreNotRead) {
  const std::string path = Names();
  Use(path);
  GO(4);
  // Another program cuts the file in the middle of record 4.
  {
    os::File other;
    ASSERT_EQ(os::File::Open(path, os::kOpenReadWriteDenyNone, other), 0);
    ASSERT_EQ(other.Truncate(32 + 64 + 1 + 35), 0);
  }
  // Record 5 is within the known count: the short read is reported, nothing else is read.
  EXPECT_EQ(CodeOf([] { GO(5); }), 213);
  EXPECT_EQ(RecCount(), 3);
  EXPECT_EQ(CodeOf([] { GO(5); }), 212);
  GO(3);
  EXPECT_EQ(Name(), "Cleo");
  SKIP(1);
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(Name(), "");
}

TEST_F(NavigationTest, ResyncMovesOffARecordThatBecameInvisible) {
  Use(Names() + " EXCLUSIVE");
  SetIgnoreDel(true);
  GO(4);
  DeleteRec();
  EXPECT_TRUE(Resync());
  EXPECT_EQ(RecNo(), 5);
  DeleteRec();
  EXPECT_TRUE(Resync());  // nothing after it: back to the previous visible record
  EXPECT_EQ(RecNo(), 3);
  EXPECT_FALSE(Resync());
}

}  // namespace
}  // namespace vx
