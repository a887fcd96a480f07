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
      {"no page of that number", [&] { vexel::set_codepage_mark(path, 4242); }},
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
  // New tables are 1252 already: nothing changes.
  EXPECT_EQ(vx::test::ReadBytes(path), before);
  EXPECT_FALSE(vexel::language_driver(65001));

  // UTF-8 has no driver byte: a .cpg says it, the mark is cleared, and every open reads it.
  const vexel::LanguageDriver utf8 = vexel::set_codepage_mark(path, 65001);
  EXPECT_EQ(utf8.id, 0);
  EXPECT_EQ(utf8.meaning, dir.File("plain.cpg"));
  auto after = vx::test::ReadBytes(path);
  EXPECT_EQ(after[29], 0);
  after[29] = before[29];
  EXPECT_EQ(after, before);
  {
    vexel::Table t = vexel::open(path);
    EXPECT_EQ(t.codepage(), 65001);
    t.append({{"NAME", std::string("Zoë Привет")}});
  }
  const auto stored = vx::test::ReadBytes(path);
  EXPECT_NE(std::string(stored.begin(), stored.end()).find("Zoë Привет"), std::string::npos);
}

TEST(CodePageAssistantTest, NewTablesHoldCodePage1252UnlessTheCallerChooses) {
  vx::test::TempDir dir;
  const std::string path = dir.File("new.dbf");
  {
    vexel::Table t = vexel::create(path, {{"NAME", 'C', 20, 0}});
    EXPECT_EQ(t.codepage(), 1252);
    t.append({{"NAME", std::string("København")}});
    // A character the page lacks is refused, naming the field and the character.
    try {
      t.append({{"NAME", std::string("Жук")}});
      ADD_FAILURE() << "no refusal";
    } catch (const vexel::Error& e) {
      EXPECT_NE(std::string(e.what()).find("NAME"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("Ж"), std::string::npos) << e.what();
    }
    EXPECT_EQ(t.size(), 1u);
  }
  EXPECT_EQ(vx::test::ReadBytes(path)[29], 0x03);
  vexel::CreateOptions options;
  options.codepage = 866;
  options.overwrite = true;
  EXPECT_EQ(vexel::create(path, {{"NAME", 'C', 20, 0}}, options).codepage(), 866);
  EXPECT_EQ(vx::test::ReadBytes(path)[29], 0x65);
  options.codepage = 65001;
  EXPECT_EQ(vexel::create(path, {{"NAME", 'C', 20, 0}}, options).codepage(), 65001);
  EXPECT_EQ(vx::test::ReadBytes(path)[29], 0);
  EXPECT_TRUE(std::filesystem::exists(dir.File("new.cpg")));
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
  vexel::OpenOptions options;
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
