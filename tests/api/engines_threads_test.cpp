// Two Engines in two threads through the public library, each with a table of its own, at the
// same time: create, tags, appends with memos under the append lock, seeks, walks in key order,
// edits of memos and keys under record locks, deletions, check, a pack (a path operation, on an
// engine of its own) and the table read again afterwards. Built with ThreadSanitizer (VX_TSAN)
// it shows that two engines share no state; in the main suite it checks each engine's results.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>
#include <vexel/indexing.hpp>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>

#include "tests/support/temp_dir.h"

namespace {

constexpr int kRows = 240;

std::string NameOf(int worker, int i) {
  char text[16];
  std::snprintf(text, sizeof text, "W%dR%04d", worker, i);
  return text;
}

// Memos of different lengths, so that rewrites move blocks.
std::string MemoOf(int worker, int i, int round) {
  return "memo of " + NameOf(worker, i) + " round " + std::to_string(round) +
         std::string(static_cast<std::size_t>((i * 37 + round * 500) % 900), '.');
}

// NUM runs backwards to NAME, so the two tags order the records differently.
std::int64_t NumOf(int i) { return 10000 - i; }

// One worker's whole session on its own Engine. Failures are collected as text, since gtest's
// assertions are not meant to be raised from two threads.
void Session(int worker, const std::string& path, std::vector<std::string>& failures) {
  const auto check = [&](bool ok, const std::string& what) {
    if (!ok) failures.push_back("worker " + std::to_string(worker) + ": " + what);
  };
  try {
    vexel::Engine engine;
    {
      vexel::CreateOptions options;
      // The two workers write different kinds: different memo files and headers.
      options.kind = worker == 0 ? vexel::TableKind::dbase4 : vexel::TableKind::foxpro;
      vexel::Table t = engine.create(
          path, {{"NAME", 'C', 10, 0}, {"NUM", 'N', 6, 0}, {"NOTES", 'M', 10, 0}}, options);
      t.add_tag({"NAME", "NAME"});
      t.add_tag({"NUM", "NUM", "", true});  // descending
      {
        vexel::AppendLock append = t.lock_append();
        for (int i = 0; i < kRows; ++i) {
          append.append(
              {{"NAME", NameOf(worker, i)}, {"NUM", NumOf(i)}, {"NOTES", MemoOf(worker, i, 0)}});
        }
      }
      check(t.size() == kRows, "size after appends");
      for (int i = 0; i < kRows; i += 7) {
        check(t.seek("NAME", NameOf(worker, i)) == static_cast<std::uint32_t>(i + 1),
              "seek " + NameOf(worker, i));
        const auto found = t.find("NUM", NumOf(i));
        check(found && found->text("NOTES") == MemoOf(worker, i, 0),
              "find by NUM " + NameOf(worker, i));
      }
      // Every third record: a new memo and key through a record lock; every fifth: deleted.
      for (int i = 0; i < kRows; i += 3) {
        vexel::RecordLock lock = t.lock(static_cast<std::uint32_t>(i + 1));
        lock.set("NOTES", MemoOf(worker, i, 1)).set("NUM", NumOf(i) + 20000).commit();
      }
      for (int i = 0; i < kRows; i += 5) t.remove(static_cast<std::uint32_t>(i + 1));
      // NUM descending: the edited records (keys above 20000) first.
      std::int64_t last = 1 << 30;
      int walked = 0;
      for (const vexel::Record& r : t.order("NUM")) {
        const std::int64_t num = std::get<std::int64_t>(r["NUM"]);
        check(num <= last, "NUM order at record " + std::to_string(r.recno()));
        last = num;
        ++walked;
      }
      check(walked == kRows, "records walked in NUM order");
      check(t.seek("NUM", NumOf(3) + 20000) == 4u, "seek of an edited key");
      const vexel::TableCheck report = vexel::check_table(path);
      check(report.ok,
            "check before the pack: " +
                (report.findings().empty() ? std::string() : report.findings().front().what));
    }
    const vexel::PackResult pack = vexel::pack_table(path);
    check(pack.removed == kRows / 5 && pack.kept == kRows - kRows / 5, "pack counts");
    vexel::Table t = engine.open(path);
    check(t.size() == static_cast<std::uint32_t>(kRows - kRows / 5), "size after the pack");
    int seen = 0;
    for (const vexel::Record& r : t.order("NAME")) {
      const int i = std::stoi(r.text("NAME").substr(3));
      check(i % 5 != 0, "a deleted record survived the pack");
      check(r.text("NOTES") == MemoOf(worker, i, i % 3 == 0 ? 1 : 0),
            "memo of " + NameOf(worker, i));
      ++seen;
    }
    check(seen == kRows - kRows / 5, "records walked after the pack");
    check(vexel::check_table(path).ok, "check after the pack");
  } catch (const std::exception& e) {
    failures.push_back("worker " + std::to_string(worker) + ": " + e.what());
  }
}

TEST(EnginesThreadsTest, TwoEnginesInTwoThreadsWorkOnTheirOwnTablesAtOnce) {
  vx::test::TempDir dir;
  std::vector<std::string> failures[2];
  std::thread first(Session, 0, dir.File("ONE.DBF"), std::ref(failures[0]));
  std::thread second(Session, 1, dir.File("TWO.DBF"), std::ref(failures[1]));
  first.join();
  second.join();
  for (const auto& list : failures) {
    for (const std::string& failure : list) ADD_FAILURE() << failure;
  }
}

// One Engine shared by two threads is serial but sound: both walk and edit their own tables.
TEST(EnginesThreadsTest, OneEngineSharedByTwoThreadsServesThemInTurn) {
  vx::test::TempDir dir;
  vexel::Engine engine;
  std::vector<vexel::Table> tables;
  for (const char* name : {"A.DBF", "B.DBF"}) {
    tables.push_back(engine.create(dir.File(name), {{"N", 'N', 6, 0}, {"M", 'M', 10, 0}}));
    tables.back().add_tag({"N", "N"});
  }
  std::vector<std::string> failures[2];
  const auto work = [&](int k) {
    try {
      vexel::Table& t = tables[static_cast<std::size_t>(k)];
      for (int i = 0; i < 100; ++i) t.append({{"N", std::int64_t{i}}, {"M", NameOf(k, i)}});
      for (int i = 0; i < 100; i += 9) {
        const auto r = t.find("N", std::int64_t{i});
        if (!r || r->text("M") != NameOf(k, i)) failures[k].push_back("find " + NameOf(k, i));
      }
    } catch (const std::exception& e) {
      failures[k].push_back(e.what());
    }
  };
  std::thread first(work, 0);
  std::thread second(work, 1);
  first.join();
  second.join();
  for (const auto& list : failures) {
    for (const std::string& failure : list) ADD_FAILURE() << failure;
  }
}

}  // namespace
