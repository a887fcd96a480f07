// Engines: two engines in two threads, each with its own table, appending, seeking, editing,
// writing memos and evaluating expressions at the same time (built with ThreadSanitizer this
// shows that they share no state); two engines in one thread switched by scopes; two engines
// on one file conflicting over locks as two programs do.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/index/index_build.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_storage.h"
#include "engine/startup/engine.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

using test::TempDir;

constexpr int kRows = 300;

RecordImage Image() { return RecordImage::Of(*SelectedTable()); }

std::string NameOf(int worker, int i) {
  char text[16];
  std::snprintf(text, sizeof text, "W%dR%04d", worker, i);
  return text;
}

// Creates NAME C 10, NUM N 6, NOTES M in `dir` and opens it shared in area 1 of the current
// engine, with tags NAME and NUM.
void OpenNewTable(const std::string& path) {
  TableRecord creator;
  CreateDBF(creator, path,
            {{"NAME", 'C', 10, 0, 0}, {"NUM", 'N', 6, 0, 0}, {"NOTES", 'M', 10, 0, 0}});
  Select(1);
  Use(path);
  AddIndexTag({"NAME", "NAME", "", false, false});
  AddIndexTag({"NUM", "NUM", "", false, false});
}

std::string MemoText(int worker, int i, int round) {
  return "memo of " + NameOf(worker, i) + " round " + std::to_string(round) +
         std::string(static_cast<std::size_t>(i % 50), '.');
}

std::string CurrentMemo() {
  std::string text;
  const std::int32_t block = Image().MemoBlock(3);
  if (block != 0) ReadMemo(*SelectedTable(), block, text);
  return text;
}

// One worker's whole session on its own engine. Every setting it changes differs from the
// other worker's, so a setting read from the wrong engine shows as a wrong result. Failures are
// collected as text, since gtest's assertions are not meant to be raised from two threads.
void Session(int worker, const std::string& path, std::vector<std::string>& failures) {
  const auto check = [&](bool ok, const std::string& what) {
    if (!ok) failures.push_back("worker " + std::to_string(worker) + ": " + what);
  };
  SetDateStyle(worker == 0 ? 0 : 5);  // separators differ too
  OpenNewTable(path);

  check(ALock(), "alock");
  for (int i = 0; i < kRows; ++i) {
    ClearRecord();
    Image().SetText(1, NameOf(worker, i));
    Image().SetNumber(2, worker * 100000 + i);
    Image().SetMemoBlock(3, AddMemo(MemoText(worker, i, 0)));
    Append();
  }
  Unlock();
  check(RecCount() == kRows, "record count " + std::to_string(RecCount()));

  // Seeks in both orders, an edit of every third record with a new memo, and a quiet error
  // that only this engine sees.
  Set_Order_To(1);
  for (int i = kRows - 1; i >= 0; --i) {
    if (!Find(NameOf(worker, i))) {
      check(false, "find " + NameOf(worker, i));
      continue;
    }
    if (i % 3 != 0) continue;
    check(RLock(), "rlock");
    Image().SetNumber(2, worker * 100000 + 50000 + i);
    Image().SetMemoBlock(
        3, ReplaceMemo(*SelectedTable(), Image().MemoBlock(3), MemoText(worker, i, 1), "REPLACE"));
    REPLACE();
    Unlock();
  }
  {
    QuietErrors quiet;
    Select(40 + worker);  // no such area: code 220 in this engine only
    check(EngineErrorCode == 220, "error code " + std::to_string(EngineErrorCode));
    EngineErrorCode = 0;
  }
  SoftSeek = worker == 1;
  Set_Order_To(2);
  const bool found = Find(std::to_string(worker * 100000 + 1000));
  check(!found && dEOF() == (worker == 0), "soft seek between keys");

  // Expressions over this engine's table, in this engine's date style.
  Expr text = Expr::Compile("UPPER(NAME) + STR(NUM, 6)");
  Expr memo = Expr::Compile("NOTES");
  Expr date = Expr::Compile("DTOC(CTOD(\"24.12.1999\"))");
  check(std::string(static_cast<const char*>(date.Evaluate())) ==
            (worker == 0 ? "  /  /  " : "24.12.99"),
        "date style");
  Set_Order_To(0);
  for (int i = 0; i < kRows; ++i) {
    GO(i + 1);
    const int num = worker * 100000 + (i % 3 == 0 ? 50000 : 0) + i;
    char expected[32];
    std::snprintf(expected, sizeof expected, "%-10s%6d", NameOf(worker, i).c_str(), num);
    check(std::string(static_cast<const char*>(text.Evaluate())) == expected,
          std::string("expression ") + static_cast<const char*>(text.Evaluate()));
    check(std::string(static_cast<const char*>(memo.Evaluate())) ==
              MemoText(worker, i, i % 3 == 0 ? 1 : 0),
          "memo expression");
    check(CurrentMemo() == MemoText(worker, i, i % 3 == 0 ? 1 : 0), "memo " + CurrentMemo());
  }
  CloseAll();
}

