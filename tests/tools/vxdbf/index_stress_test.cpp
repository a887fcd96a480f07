// Several programs editing one shared table with a three-tag production index at once:
// appends, replaces of key fields, deletes and recalls, each under its record or append lock.
// Afterwards every tree is sound, every append is present once and each program's last values
// are in the table and in every tag, and the doctor finds nothing wrong.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "engine/index/index_check.h"
#include "engine/workarea/navigation.h"
#include "platform/os/system.h"
#include "tests/engine/index/index_fixture.h"
#include "tests/support/child_process.h"
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
      const Final row{std::string(1, static_cast<char>('A' + id)) + std::to_string(random() % 1000),
                      id * 10000 + ++counter % 10000, false};
      ClearRecord();
      SetImage(row.code, row.num);
      Append();
      if (EngineErrorCode != 0) return 11;
      mine[RecNo()] = row;
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

}  // namespace
}  // namespace vx
