// Several programs editing one shared table with a three-tag production index at once:
// appends, replaces of key fields, deletes and recalls, each under its record or append lock.
// Afterwards every tree is sound, every append is present once and each program's last values
// are in the table and in every tag, and the doctor finds nothing wrong. Then the same with four
// kinds of writers (vxdbf set, vxdbf append, the library, the Python package) that open the table
// anew for every edit, so that every edit first reads the trees whole while the others write;
// vxdbf append, the library's append_many and Python's append_many append batches of rows.
// And the other index kinds: four programs editing through the library a Visual FoxPro table
// with a 3-tag structural .CDX, then a dBASE III table with two .NDX files, each checked and
// read by Perl's XBase::Index afterwards.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vexel/indexing.hpp>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>
#include <map>
#include <random>
#include <set>

#include "engine/index/index_check.h"
#include "engine/index/orders.h"
#include "engine/workarea/navigation.h"
#include "platform/os/system.h"
#include "tests/engine/index/index_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/perl_index.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx {
namespace {

using test::Child;
using test::Row;

class IndexStressTest : public test::IndexTest {};

struct Final {
  std::string code;
  int num = 0;
  bool deleted = false;
};

void SetImage(const std::string& code, int num) {
  char* field = FieldAddress(1);
  field[0] = static_cast<char>(code.size());
  std::memset(field + 1, ' ', 6);
  std::memcpy(field + 1, code.data(), code.size());
  std::memcpy(FieldAddress(2), &num, sizeof num);
}

// One program's work: `operations` edits of its own records; its final rows go to `out`.
int Worker(Child& self, const std::string& table, int id, int operations, const std::string& out) {
  self.Receive();
  InitEngine();
  QuietErrors quiet;
  Use(table);
  if (!SetIndexTo()) {
    std::ofstream(out) << "open: " << EngineErrorCode << " " << LastErrorMessage << "\n";
    return 10;
  }
  // Logged in; the work starts when every program has.
  self.Send();
  self.Receive();
  std::mt19937 random(static_cast<unsigned>(id * 7919 + 1));
  std::map<std::int32_t, Final> mine;
  int counter = 0;
  for (int op = 0; op < operations; ++op) {
    const int kind = mine.empty() ? 0 : static_cast<int>(random() % 10);
    EngineErrorCode = 0;
    if (kind < 4) {
      while (!ALock()) os::SleepMs(1);
      EngineErrorCode = 0;
      {
        // Half the appends are batches of three rows under one update bracket (AppendBatch).
        AppendBatch batch;
        for (int rows = kind % 2 == 0 ? 3 : 1; rows > 0; --rows) {
          const Final row{
              std::string(1, static_cast<char>('A' + id)) + std::to_string(random() % 1000),
              id * 10000 + ++counter % 10000, false};
          ClearRecord();
          SetImage(row.code, row.num);
          Append();
          if (EngineErrorCode != 0) return 11;
          mine[RecNo()] = row;
        }
        if (!batch.Close()) return 14;
      }
      Unlock();
    } else {
      auto it = mine.begin();
      std::advance(it, static_cast<long>(random() % mine.size()));
      GO(it->first);
      while (!RLock()) os::SleepMs(1);
      EngineErrorCode = 0;
      Final& row = it->second;
      if (kind < 8) {
        row.code = std::string(1, static_cast<char>('A' + id)) + std::to_string(random() % 1000);
        row.num = id * 10000 + ++counter % 10000;
        SetImage(row.code, row.num);
        REPLACE();
      } else if (kind == 8) {
        DeleteRec();
        row.deleted = true;
      } else {
        RecallRec();
        row.deleted = false;
      }
      if (EngineErrorCode != 0) return 12;
      Unlock();
    }
  }
  CloseAll();
  std::ofstream file(out);
  for (const auto& [record, row] : mine) {
    file << record << ' ' << row.code << ' ' << row.num << ' ' << row.deleted << '\n';
  }
  return file.good() ? 0 : 13;
}

TEST_F(IndexStressTest, FourProgramsEditOneIndexedTableAndEveryTagStaysTrue) {
  const std::string table = MakeIndexedTable({{"START", 1}}, true, 3);
  constexpr int kPrograms = 4;
  constexpr int kOperations = 1000;
  std::vector<std::unique_ptr<Child>> children;
  for (int id = 0; id < kPrograms; ++id) {
    const std::string out = dir_.File("out" + std::to_string(id));
    children.push_back(std::make_unique<Child>(
        [&table, id, out](Child& self) { return Worker(self, table, id, kOperations, out); }));
  }
  // The programs log in at the same moment, then all edit at once.
  for (auto& child : children) child->Send();
  for (auto& child : children) child->Receive();
  for (auto& child : children) child->Send();
  for (int id = 0; id < kPrograms; ++id) {
    EXPECT_EQ(children[static_cast<std::size_t>(id)]->Wait(300), 0) << [&] {
      const auto bytes = test::ReadBytes(dir_.File("out" + std::to_string(id)));
      return std::string(bytes.begin(), bytes.end());
    }();
  }
  // The programs' final rows.
  std::map<std::int32_t, Final> expected;
  expected[1] = {"START", 1, false};
  for (int id = 0; id < kPrograms; ++id) {
    std::ifstream in(dir_.File("out" + std::to_string(id)));
    std::int32_t record = 0;
    Final row;
    while (in >> record >> row.code >> row.num >> row.deleted) {
      EXPECT_TRUE(expected.emplace(record, row).second) << "record " << record << " twice";
    }
  }
  Use(table);
  ASSERT_EQ(RecCount(), static_cast<std::int32_t>(expected.size()));
  std::set<std::int32_t> live;
  for (const auto& [record, row] : expected) {
    GoRaw(record);
    EXPECT_EQ(Code(), row.code) << "record " << record;
    if (!row.deleted) live.insert(record);
  }
  CloseAll();
  MdxFile file;
  ASSERT_TRUE(file.Open(dir_.File("T.MDX"), os::kOpenReadOnlyDenyNone));
  ASSERT_EQ(file.header().TagCount(), 3);
  for (int tag = 1; tag <= 3; ++tag) {
    TagHeader header;
    ASSERT_TRUE(file.ReadTagHeader(tag, header));
    std::vector<std::string> problems;
    std::vector<TagItem> items;
    CheckTagTree(file, header,
                 ChooseComparator(header.KeyType(), header.KeyType() == 'N' ? 'N' : 'C',
                                  header.Descending()),
                 problems, &items);
    EXPECT_TRUE(problems.empty()) << "tag " << tag << ": " << problems.front();
    std::set<std::int32_t> in_tag;
    for (const TagItem& item : items) {
      EXPECT_TRUE(in_tag.insert(static_cast<std::int32_t>(item.record)).second);
      const auto it = expected.find(static_cast<std::int32_t>(item.record));
      ASSERT_NE(it, expected.end());
      if (header.KeyType() == 'C') {
        std::string code = it->second.code;
        code.resize(6, ' ');
        EXPECT_EQ(item.key, code) << "record " << item.record;
      } else {
        const PackedDecimal packed = DoubleToPacked(it->second.num, 0);
        EXPECT_EQ(item.key, std::string(packed.begin(), packed.end()));
      }
    }
    EXPECT_EQ(in_tag, live) << "tag " << tag;
  }
  file.Close();
  const tool::Result check = tool::Vxdbf({"check", table});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
}


// ---------------------------------------------------------------------------------------------
// Four kinds of writers, each opening the table for every edit

constexpr int kMixedOperations = 80;
constexpr int kOwnRecords = 10;

// The CODE the writer `kind` gives in its operation `i`: spread over the key range, so that the
// others' inserts split leaves all over the tree.
std::string MixedCode(char kind, int i) {
  char code[16];
  std::snprintf(code, sizeof code, "%c%c%05d", static_cast<char>('A' + (i * 7 + kind) % 26), kind,
                i);
  return code;
}

// A writer's failure goes to its file; the answer is the exit status.
int Failed(const std::string& out, const std::string& what) {
  std::ofstream(out) << what << "\n";
  return 1;
}

// vxdbf set on the records `first`..: each operation a separate run of the command.
int SetWriter(Child& self, const std::string& table, int first, const std::string& out) {
  self.Receive();
  for (int i = 0; i < kMixedOperations; ++i) {
    const std::string record = std::to_string(first + i % kOwnRecords);
    const tool::Result r = tool::Vxdbf({"set", table, record, "CODE=" + MixedCode('S', i),
                                        "--retries", "255", "--wait", "0.05"});
    if (r.status != 0) return Failed(out, "set " + std::to_string(i) + ": " + r.err);
  }
  return 0;
}

int AppendWriter(Child& self, const std::string& table, const std::string& out) {
  self.Receive();
  for (int i = 0; i < kMixedOperations; ++i) {
    // Two rows a run: one batch, its keys put in together.
    const tool::Result r =
        tool::Vxdbf({"append", table, "--retries", "255", "--wait", "0.05"},
                    "CODE,NUM\n" + MixedCode('V', i) + "," + std::to_string(i) + "\n" +
                        MixedCode('U', i) + "," + std::to_string(i) + "\n");
    if (r.status != 0) return Failed(out, "append " + std::to_string(i) + ": " + r.err);
  }
  return 0;
}

// The library: appends and edits of its own records, alternately.
int LibraryWriter(Child& self, const std::string& table, int first, const std::string& out) {
  self.Receive();
  vexel::OpenOptions options;
  options.lock_retries = 1000;
  options.lock_wait_ms = 10;
  for (int i = 0; i < kMixedOperations; ++i) {
    try {
      vexel::Table t = vexel::open(table, options);
      if (i % 4 == 0) {
        t.append({{"CODE", MixedCode('L', i)}, {"NUM", std::int64_t{i}}});
      } else if (i % 2 == 0) {
        // A batch of two rows under one update bracket.
        t.lock_append().append_many({{{"CODE", MixedCode('L', i)}, {"NUM", std::int64_t{i}}},
                                     {{"CODE", MixedCode('K', i)}, {"NUM", std::int64_t{i}}}});
      } else {
        const auto record = static_cast<std::uint32_t>(first + i % kOwnRecords);
        vexel::RecordLock lock = t.lock(record);
        t.update(record, {{"CODE", MixedCode('L', i)}});
      }
      t.close();
    } catch (const std::exception& e) {
      return Failed(out, "library " + std::to_string(i) + ": " + e.what());
    }
  }
  return 0;
}

// The Python package, the same way as the library, in a Python process of its own.
int PythonWriter(Child& self, const std::string& table, int first, const std::string& out) {
  self.Receive();
  const std::string script = R"(
import sys, vexel
table, first, count, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
def code(i, kind="P"):
    return chr(ord("A") + (i * 7 + ord(kind)) % 26) + kind + "%05d" % i
for i in range(count):
    try:
        with vexel.open(table, lock_retries=1000, lock_wait=0.01) as t:
            if i % 4 == 0:
                t.append(CODE=code(i), NUM=i)
            elif i % 2 == 0:
                t.append_many([{"CODE": code(i), "NUM": i}, {"CODE": code(i, "Q"), "NUM": i}])
            else:
                with t.lock(first + i % 10) as rec:
                    rec.CODE = code(i)
    except Exception as e:
        open(out, "w").write("python %d: %s\n" % (i, e))
        sys.exit(1)
)";
  ::setenv("PYTHONPATH", VX_PYTHON_PATH, 1);
#if defined(VX_PYTHON_PRELOAD)
  ::setenv("LD_PRELOAD", VX_PYTHON_PRELOAD, 1);
  ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
#endif
  const std::string first_text = std::to_string(first);
  const std::string count_text = std::to_string(kMixedOperations);
  ::execl(VX_PYTHON, VX_PYTHON, "-c", script.c_str(), table.c_str(), first_text.c_str(),
          count_text.c_str(), out.c_str(), static_cast<char*>(nullptr));
  return Failed(out, "python did not start");
}

