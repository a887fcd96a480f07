// The share self-test's second side, driven line by line in this process: the locks it tries
// conflict with those a vexel::Table of this process holds (each open of a file owns its own
// locks), and a helper that simulates a share without locks grants everything.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <vexel/locktest.hpp>
#include <vexel/vexel.hpp>

#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(LocktestPeerTest, AnswersEachCommandAsTheLocksHeldHereSay) {
  vx::test::TempDir dir;
  vexel::Table t =
      vexel::create(dir.path() / vexel::locktest_table, {{"ID", 'N', 8, 0}, {"TXT", 'C', 20, 0}});
  t.append({{"ID", std::int64_t{1}}, {"TXT", std::string("one")}});
  t.append({{"ID", std::int64_t{2}}, {"TXT", std::string("two")}});
  std::optional<vexel::RecordLock> held = t.lock(1);

  struct Case {
    bool broken;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {false, {"ready", "refused", "granted", "granted", "value two", "unknown"}},
      {true, {"ready", "granted", "granted", "granted", "value two", "unknown"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.broken);
    // The end of the input ends the helper as "quit" does; nothing after "quit" is read.
    for (const std::string end : {"", "quit\nrlock 2\n"}) {
      std::istringstream in("rlock 1\nrlock 2\nalock\nread 2\nfrobnicate\n" + end);
      std::ostringstream out;
      vexel::locktest_peer(dir.path(), in, out, c.broken);
      EXPECT_EQ(Lines(out.str()), c.expected);
    }
  }
  held.reset();
  // The helper released what it took: this Table still appends and reads.
  t.append({{"ID", std::int64_t{3}}});
  EXPECT_EQ(t.size(), 3u);
  EXPECT_EQ(t.read(2).text("TXT"), "two");
}

// The helper needs the scratch table; the test needs a way to start its helper. Neither side
// leaves anything behind when refused.
TEST(LocktestPeerTest, RefusedWithoutWhatEachSideNeeds) {
  vx::test::TempDir dir;
  std::istringstream in("quit\n");
  std::ostringstream out;
  EXPECT_THROW(vexel::locktest_peer(dir.path(), in, out), vexel::Error);
  EXPECT_EQ(out.str(), "");
  EXPECT_THROW(vexel::locktest(dir.path(), {}), vexel::InputError);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
