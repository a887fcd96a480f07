// One value through every door that stores it: vxdbf (append as CSV and JSON lines, set,
// alter, copy), the library, and SQL. Each door must store the same bytes, or refuse the value
// in the same words: numbers rounded half away from zero on their decimal value, never "-0";
// a memo a dBASE III memo file cannot hold (byte 0x1A) refused; text the table's page lacks
// refused naming the character; UPPER and LOWER in the table's own page.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <vexel/vexel.hpp>

#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

// The stored bytes of field `name` of record `n`, read from the file's header and records.
std::string StoredField(const std::string& path, int n, const std::string& name) {
  const std::vector<unsigned char> b = test::ReadBytes(path);
  if (b.size() < 32) return "<no table>";
  const std::size_t header = b[8] | b[9] << 8, record = b[10] | b[11] << 8;
  std::size_t offset = 1;
  for (std::size_t at = 32; at + 32 <= header && b[at] != 0x0D; at += 32) {
    const std::string field(reinterpret_cast<const char*>(&b[at]),
                            strnlen(reinterpret_cast<const char*>(&b[at]), 11));
    const std::size_t length = b[at + 16];
    if (field == name) {
      const std::size_t start = header + (n - 1) * record + offset;
      if (start + length > b.size()) return "<no record>";
      return std::string(b.begin() + static_cast<std::ptrdiff_t>(start),
                         b.begin() + static_cast<std::ptrdiff_t>(start + length));
    }
    offset += length;
  }
  return "<no field " + name + ">";
}

class StoredValuesTest : public ::testing::Test {
 protected:
  // A new table of `fields` (NAME,TYPE,LEN[,DEC]) with one blank record.
  std::string Table(const std::string& name, const std::vector<std::string>& fields,
                    const std::vector<std::string>& extra = {}) {
    const std::string path = dir_.File(name);
    std::vector<std::string> args = {"create", path, "--overwrite"};
    for (const std::string& f : fields) args.insert(args.end(), {"--field", f});
    args.insert(args.end(), extra.begin(), extra.end());
    const Result created = Vxdbf(args);
    EXPECT_EQ(created.status, 0) << created.err;
    return path;
  }
  test::TempDir dir_;
};

// A door stores `text` (the number as the user wrote it) into field F of record 1 of `path`
// and answers "" or the error it gave.
using NumberDoor = std::function<std::string(const std::string& path, const std::string& text)>;

std::string Failure(const Result& r) { return r.status == 0 ? std::string() : r.err; }

const std::vector<std::pair<const char*, NumberDoor>>& NumberDoors() {
  static const std::vector<std::pair<const char*, NumberDoor>> kDoors = {
      {"append csv",
       [](const std::string& path, const std::string& text) {
         return Failure(Vxdbf({"append", path}, "F\r\n" + text + "\r\n"));
       }},
      {"append jsonl",
       [](const std::string& path, const std::string& text) {
         return Failure(Vxdbf({"append", path, "--format", "jsonl"}, "{\"F\":" + text + "}\n"));
       }},
      {"set",
       [](const std::string& path, const std::string& text) {
         const Result added = Vxdbf({"append", path, "--format", "jsonl"}, "{}\n");
         if (added.status != 0) return added.err;
         return Failure(Vxdbf({"set", path, "1", "F=" + text}));
       }},
      {"library",
       [](const std::string& path, const std::string& text) {
         try {
           vexel::Table t = vexel::open(path);
           t.append({{"F", std::stod(text)}});
           return std::string();
         } catch (const vexel::Error& e) {
           return std::string(e.what());
         }
       }},
      {"alter",
       // The number as the text of a character field, retyped into the number field's shape.
       [](const std::string& path, const std::string& text) {
         const std::vector<unsigned char> b = test::ReadBytes(path);
         const int length = b[32 + 16], decimals = b[32 + 17];
         const Result made = Vxdbf({"create", path, "--overwrite", "--field", "F,C,30"});
         if (made.status != 0) return made.err;
         const Result added = Vxdbf({"append", path}, "F\r\n" + text + "\r\n");
         if (added.status != 0) return added.err;
         return Failure(Vxdbf({"alter", path, "--retype",
                               "F,N," + std::to_string(length) + "," + std::to_string(decimals)}));
       }},
#ifdef VX_HAVE_SQLITE
      {"sql",
       [](const std::string& path, const std::string& text) {
         return Failure(
             Vxdbf({"sql", "INSERT INTO t (F) VALUES (" + text + ")", "--table", "t=" + path}));
       }},
#endif
  };
  return kDoors;
}