TEST_F(IndexStressTest, FourKindsOfWritersOpeningTheTableForEachEditSeeNoFalseDamage) {
#if !defined(VX_PYTHON_PATH)
  GTEST_SKIP() << "the Python package is not built";
#else
  const std::string table = dir_.File("M.DBF");
  ASSERT_EQ(tool::Vxdbf({"create", table, "--field", "CODE,C,20", "--field", "NUM,N,8,0"}).status,
            0);
  // Records 1..10 are vxdbf set's, 11..20 the library's, 21..30 Python's.
  std::string rows = "CODE,NUM\n";
  for (int i = 1; i <= 3 * kOwnRecords; ++i) rows += "INIT" + std::to_string(i) + ",0\n";
  ASSERT_EQ(tool::Vxdbf({"append", table}, rows).status, 0);
  ASSERT_EQ(tool::Vxdbf({"index", table, "--tag", "CODE", "--key", "CODE"}).status, 0);
  const std::vector<std::string> outs = {dir_.File("set.out"), dir_.File("append.out"),
                                         dir_.File("library.out"), dir_.File("python.out")};
  std::vector<std::unique_ptr<Child>> writers;
  writers.push_back(std::make_unique<Child>(
      [&](Child& self) { return SetWriter(self, table, 1, outs[0]); }));
  writers.push_back(
      std::make_unique<Child>([&](Child& self) { return AppendWriter(self, table, outs[1]); }));
  writers.push_back(std::make_unique<Child>(
      [&](Child& self) { return LibraryWriter(self, table, 1 + kOwnRecords, outs[2]); }));
  writers.push_back(std::make_unique<Child>(
      [&](Child& self) { return PythonWriter(self, table, 1 + 2 * kOwnRecords, outs[3]); }));
  for (auto& w : writers) w->Send();
  for (std::size_t w = 0; w < writers.size(); ++w) {
    EXPECT_EQ(writers[w]->Wait(600), 0) << [&] {
      const auto bytes = test::ReadBytes(outs[w]);
      return std::string(bytes.begin(), bytes.end());
    }();
  }
  // Every append once, and each writer's last value of each of its records.
  std::multiset<std::string> expected;
  std::map<int, std::string> last;
  for (int n = 1; n <= 3 * kOwnRecords; ++n) last[n] = "INIT" + std::to_string(n);
  for (int i = 0; i < kMixedOperations; ++i) {
    expected.insert(MixedCode('V', i));
    expected.insert(MixedCode('U', i));
    last[1 + i % kOwnRecords] = MixedCode('S', i);
    if (i % 2 == 0) {
      expected.insert(MixedCode('L', i));
      expected.insert(MixedCode('P', i));
      if (i % 4 != 0) {
        expected.insert(MixedCode('K', i));
        expected.insert(MixedCode('Q', i));
      }
    } else {
      last[1 + kOwnRecords + i % kOwnRecords] = MixedCode('L', i);
      last[1 + 2 * kOwnRecords + i % kOwnRecords] = MixedCode('P', i);
    }
  }
  for (const auto& [record, code] : last) expected.insert(code);
  vexel::Table t = vexel::open(table, {.mode = vexel::OpenMode::read_only});
  std::multiset<std::string> stored;
  for (std::uint32_t n = 1; n <= t.size(); ++n) {
    const vexel::Record record = t.read(n);
    stored.insert(std::get<std::string>(record["CODE"]));
    if (const auto it = last.find(static_cast<int>(n)); it != last.end()) {
      EXPECT_EQ(std::get<std::string>(record["CODE"]), it->second) << "record " << n;
    }
  }
  std::vector<std::string> missing, extra;
  std::set_difference(expected.begin(), expected.end(), stored.begin(), stored.end(),
                      std::back_inserter(missing));
  std::set_difference(stored.begin(), stored.end(), expected.begin(), expected.end(),
                      std::back_inserter(extra));
  EXPECT_TRUE(missing.empty()) << missing.size() << " missing, the first " << missing.front();
  EXPECT_TRUE(extra.empty()) << extra.size() << " not written, the first " << extra.front();
  t.close();
  const tool::Result check = tool::Vxdbf({"check", table});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
#endif
}


