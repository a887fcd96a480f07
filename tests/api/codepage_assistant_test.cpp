// The code-page assistant's public face: marks written or refused without touching anything
// else, the driver lookup, and a ranking that goes on without the memo file, saying so once.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <vexel/codepage_assistant.hpp>
#include <vexel/vexel.hpp>

#include "tests/support/temp_dir.h"

namespace {

TEST(CodePageAssistantTest, MarksAreWrittenOrRefusedAndNothingElseChanges) {
  vx::test::TempDir dir;
  const std::string path = dir.File("plain.dbf");
  vexel::create(path, {{"NAME", 'C', 20, 0}}).append({{"NAME", std::string("plain")}});
  const auto before = vx::test::ReadBytes(path);
  struct Case {
    const char* what;
    std::function<void()> call;
  };
  std::optional<vexel::Table> held;
  const Case refused[] = {
      {"no driver names the page", [&] { vexel::set_codepage_mark(path, 65001); }},
      {"no such table", [&] { vexel::set_codepage_mark(dir.File("none.dbf"), 1252); }},
      {"open here",
       [&] {
         held.emplace(vexel::open(path));
         try {
           vexel::set_codepage_mark(path, 1252);
         } catch (const vexel::LockError&) {
           held.reset();
           throw;
         }
       }},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(c.call(), vexel::Error);
    EXPECT_EQ(vx::test::ReadBytes(path), before);
  }
  EXPECT_FALSE(held) << "an open table was no obstacle to an exclusive write";

  const vexel::LanguageDriver written = vexel::set_codepage_mark(path, 1252);
  const std::optional<vexel::LanguageDriver> known = vexel::language_driver(1252);
  ASSERT_TRUE(known);
  EXPECT_EQ(written.id, 0x03);
  EXPECT_EQ(written.id, known->id);
  EXPECT_EQ(written.meaning, known->meaning);
  EXPECT_EQ(written.page, 1252);
  auto after = vx::test::ReadBytes(path);
  EXPECT_EQ(after[29], 0x03);
  after[29] = before[29];
  EXPECT_EQ(after, before);
  EXPECT_FALSE(vexel::language_driver(65001));
}

TEST(CodePageAssistantTest, RanksWithoutTheMemoFileAndSaysSoOnce) {
  vx::test::TempDir dir;
  const std::string path = dir.File("notes.dbf");
  vexel::CreateOptions create;
  create.codepage = 1252;
  {
    vexel::Table t = vexel::create(path, {{"NAME", 'C', 30, 0}, {"NOTE", 'M', 10, 0}}, create);
    t.append({{"NAME", std::string("Café Größe Señor")}, {"NOTE", std::string("déjà vu")}});
  }
  std::filesystem::remove(dir.File("notes.dbt"));
  std::vector<std::string> warnings;
  vexel::OperationOptions options;
  options.warn = [&](const std::string& message) { warnings.push_back(message); };
  const vexel::CodePageRanking r = vexel::rank_codepages(path, options);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("memo"), std::string::npos) << warnings[0];
  EXPECT_EQ(r.marked_page, 1252);
  EXPECT_EQ(r.records, 1);
  EXPECT_EQ(r.memos, 0);
  EXPECT_GT(r.bytes_beyond_ascii, 0u);
  ASSERT_FALSE(r.pages.empty());
  EXPECT_EQ(r.pages.front().page, 1252);
  EXPECT_NE(r.mark.find("1252"), std::string::npos) << r.mark;
}

}  // namespace