void Work(int worker, const std::string& path, std::vector<std::string>& failures) {
  Engine engine;
  EngineScope scope(engine);
  try {
    Session(worker, path, failures);
  } catch (const EVexelError& e) {
    failures.push_back("worker " + std::to_string(worker) + ": " + e.what());
  }
}

TEST(EnginesTest, TwoEnginesInTwoThreadsWorkAtTheSameTimeOnTheirOwnTables) {
  TempDir dir;
  std::vector<std::string> failures[2];
  std::thread first(Work, 0, dir.File("first.dbf"), std::ref(failures[0]));
  std::thread second(Work, 1, dir.File("second.dbf"), std::ref(failures[1]));
  first.join();
  second.join();
  for (const auto& list : failures) {
    for (const std::string& failure : list) ADD_FAILURE() << failure;
  }
  // The default engine saw none of it.
  EXPECT_EQ(SelectedTable(), nullptr);
  EXPECT_FALSE(SoftSeek);
}

TEST(EnginesTest, ScopesSwitchEnginesInOneThreadAndRestoreThePreviousOne) {
  TempDir dir;
  InitEngine();
  Engine a;
  Engine b;
  {
    EngineScope in_a(a);
    OpenNewTable(dir.File("a.dbf"));
    LockRetries = 3;
    {
      EngineScope in_b(b);
      EXPECT_EQ(&Engine::Current(), &b);
      EXPECT_EQ(SelectedTable(), nullptr);
      EXPECT_EQ(LockRetries, 0);
      OpenNewTable(dir.File("b.dbf"));
      {
        QuietErrors quiet;
        Select(99);
      }
      EXPECT_EQ(EngineErrorCode, 220);
    }
    EXPECT_EQ(&Engine::Current(), &a);
    EXPECT_EQ(EngineErrorCode, 0);
    EXPECT_EQ(LockRetries, 3);
    ASSERT_NE(SelectedTable(), nullptr);
    EXPECT_EQ(SelectedTable()->alias, "A");
    EXPECT_EQ(OrderCount(), 2);
  }
  EXPECT_EQ(&Engine::Current(), &Engine::Default());
  EXPECT_EQ(SelectedTable(), nullptr);
  EXPECT_EQ(LockRetries, 0);
  // An engine reports through its own switches: quiet in one, raising in the other.
  {
    EngineScope in_a(a);
    SetRaiseOnError(false);
    Select(99);
    EXPECT_EQ(EngineErrorCode, 220);
  }
  EngineScope in_b(b);
  EXPECT_THROW(Select(99), EVexelError);
}

// Two engines are two programs to each other: locks are held per open of the file, so one
// engine's record lock keeps the other out, and closing the other's open of the same file
// leaves the lock in place.
TEST(EnginesTest, TwoEnginesOnOneFileConflictOverLocksAsTwoProgramsDo) {
  TempDir dir;
  const std::string path = dir.File("shared.dbf");
  Engine a;
  Engine b;
  {
    EngineScope in_a(a);
    OpenNewTable(path);
    ASSERT_TRUE(ALock());
    ClearRecord();
    Image().SetText(1, "ONE");
    Append();
    Unlock();
    GO(1);
    ASSERT_TRUE(RLock());
  }
  {
    EngineScope in_b(b);
    Use(path);
    GO(1);
    EXPECT_FALSE(RLock());
    CloseArea();
    Use(path);
    GO(1);
    EXPECT_FALSE(RLock());  // still held by the other engine
  }
  {
    EngineScope in_a(a);
    Unlock();
  }
  EngineScope in_b(b);
  EXPECT_TRUE(RLock());
}

}  // namespace
}  // namespace vx