// ---------------------------------------------------------------------------------------------
// The other index kinds: a Visual FoxPro table's structural .CDX, and two .NDX files

enum class OtherKind { kCdx, kNdx };

// One program's work through the library: appends, replaces of both key fields, deletions and
// recalls of its own records, each under the lock the library takes; its final rows go to `out`.
int LibraryWorker(Child& self, const std::string& table, OtherKind kind, int id, int operations,
                  const std::string& out) {
  vexel::OpenOptions open;
  open.lock_retries = 255;
  open.lock_wait_ms = 50;
  if (kind == OtherKind::kNdx) open.ndx_files = {"codes", "nums"};
  std::map<std::uint32_t, Final> mine;
  try {
    vexel::Table t = vexel::open(table, open);
    self.Send();
    self.Receive();
    std::mt19937 random(static_cast<unsigned>(id * 7919 + 3));
    int counter = 0;
    const auto code = [&] {
      return std::string(1, static_cast<char>('A' + (random() % 26))) + std::to_string(id) +
             std::to_string(random() % 1000);
    };
    for (int op = 0; op < operations; ++op) {
      const unsigned what = mine.empty() ? 0 : random() % 10;
      if (what < 3) {
        const Final row{code(), id * 10000 + ++counter, false};
        mine[t.append({{"CODE", row.code}, {"NUM", static_cast<double>(row.num)}})] = row;
        continue;
      }
      auto it = mine.begin();
      std::advance(it, static_cast<long>(random() % mine.size()));
      Final& row = it->second;
      if (what < 7) {
        row.code = code();
        row.num = id * 10000 + ++counter;
        t.update(it->first, {{"CODE", row.code}, {"NUM", static_cast<double>(row.num)}});
      } else if (what < 9) {
        t.remove(it->first);
        row.deleted = true;
      } else {
        t.recall(it->first);
        row.deleted = false;
      }
    }
  } catch (const std::exception& e) {
    std::ofstream(out) << "writer " << id << ": " << e.what() << "\n";
    return 1;
  }
  std::ofstream file(out);
  for (const auto& [record, row] : mine) {
    file << record << ' ' << row.code << ' ' << row.num << ' ' << row.deleted << '\n';
  }
  return file.good() ? 0 : 13;
}

