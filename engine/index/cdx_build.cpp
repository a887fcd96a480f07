#include "engine/index/cdx_build.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <memory>
#include <span>

#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/strings.h"
#include "engine/index/cdx_orders.h"
#include "engine/index/cdx_tree.h"
#include "engine/index/index_build.h"
#include "engine/index/key_codec.h"
#include "engine/index/mdx_format.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/sorted_runs.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "platform/os/file_id.h"

namespace vx {

namespace {

constexpr int kNameLength = 10;
constexpr std::size_t kPoolSize = 512;

int ByteOrder(const std::uint8_t* a, const std::uint8_t* b, int length) {
  return std::memcmp(a, b, static_cast<std::size_t>(length));
}

int ByteOrderDescending(const std::uint8_t* a, const std::uint8_t* b, int length) {
  return std::memcmp(b, a, static_cast<std::size_t>(length));
}

// A header's 1024 bytes (see cdx_file.h).
std::array<std::uint8_t, kCdxHeaderSize> HeaderBytes(std::uint32_t root, int key_length,
                                                     std::uint8_t options, bool descending,
                                                     const std::string& key,
                                                     const std::string& condition) {
  std::array<std::uint8_t, kCdxHeaderSize> h{};
  PutLe32(h.data(), root);
  PutLe32(h.data() + 4, kCdxNone);
  PutLe16(h.data() + 12, static_cast<std::uint16_t>(key_length));
  h[14] = options;
  h[15] = 1;
  PutLe16(h.data() + 502, descending ? 1 : 0);
  PutLe16(h.data() + 504, static_cast<std::uint16_t>(key.size() + 1));
  PutLe16(h.data() + 506, static_cast<std::uint16_t>(condition.size() + 1));
  PutLe16(h.data() + 508, 0);
  PutLe16(h.data() + 510, static_cast<std::uint16_t>(key.size() + 1));
  std::memcpy(h.data() + 512, key.data(), key.size());
  std::memcpy(h.data() + 512 + key.size() + 1, condition.data(), condition.size());
  return h;
}

bool IsTagName(const std::string& name) {
  if (name.empty() || name.size() > static_cast<std::size_t>(kNameLength)) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

// One tag being built: its header fields and key maker.
struct Building {
  CdxTagDefinition definition;
  CdxIndex keys;  // one tag, its file never opened
  int key_length = 0;
  std::unique_ptr<SortedRuns> entries;
  std::uint32_t header_at = 0;
  std::uint32_t root = 0;
};

// Works out a tag's key type and length from its expression and prepares its key maker. False
// after a report.
bool Prepare(TableRecord& t, const CdxTagDefinition& wanted, Building& b) {
  b.definition = wanted;
  for (char& c : b.definition.name)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!IsTagName(b.definition.name)) {
    SetEngineError(220, "Tag name \"" + wanted.name +
                            "\": 1 to 10 letters, digits and _, "
                            "starting with a letter [BuildCdx]");
    return false;
  }
  if (!wanted.collation.empty() && wanted.collation != "MACHINE") {
    SetEngineError(254, "Tag " + b.definition.name + " orders its keys in the " + wanted.collation +
                            " collation, which this program does not write [BuildCdx]");
    return false;
  }
  b.definition.key = TrimText(wanted.key);
  b.definition.for_condition = TrimText(wanted.for_condition);
  if (b.definition.key.empty() ||
      b.definition.key.size() + b.definition.for_condition.size() + 2 > kPoolSize ||
      b.definition.key.size() > static_cast<std::size_t>(kMaxExpressionLength) ||
      b.definition.for_condition.size() > static_cast<std::size_t>(kMaxExpressionLength)) {
    SetEngineError(300, "Key and FOR condition of tag " + b.definition.name + " of " +
                            std::to_string(b.definition.key.size()) + " and " +
                            std::to_string(b.definition.for_condition.size()) +
                            " characters (the key 1 to " + std::to_string(kMaxExpressionLength) +
                            ", both within " + std::to_string(kPoolSize - 2) + ") [BuildCdx]");
    return false;
  }
  char type = 0;
  int width = 0;
  {
    QuietErrors quiet;
    CompiledExpr* compiled = AssignExpr(NormalizeKeyExpression(b.definition.key));
    if (compiled == nullptr) {
      const std::uint16_t code = EngineErrorCode != 0 ? EngineErrorCode : 254;
      const std::string message = LastErrorMessage;
      EngineErrorCode = 0;
      SetEngineError(code, message.empty()
                               ? "The key of tag " + b.definition.name + " does not compile"
                               : message);
      return false;
    }
    type = compiled->result_type;
    width = compiled->result_width;
    FreeExpr(compiled);
  }
  if (type == 'N' || type == 'F' || type == 'D') {
    b.key_length = 8;
  } else if (type == 'C') {
    if (width < 1 || width > kMaxKeyLength) {
      SetEngineError(266, "Key of tag " + b.definition.name + " of " + std::to_string(width) +
                              " characters (1 to " + std::to_string(kMaxKeyLength) +
                              ") [BuildCdx]");
      return false;
    }
    b.key_length = width;
  } else {
    SetEngineError(254, "A key of type " + std::string(1, type) + " in tag " + b.definition.name +
                            ": a .CDX key here is characters, a number or a date [BuildCdx]");
    return false;
  }
  CdxTag& tag = b.keys.file.tags().emplace_back();
  tag.name = b.definition.name;
  tag.header.key_length = b.key_length;
  tag.header.options = kCdxCompact | kCdxCompound;
  tag.header.descending = b.definition.descending;
  tag.header.key_expression = b.definition.key;
  tag.header.for_expression = b.definition.for_condition;
  if (!b.definition.for_condition.empty()) tag.header.options |= kCdxHasFor;
  b.keys.keys.push_back(CdxKeysFor(t, tag));
  if (!b.keys.keys[0].unusable.empty()) {
    SetEngineError(254,
                   "Tag " + b.definition.name + ": " + b.keys.keys[0].unusable + " [BuildCdx]");
    return false;
  }
  return true;
}

// Writes every tag's tree and the directory into `file` (made empty), headers last.
bool WriteAll(TableRecord& t, os::File& file, std::vector<Building>& tags) {
  std::uint64_t size = kCdxHeaderSize * (1 + tags.size());
  for (std::size_t i = 0; i < tags.size(); ++i) {
    tags[i].header_at = static_cast<std::uint32_t>(kCdxHeaderSize * (1 + i));
  }
  for (Building& b : tags) {
    const CdxTag& tag = b.keys.file.tags()[0];
    const bool unique = b.definition.unique || b.definition.candidate;
    std::string last;
    std::uint32_t last_record = 0;
    bool refused = false;
    bool ok = WriteCdxTree(
        file, size, b.key_length, tag.trail, IndexBuildFill,
        [&](const std::uint8_t*& key, std::uint32_t& record) {
          for (;;) {
            const std::uint8_t* entry = b.entries->Next();
            if (entry == nullptr) return false;
            const std::string k(reinterpret_cast<const char*>(entry),
                                static_cast<std::size_t>(b.key_length));
            const std::uint32_t r = GetLe32(entry + b.key_length);
            if (unique && last_record != 0 && k == last) {
              if (!b.definition.candidate) continue;
              refused = true;
              SetEngineError(220, "Uniqueness of the candidate tag " + b.definition.name +
                                      " is violated: records " + std::to_string(last_record) +
                                      " and " + std::to_string(r) + " have one key [BuildCdx]");
              return false;
            }
            last = k;
            last_record = r;
            key = entry;
            record = r;
            return true;
          }
        },
        b.root);
    if (refused || b.entries->failed()) ok = false;
    if (!ok) return false;
  }
  // The directory: names padded with blanks, in name order, naming the headers.
  std::vector<std::pair<std::string, std::uint32_t>> names;
  for (const Building& b : tags) {
    std::string name = b.definition.name;
    name.resize(kNameLength, ' ');
    names.emplace_back(name, b.header_at);
  }
  std::sort(names.begin(), names.end());
  std::size_t at = 0;
  std::uint32_t directory_root = 0;
  if (!WriteCdxTree(
          file, size, kNameLength, ' ', 100,
          [&](const std::uint8_t*& key, std::uint32_t& record) {
            if (at == names.size()) return false;
            key = reinterpret_cast<const std::uint8_t*>(names[at].first.data());
            record = names[at++].second;
            return true;
          },
          directory_root)) {
    return false;
  }
  const auto write = [&](std::uint64_t offset, const std::array<std::uint8_t, kCdxHeaderSize>& h) {
    const int code = file.WriteAt(offset, std::as_bytes(std::span(h)));
    if (code != 0)
      SetEngineError(static_cast<std::uint16_t>(code), "Error writing index file: " + file.path());
    return code == 0;
  };
  for (const Building& b : tags) {
    std::uint8_t options = kCdxCompact | kCdxCompound;
    if (b.definition.unique) options |= kCdxUnique;
    if (b.definition.candidate) options |= kCdxCandidate;
    if (!b.definition.for_condition.empty()) options |= kCdxHasFor;
    if (!write(b.header_at, HeaderBytes(b.root, b.key_length, options, b.definition.descending,
                                        b.definition.key, b.definition.for_condition))) {
      return false;
    }
  }
  (void)t;
  return write(0, HeaderBytes(directory_root, kNameLength,
                              kCdxCompact | kCdxCompound | kCdxDirectory, false, "", ""));
}

// Drops what an open of the table keeps of its old .CDX.
void Forget(const TableRecord& t) { ForgetKeptCdx(t.area); }

}  // namespace

bool TakesCdxTags(const TableRecord& t) { return t.HasStructuralCdx() || t.IsVisualFoxPro(); }

bool ReadCdxTagDefinitions(const std::string& path, std::vector<CdxTagDefinition>& out,
                           std::vector<std::string>& unreadable) {
  out.clear();
  unreadable.clear();
  CdxFile file;
  if (!file.Open(path, false)) return false;
  for (const CdxTag& tag : file.tags()) {
    if (!tag.fault.empty()) {
      unreadable.push_back(tag.name);
      continue;
    }
    CdxTagDefinition s;
    s.name = tag.name;
    s.key = tag.header.key_expression;
    s.for_condition = tag.header.HasFor() ? tag.header.for_expression : std::string();
    s.descending = tag.header.descending;
    s.unique = tag.header.Unique();
    s.candidate = tag.header.Candidate();
    s.collation = tag.header.collation;
    out.push_back(std::move(s));
  }
  return true;
}

bool BuildCdxFile(const std::string& path, const std::vector<CdxTagDefinition>& definitions) {
  TableRecord* t = SelectedTable();
  if (t == nullptr) {
    SetEngineError(52, "No table in use [BuildCdx]");
    return false;
  }
  if (definitions.empty()) {
    SetEngineError(220, "A compound index needs at least one tag [BuildCdx]");
    return false;
  }
  std::vector<Building> tags(definitions.size());
  for (std::size_t i = 0; i < definitions.size(); ++i) {
    if (!Prepare(*t, definitions[i], tags[i])) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (tags[j].definition.name == tags[i].definition.name) {
        SetEngineError(220, "The tag " + tags[i].definition.name + " twice [BuildCdx]");
        return false;
      }
    }
    tags[i].entries = std::make_unique<SortedRuns>(
        tags[i].key_length, tags[i].definition.descending ? ByteOrderDescending : ByteOrder,
        IndexBuildBudget / definitions.size(), SplitPath(path).dir, "BuildCdx");
  }
  // One pass over the records for every tag.
  bool ok = ForEachStoredRecord(
      *t,
      [&] {
        for (Building& b : tags) {
          KeyBuffer key{};
          bool included = false;
          if (!CdxRecordKey(*t, b.keys, 0, key, included, RecordForm::kStored)) return false;
          if (!included) continue;
          std::uint8_t* slot = b.entries->Slot();
          if (slot == nullptr) return false;
          std::memcpy(slot, key.data(), static_cast<std::size_t>(b.key_length));
          b.entries->Add(static_cast<std::uint32_t>(t->record_number));
        }
        return true;
      },
      "BuildCdx");
  for (Building& b : tags) ok = ok && b.entries->Finish();
  if (!ok) return false;
  std::string temp;
  os::File created;
  int code = os::CreateUniqueFile(SplitPath(path).dir, "VXI", "TMP", temp, created);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code),
                   "Cannot create a temporary file beside " + path);
    return false;
  }
  os::TakeModeAndOwner(os::FileExists(path) ? path : t->file_name, created);
  ok = WriteAll(*t, created, tags) && PutStagedIndex(created, temp, path);
  created.Close();
  if (!ok) os::DeleteFile(temp);
  if (ok) Forget(*t);
  return ok;
}