TEST_F(StoredValuesTest, EveryDoorRoundsANumberHalfAwayFromZeroOnItsDecimalValue) {
  const struct {
    const char* field;  // F's definition
    const char* text;   // the number as written
    const char* stored;  // F's bytes, or nullptr when every door refuses it
  } kCases[] = {
      {"F,N,8,2", "2.675", "    2.68"},   {"F,N,8,2", "0.125", "    0.13"},
      {"F,N,8,2", "1.005", "    1.01"},   {"F,N,8,2", "-2.675", "   -2.68"},
      {"F,N,8,2", "-0.004", "    0.00"},  {"F,N,8,2", "99999.994", "99999.99"},
      {"F,N,8,2", "99999.995", nullptr},  {"F,N,4,0", "2.5", "   3"},
      {"F,N,4,0", "-2.5", "  -3"},        {"F,N,4,0", "-0.4", "   0"},
      {"F,N,4,0", "-0.5", "  -1"},        {"F,N,4,0", "9999.4", "9999"},
      {"F,N,4,0", "9999.5", nullptr},     {"F,F,10,3", "1.0005", "     1.001"},
  };
  for (const auto& c : kCases) {
    for (const auto& [door, store] : NumberDoors()) {
      SCOPED_TRACE(std::string(door) + ": " + c.text + " into " + c.field);
      const std::string path = Table("n.dbf", {c.field});
      const std::string problem = store(path, c.text);
      if (c.stored == nullptr) {
        EXPECT_NE(problem.find("does not fit"), std::string::npos) << problem;
        EXPECT_NE(problem.find("F"), std::string::npos) << problem;
      } else {
        EXPECT_EQ(problem, "");
        EXPECT_EQ(StoredField(path, 1, "F"), c.stored);
      }
    }
  }
}

// A text door: stores `utf8` into field `field` of a new record of `path`; "" or the error.
using TextDoor = std::function<std::string(const std::string& path, const std::string& field,
                                           const std::string& utf8)>;

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || c == '"' || c == '\\') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", b);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// SQL text for `utf8`: control bytes through char().
std::string SqlString(const std::string& utf8) {
  std::string out = "'";
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) < 0x20) {
      out += "' || char(" + std::to_string(static_cast<unsigned char>(c)) + ") || '";
    } else {
      out += c == '\'' ? std::string("''") : std::string(1, c);
    }
  }
  return out + "'";
}

const std::vector<std::pair<const char*, TextDoor>>& TextDoors() {
  static const std::vector<std::pair<const char*, TextDoor>> kDoors = {
      {"append",
       [](const std::string& path, const std::string& field, const std::string& utf8) {
         return Failure(Vxdbf({"append", path, "--format", "jsonl"},
                              "{\"" + field + "\":" + JsonString(utf8) + "}\n"));
       }},
      {"set",
       [](const std::string& path, const std::string& field, const std::string& utf8) {
         const Result added = Vxdbf({"append", path, "--format", "jsonl"}, "{}\n");
         if (added.status != 0) return added.err;
         const std::string n = std::to_string(vexel::open(path).size());
         return Failure(Vxdbf({"set", path, n, field + "=" + utf8}));
       }},
      {"library",
       [](const std::string& path, const std::string& field, const std::string& utf8) {
         try {
           vexel::open(path).append({{field, utf8}});
           return std::string();
         } catch (const vexel::Error& e) {
           return std::string(e.what());
         }
       }},
#ifdef VX_HAVE_SQLITE
      {"sql",
       [](const std::string& path, const std::string& field, const std::string& utf8) {
         return Failure(Vxdbf({"sql", "INSERT INTO t (" + field + ") VALUES (" + SqlString(utf8) + ")",
                               "--table", "t=" + path}));
       }},
#endif
  };
  return kDoors;
}

