#include "engine/index/cdx_orders.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/strings.h"
#include "engine/index/index_check.h"
#include "engine/index/mdx_format.h"
#include "platform/os/system.h"

namespace vx {

namespace {

// A blank date (the key maker's 1E100) is day 0 in a .CDX key.
constexpr double kBlankDateAbove = 1e99;

// The key maker's view of a tag: numbers and dates are doubles (type D).
TagHeader TagViewOf(const CdxHeader& h, bool doubles, int key_length) {
  TagHeader tag;
  tag.bytes[9] = doubles ? 'D' : 'C';
  PutLe16(tag.bytes.data() + 12, static_cast<std::uint16_t>(key_length));
  std::memcpy(tag.bytes.data() + 24, h.key_expression.data(),
              std::min<std::size_t>(h.key_expression.size(), kMaxExpressionLength));
  if (h.HasFor()) {
    tag.bytes[245] = 1;
    std::memcpy(tag.bytes.data() + 762, h.for_expression.data(),
                std::min<std::size_t>(h.for_expression.size(), kMaxExpressionLength));
  }
  return tag;
}

// Compiles a tag's expressions for the table and says why its keys cannot be made, if so.
CdxTagKeys KeysOf(TableRecord& t, CdxTag& tag) {
  CdxTagKeys k;
  const CdxHeader& h = tag.header;
  if (!tag.fault.empty()) {
    k.unusable = tag.fault;
    return k;
  }
  if (h.key_expression.size() > static_cast<std::size_t>(kMaxExpressionLength) ||
      h.for_expression.size() > static_cast<std::size_t>(kMaxExpressionLength)) {
    k.unusable = "an expression longer than " + std::to_string(kMaxExpressionLength) +
                 " characters";
    return k;
  }
  k.view = TagViewOf(h, false, std::min(h.key_length, kMaxKeyLength));
  if (!CompileTagExpressions(k.view, k.expressions)) {
    k.unusable = "its key \"" + h.key_expression + "\"" +
                 (h.HasFor() ? " or FOR condition \"" + h.for_expression + "\"" : std::string()) +
                 " does not compile for " + t.file_name;
    k.expressions = TagExpressions{};
    return k;
  }
  const char type = k.expressions.result_type;
  const bool numeric = type == 'N' || type == 'F' || type == 'D';
  k.type = type == 'D' ? 'D' : (numeric ? 'N' : 'C');
  if (numeric) {
    tag.trail = 0;
    k.view = TagViewOf(h, true, 8);
    CompileTagExpressions(k.view, k.expressions);
    if (h.key_length != 8) {
      k.unusable = "its key gives a number of 8 bytes, its header says " +
                   std::to_string(h.key_length);
    }
    return k;
  }
  if (!h.Machine()) {
    k.unusable = "its keys are in the " + h.collation + " collation (this program orders bytes)";
    return k;
  }
  if (k.expressions.width != h.key_length) {
    k.unusable = "its key gives " + std::to_string(k.expressions.width) +
                 " characters, its header says " + std::to_string(h.key_length) +
                 (h.key_length == 2 * k.expressions.width ? " (keys of another collation)" : "");
    return k;
  }
  if (h.key_length > kMaxKeyLength) {
    k.unusable = "keys of " + std::to_string(h.key_length) + " bytes (this program makes keys of "
                 "at most " + std::to_string(kMaxKeyLength) + ")";
    return k;
  }
  NoteFieldKey(k.expressions, k.view, t);
  return k;
}

int TakeLock(os::File& f) {
  int code = 0;
  for (int attempt = 0; attempt < 1001; ++attempt) {
    code = f.LockRangeShared(kCdxLockOffset, 1);
    if (code == 0) break;
    if (attempt >= 10) os::SleepMs(10);
  }
  return code;
}

}  // namespace

bool IsCdxName(std::string_view name) { return HasExtension(name, "CDX"); }

std::string CdxPath(const TableRecord& t, std::string_view name) {
  return name.empty() ? DerivedFileName(t.file_name, "CDX") : PathBeside(t.file_name, name, "CDX");
}

bool UsesStructuralCdx(const TableRecord& t) {
  return t.HasStructuralCdx() && os::FileExists(DerivedFileName(t.file_name, "CDX"));
}

bool OpenCdxFor(TableRecord& t, const std::string& path, CdxIndex& out) {
  out.keys.clear();
  if (!out.file.Open(path, false)) return false;
  for (CdxTag& tag : out.file.tags()) out.keys.push_back(KeysOf(t, tag));
  return true;
}

CdxReadHold::CdxReadHold(CdxFile& file) : file_(file) {
  const int code = TakeLock(file.file());
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code),
                   "Index file locked by another program: " + file.path());
    return;
  }
  locked_ = true;
  // The directory read again keeps each tag's trailing byte as the key maker set it.
  std::vector<std::uint8_t> trails;
  for (const CdxTag& tag : file.tags()) trails.push_back(tag.trail);
  const std::size_t before = file.tags().size();
  held_ = file.Reload();
  if (held_ && file.tags().size() == before) {
    for (std::size_t i = 0; i < before; ++i) file.tags()[i].trail = trails[i];
  } else if (held_) {
    SetEngineError(222, file.path() + " changed its tags while it was open");
    held_ = false;
  }
}

