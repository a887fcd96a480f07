// Every table of the shared corpus (files written by other programs) opens or is rejected as
// pinned here; the accepted ones show the record counts and field lists that the corpus
// manifest gives, and every record reads.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "engine/foundation/errors.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "platform/os/file.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

// Tables the engine refuses, with the code it answers (no independent reader reads them either:
// tests/interop/check_corpus_values.py checks that and gives the reasons).
const std::map<std::string, std::uint16_t> kRejected = {
#include "tests/engine/table/corpus_rejected.inc"
};

struct ManifestTable {
  std::int32_t records = -1;
  bool visual_foxpro = false;
  std::string fields;  // "NAME C 10 0; ..." as the engine holds them
};

// Reads the manifest's table entries: "### `path`" headings, then the version line and the
// field list.
std::map<std::string, ManifestTable> ReadManifest(const fs::path& corpus) {
  std::map<std::string, ManifestTable> tables;
  std::ifstream in(corpus / "MANIFEST.md");
  std::string line, current;
  const std::regex heading(R"(^### `(.+)`$)");
  const std::regex records(R"(^- table, version byte 0x([0-9A-Fa-f]+)[^;]*; (\d+) records)");
  const std::regex fields(R"(^- fields \(\d+\): (.*)$)");
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, heading)) {
      current = m[1];
    } else if (!current.empty() && std::regex_search(line, m, records)) {
      tables[current].records = std::stoi(m[2]);
      tables[current].visual_foxpro = m[1] == "30" || m[1] == "31" || m[1] == "32";
    } else if (!current.empty() && std::regex_match(line, m, fields)) {
      tables[current].fields = m[1];
    }
  }
  return tables;
}

// Names in other code pages are compared only by their place: the manifest shows them decoded
// and escaped.
bool IsPlainName(const std::string& name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\\') return false;
  }
  return true;
}

// The manifest's field list in the engine's terms: upper-case names, B/G/P held as M (Visual
// FoxPro: G, W, P; its B is a double), wide character fields at their full length, Visual
// FoxPro's _NullFlags held apart from the fields.
std::string EngineFieldList(const std::string& manifest_fields, bool visual_foxpro) {
  std::string out;
  std::stringstream list(manifest_fields);
  // Level 7 names may hold blanks ("Item ID").
  const std::regex field(R"(^\s*(.+?) (\S) (\d+) (\d+)(.*)$)");
  const std::regex wide(R"(character length (\d+))");
  std::smatch m, w;
  for (std::string item; std::getline(list, item, ';');) {
    if (!std::regex_match(item, m, field)) return "unparsed: " + item;
    std::string name = m[1];
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!IsPlainName(name)) name = "?";
    char type = m[2].str()[0];
    if (visual_foxpro && type == '0') continue;
    if ((type == 'B' && !visual_foxpro) || type == 'G' || type == 'P' ||
        (type == 'W' && visual_foxpro)) {
      type = 'M';
    }
    std::string length = m[3], decimals = m[4];
    const std::string rest = m[5];
    if (std::regex_search(rest, w, wide)) {
      length = w[1];
      decimals = "0";
    }
    if (!out.empty()) out += "; ";
    out += name.substr(0, 10) + " " + type + " " + length + " " + decimals;
  }
  return out;
}

std::string EngineFieldList(const TableRecord& t) {
  std::string out;
  for (const FieldEntry& f : t.fields) {
    if (!out.empty()) out += "; ";
    out += (IsPlainName(f.name) ? f.name : "?") + " " + f.type + " " + std::to_string(f.length) +
           " " + std::to_string(f.decimals);
  }
  return out;
}

TEST(CorpusTest, OpensOrRejectsEveryTableAsPinned) {
  const fs::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus folder (../shared/corpus) is absent";
  const auto manifest = ReadManifest(corpus);
  int accepted = 0, rejected = 0, damaged = 0;
  std::string observed;  // printed on failure, to re-pin after a deliberate change
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || !test::IsTableName(entry.path())) continue;
    const std::string rel = fs::relative(entry.path(), corpus).generic_string();
    SCOPED_TRACE(rel);
    TableRecord t;
    t.file_name = entry.path().string();
    t.open_mode = os::kOpenReadOnlyDenyNone;
    std::uint16_t code = 0;
    {
      QuietErrors quiet;
      OpenDbf(t);
      code = EngineErrorCode;
    }
    const auto pinned = kRejected.find(rel);
    if (code != 0) {
      observed += "    {\"" + rel + "\", " + std::to_string(code) + "},\n";
      ++rejected;
      EXPECT_FALSE(t.file.IsOpen());
      if (pinned == kRejected.end()) {
        ADD_FAILURE() << "rejected with " << code << ": " << LastErrorMessage;
      } else {
        EXPECT_EQ(code, pinned->second);
      }
      continue;
    }
    ++accepted;
    EXPECT_EQ(pinned, kRejected.end()) << "opened, but pinned as rejected";
    if (!t.damage.empty()) ++damaged;
    const auto described = manifest.find(rel);
    if (described == manifest.end()) {
      ADD_FAILURE() << "not in the manifest";
      continue;
    }
    EXPECT_EQ(t.record_count, described->second.records);
    EXPECT_EQ(EngineFieldList(t),
              EngineFieldList(described->second.fields, described->second.visual_foxpro));
    // Every record the header counts is there to read, unless the manifest says the file is
    // shorter; reading stops at the first short record with its code.
    QuietErrors quiet;
    for (std::int32_t n = 1; n <= t.record_count; ++n) {
      GetDbfRecord(t, n);
      if (EngineErrorCode != 0) {
        EXPECT_EQ(EngineErrorCode, 213);
        break;
      }
    }
    CloseDbf(t);
    EXPECT_EQ(EngineErrorCode, 0);
  }
  EXPECT_EQ(rejected, static_cast<int>(kRejected.size())) << observed;
  EXPECT_EQ(accepted, 200);  // every other .dbf file of the corpus
  EXPECT_EQ(damaged, 1);     // dbase-rs/stations_with_deleted.dbf, read only
}

}  // namespace
}  // namespace vx