// Four programs edit one shared table at once through the library, its keys kept in a 3-tag
// .CDX (CODE; NUM FOR .NOT. DELETED(); RCODE descending) or in two .NDX files: afterwards
// every record holds its program's last values, the check finds every key where it belongs
// and no tree damaged, and Perl's XBase::Index reads each tag with one entry per record it
// should hold.
TEST_F(IndexStressTest, FourProgramsKeepACdxAndNdxFilesTrue) {
  for (const OtherKind kind : {OtherKind::kCdx, OtherKind::kNdx}) {
    const bool cdx = kind == OtherKind::kCdx;
    SCOPED_TRACE(cdx ? ".CDX" : ".NDX");
    const std::string table = dir_.File(cdx ? "FOX.DBF" : "NDX.DBF");
    vexel::CreateOptions create;
    create.version = cdx ? 0x30 : 0x03;
    vexel::create(table, {{"CODE", 'C', 6, 0}, {"NUM", 'N', 6, 0}}, create);
    {
      vexel::Table t = vexel::open(table);
      t.append({{"CODE", std::string("START")}, {"NUM", 1.0}});
    }
    if (cdx) {
      vexel::Table t = vexel::open(table, {.mode = vexel::OpenMode::exclusive});
      t.add_tag({.name = "CODE", .key = "CODE"});
      t.add_tag({.name = "NUM", .key = "NUM", .for_expr = ".NOT. DELETED()"});
      t.add_tag({.name = "RCODE", .key = "CODE", .descending = true});
    } else {
      vexel::build_ndx(table, "codes", "CODE");
      vexel::build_ndx(table, "nums", "NUM");
    }
    constexpr int kPrograms = 4;
    constexpr int kOperations = 1000;
    std::vector<std::unique_ptr<Child>> children;
    for (int id = 0; id < kPrograms; ++id) {
      const std::string out = dir_.File("lib" + std::to_string(id));
      children.push_back(std::make_unique<Child>([&table, kind, id, out](Child& self) {
        return LibraryWorker(self, table, kind, id, kOperations, out);
      }));
    }
    for (auto& child : children) ASSERT_EQ(child->Receive(), '.');
    for (auto& child : children) child->Send();
    std::map<std::uint32_t, Final> expected;
    expected[1] = {"START", 1, false};
    for (int id = 0; id < kPrograms; ++id) {
      const std::string out = dir_.File("lib" + std::to_string(id));
      EXPECT_EQ(children[static_cast<std::size_t>(id)]->Wait(300), 0) << [&] {
        const auto bytes = test::ReadBytes(out);
        return std::string(bytes.begin(), bytes.end());
      }();
      std::ifstream in(out);
      std::uint32_t record = 0;
      Final row;
      while (in >> record >> row.code >> row.num >> row.deleted) {
        EXPECT_TRUE(expected.emplace(record, row).second) << "record " << record << " twice";
      }
    }
    {
      vexel::Table t = vexel::open(table);
      ASSERT_EQ(t.size(), expected.size());
      for (const auto& [record, row] : expected) {
        const vexel::Record r = t.read(record);
        EXPECT_EQ(r.text("CODE"), row.code) << "record " << record;
        EXPECT_EQ(r.deleted(), row.deleted) << "record " << record;
      }
    }
    if (cdx) {
      const vexel::TableCheck c = vexel::check_table(table);
      EXPECT_TRUE(c.ok) << (c.table.empty() ? "" : c.table.front().what);
    } else {
      for (const char* ndx : {"codes", "nums"}) {
        const vexel::NdxCheck c = vexel::check_ndx(table, ndx);
        EXPECT_TRUE(c.ok()) << ndx << ": " << (c.ok() ? "" : c.problems.front());
      }
    }
    if (!test::PerlHasXBase()) continue;
    std::size_t live = 0;
    for (const auto& [record, row] : expected) live += row.deleted ? 0 : 1;
    const struct {
      const char* file;
      const char* tag;
      const char* type;
      std::size_t entries;
    } kReads[] = {{"FOX.CDX", "CODE", "C", expected.size()},
                  {"FOX.CDX", "NUM", "N", live},
                  {"FOX.CDX", "RCODE", "C", expected.size()},
                  {"codes.NDX", "", "", expected.size()},
                  {"nums.NDX", "", "", expected.size()}};
    for (const auto& r : kReads) {
      if (cdx != (std::string(r.file) == "FOX.CDX")) continue;
      SCOPED_TRACE(std::string(r.file) + " " + r.tag);
      std::vector<std::pair<std::string, std::uint32_t>> read;
      const std::string file = std::filesystem::path(table).replace_filename(r.file).string();
      ASSERT_TRUE(test::PerlReadsIndex(file, r.tag, r.type, dir_.File("perl.txt"), read));
      EXPECT_EQ(read.size(), r.entries);
      std::set<std::uint32_t> records;
      for (const auto& [key, record] : read) {
        EXPECT_TRUE(records.insert(record).second) << "record " << record << " twice";
        const auto it = expected.find(record);
        ASSERT_NE(it, expected.end());
        if (r.type[0] != 'N' && std::string(r.file) != "nums.NDX") {
          EXPECT_EQ(key, it->second.code) << "record " << record;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vx