CdxReadHold::~CdxReadHold() {
  if (locked_) file_.file().UnlockRange(kCdxLockOffset, 1);
}

bool CdxRecordKey(TableRecord& t, CdxIndex& index, std::size_t tag, KeyBuffer& key,
                  bool& included, RecordForm form) {
  key.fill(0);
  included = false;
  CdxTagKeys& k = index.keys.at(tag);
  if (!k.unusable.empty()) {
    SetEngineError(222, index.file.path() + ": tag " + index.file.tags()[tag].name + ": " +
                            k.unusable);
    return false;
  }
  int length = 0;
  if (!MakeKey(k.expressions, k.view, t, key, length, form)) {
    if (EngineErrorCode == 0) {
      SetEngineError(222, "The key of record " + std::to_string(t.record_number) + " for tag " +
                              index.file.tags()[tag].name + " cannot be made");
    }
    return false;
  }
  if (k.type != 'C') {
    double value = KeyDouble(key.data());
    if (k.type == 'D' && value > kBlankDateAbove) value = 0;
    const auto bytes = CdxNumberKey(value);
    key.fill(0);
    std::memcpy(key.data(), bytes.data(), bytes.size());
  }
  included = MeetsFor(k.expressions, t, form);
  return true;
}

void CdxSearchKey(const CdxIndex& index, std::size_t tag, std::string text, bool exact,
                  KeyBuffer& key, int& length) {
  key.fill(0);
  const CdxTagKeys& k = index.keys.at(tag);
  const int key_length = std::min(index.file.tags()[tag].header.key_length, kMaxKeyLength);
  if (k.type != 'C') {
    double value = k.type == 'D' ? TextToDate(text) : std::strtod(text.c_str(), nullptr);
    if (k.type == 'D' && value > kBlankDateAbove) value = 0;
    const auto bytes = CdxNumberKey(value);
    std::memcpy(key.data(), bytes.data(), bytes.size());
    length = 8;
    return;
  }
  if (exact && static_cast<int>(text.size()) < key_length) {
    text.append(static_cast<std::size_t>(key_length) - text.size(), ' ');
  }
  length = std::min(static_cast<int>(text.size()), key_length);
  std::memcpy(key.data(), text.data(), static_cast<std::size_t>(length));
}

std::string CdxKeyText(const CdxIndex& index, std::size_t tag, const std::uint8_t* key) {
  const CdxTagKeys& k = index.keys.at(tag);
  const CdxHeader& h = index.file.tags()[tag].header;
  if (k.type == 'C' || h.key_length != 8) {
    return std::string(reinterpret_cast<const char*>(key), static_cast<std::size_t>(h.key_length));
  }
  const double value = CdxKeyNumber(key);
  if (k.type == 'D') return value == 0 ? std::string(8, ' ') : DateToText(value);
  char text[64];
  std::snprintf(text, sizeof text, "%*.*f", k.expressions.width, k.expressions.decimals, value);
  return text;
}

std::vector<std::string> CheckCdxTagAgainstTable(TableRecord& t, CdxIndex& index,
                                                 std::size_t tag, std::vector<std::string>& notes) {
  const CdxTag& cdx_tag = index.file.tags().at(tag);
  const auto key_length = static_cast<std::size_t>(cdx_tag.header.key_length);
  std::vector<TagItem> items;
  std::vector<std::string> problems =
      index.file.CheckTree(cdx_tag, [&](const std::uint8_t* key, std::uint32_t record) {
        items.push_back({std::string(reinterpret_cast<const char*>(key), key_length), record});
      });
  if (!problems.empty()) return problems;
  const CdxTagKeys& k = index.keys.at(tag);
  if (!k.unusable.empty()) {
    notes.push_back("its keys are not compared with the records: " + k.unusable);
    return problems;
  }
  std::vector<TagItem> expected;
  const bool made = ForEachStoredRecord(
      t,
      [&] {
        KeyBuffer key{};
        bool included = false;
        if (!CdxRecordKey(t, index, tag, key, included, RecordForm::kStored)) {
          problems.push_back("the key of record " + std::to_string(t.record_number) +
                             " cannot be made");
          return false;
        }
        if (included) {
          expected.push_back({std::string(reinterpret_cast<const char*>(key.data()), key_length),
                              static_cast<std::uint32_t>(t.record_number)});
        }
        return true;
      },
      "check");
  if (!made) {
    if (problems.empty()) problems.push_back(LastErrorMessage);
    return problems;
  }
  CompareItemsWithRecords(
      std::move(items), std::move(expected),
      [&](const std::string& a, const std::string& b) {
        return CdxFile::Compare(cdx_tag, reinterpret_cast<const std::uint8_t*>(a.data()),
                                reinterpret_cast<const std::uint8_t*>(b.data()),
                                static_cast<int>(key_length));
      },
      cdx_tag.header.Unique(), static_cast<std::uint32_t>(t.record_count), problems, notes);
  return problems;
}

}  // namespace vx