// A dBASE III memo ends at its first byte 0x1A: no door stores a text holding one, where it
// would come back cut; copy and alter refuse too, unless --lossy, which stores it cut and says
// how many.
TEST_F(StoredValuesTest, NoDoorStoresAMemoADbase3MemoFileWouldCut) {
  const std::string cut = std::string("abc") + '\x1a' + "def";
  for (const auto& [door, store] : TextDoors()) {
    SCOPED_TRACE(door);
    const std::string path = Table("d3.dbf", {"NOTE,M,10"}, {"--version", "0x83"});
    const std::string memo = dir_.File("d3.dbt");
    const auto before = test::ReadBytes(path);
    const auto memo_before = test::ReadBytes(memo);
    const std::string problem = store(path, "NOTE", cut);
    EXPECT_NE(problem.find("byte 0x1A at position 4 of 7, which ends a dBASE III memo"),
              std::string::npos)
        << problem;
    EXPECT_NE(problem.find("NOTE"), std::string::npos) << problem;
    if (std::string(door) != "set") {
      EXPECT_EQ(test::ReadBytes(path), before);
    }
    EXPECT_EQ(test::ReadBytes(memo), memo_before);
    // The same text in a dBASE IV memo is whole.
    const std::string four = Table("d4.dbf", {"NOTE,M,10"}, {"--version", "0x8B"});
    EXPECT_EQ(store(four, "NOTE", cut), "");
  }

  // copy into dBASE III and alter of a character field into a memo.
  const std::string four = Table("src.dbf", {"NOTE,M,10", "C,C,10"}, {"--version", "0x8B"});
  ASSERT_EQ(Vxdbf({"append", four, "--format", "jsonl"},
                  "{\"NOTE\":\"whole\"}\n{\"NOTE\":" + JsonString(cut) + "}\n")
                .status,
            0);
  const std::string target = dir_.File("three.dbf");
  Result r = Vxdbf({"copy", four, target, "--version", "0x83"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("record 2, field NOTE: the memo holds byte 0x1A at position 4 of 7"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(target));
  r = Vxdbf({"copy", four, target, "--version", "0x83", "--lossy"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("1 memo stored cut before byte 0x1A"), std::string::npos) << r.err;
  EXPECT_EQ(Vxdbf({"dump", target, "--format", "jsonl"}).out,
            "{\"NOTE\":\"whole\",\"C\":\"\"}\n{\"NOTE\":\"abc\",\"C\":\"\"}\n");

  const std::string three = Table("c3.dbf", {"C,C,10"}, {"--version", "0x83"});
  ASSERT_EQ(Vxdbf({"append", three, "--format", "jsonl"}, "{\"C\":" + JsonString(cut) + "}\n")
                .status,
            0);
  const auto before = test::ReadBytes(three);
  r = Vxdbf({"alter", three, "--retype", "C,M,10"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("record 1, field C: the memo holds byte 0x1A"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadBytes(three), before);
}

// A character the table's page lacks is refused by every door, naming the field and the
// character; vxdbf's --lossy stores "?" and counts it.
TEST_F(StoredValuesTest, EveryDoorRefusesACharacterThePageLacks) {
  for (const auto& [door, store] : TextDoors()) {
    for (const char* field : {"NAME", "NOTE"}) {
      SCOPED_TRACE(std::string(door) + " " + field);
      const std::string path =
          Table("w.dbf", {"NAME,C,10", "NOTE,M,10"}, {"--codepage", "1251"});
      const auto before = test::ReadBytes(path);
      const std::string problem = store(path, field, "Жöлтый");
      EXPECT_NE(problem.find("\"ö\" has no place in code page 1251"), std::string::npos)
          << problem;
      EXPECT_NE(problem.find(field), std::string::npos) << problem;
      if (std::string(door) != "set") {
      EXPECT_EQ(test::ReadBytes(path), before);
    }
      EXPECT_EQ(store(path, field, "Жёлтый"), "");
    }
  }
  const std::string path = Table("w.dbf", {"NAME,C,10"}, {"--codepage", "1251"});
  const Result r = Vxdbf({"append", path, "--format", "jsonl", "--lossy"}, "{\"NAME\":\"Жö\"}\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(StoredField(path, 1, "NAME"), "\xC6?        ");
}

// UPPER, LOWER, ISUPPER, ISLOWER and ISALPHA take letters in the table's own page (here 866)
// in every evaluation: list, eval and a condition of the library.
TEST_F(StoredValuesTest, CaseFollowsTheTablesOwnPageInEveryEvaluation) {
  const std::string path = Table("c.dbf", {"NAME,C,20"}, {"--codepage", "866"});
  ASSERT_EQ(Vxdbf({"append", path}, "NAME\r\n(ПАО) Юни\r\nOther\r\n").status, 0);
  const struct {
    const char* expression;
    const char* value;
  } kCases[] = {
      {"UPPER(NAME)", "(ПАО) ЮНИ"},
      {"LOWER(NAME)", "(пао) юни"},
      {"ISUPPER(SUBSTR(NAME, 2, 1))", "true"},
      {"ISLOWER(SUBSTR(NAME, 8, 1))", "true"},
      {"ISALPHA(SUBSTR(NAME, 7, 1))", "true"},
      {"ISALPHA(NAME)", "false"},
      {"\"ЮНИ\" $ UPPER(NAME)", "true"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.expression);
    Result r = Vxdbf({"list", path, c.expression, "--format", "jsonl"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(c.value), std::string::npos) << r.out;
    r = Vxdbf({"eval", c.expression, "--table", path, "--record", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string value = c.value;
    EXPECT_EQ(r.out.substr(0, r.out.find_last_not_of(" \n") + 1),
              value == "true" ? "T" : value == "false" ? "F" : value);
  }
  const Result listed = Vxdbf({"list", path, "NAME", "--for", "\"ЮНИ\" $ UPPER(NAME)"});
  EXPECT_NE(listed.out.find("(ПАО) Юни"), std::string::npos) << listed.out << listed.err;
  vexel::Table t = vexel::open(path);
  std::vector<std::uint32_t> found;
  for (const vexel::Record& record : t.where("\"ЮНИ\" $ UPPER(NAME) .AND. ISUPPER(\"П\")"))
    found.push_back(record.recno());
  EXPECT_EQ(found, std::vector<std::uint32_t>{1});
}

}  // namespace
}  // namespace vx::tool