bool AddCdxTag(const CdxTagDefinition& tag) {
  TableRecord* t = SelectedTable();
  if (t == nullptr) {
    SetEngineError(52, "No table in use [AddCdxTag]");
    return false;
  }
  const std::string path = DerivedFileName(t->file_name, "CDX");
  std::vector<CdxTagDefinition> definitions;
  if (os::FileExists(path)) {
    std::vector<std::string> unreadable;
    if (!ReadCdxTagDefinitions(path, definitions, unreadable)) return false;
  }
  std::string name = tag.name;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::erase_if(definitions, [&](const CdxTagDefinition& s) { return s.name == name; });
  definitions.push_back(tag);
  ExclusiveBuild exclusive("AddCdxTag", path);
  t = exclusive.table();
  if (t == nullptr) return false;
  bool ok = BuildCdxFile(path, definitions);
  if (ok && (t->header[28] & kFoxProFlagCdx) == 0) {
    t->header[28] |= kFoxProFlagCdx;
    if (t->state == kStateOpen) t->state = kStateRewritten;
  }
  return exclusive.Release() && ok;
}

bool ReindexCdx() {
  TableRecord* t = SelectedTable();
  if (t == nullptr) {
    SetEngineError(52, "No table in use [ReindexCdx]");
    return false;
  }
  const std::string path = DerivedFileName(t->file_name, "CDX");
  std::vector<CdxTagDefinition> definitions;
  std::vector<std::string> unreadable;
  if (!ReadCdxTagDefinitions(path, definitions, unreadable)) return false;
  if (definitions.empty()) {
    std::string names;
    for (const std::string& n : unreadable) names += (names.empty() ? "" : ", ") + n;
    SetEngineError(222, "Index file damaged: " + path + ": no tag's definition reads" +
                            (names.empty() ? std::string() : " (" + names + ")"));
    return false;
  }
  ExclusiveBuild exclusive("ReindexCdx", path);
  if (exclusive.table() == nullptr) return false;
  const bool ok = BuildCdxFile(path, definitions);
  return exclusive.Release() && ok;
}

}  // namespace vx
