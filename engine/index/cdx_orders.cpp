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
#include "engine/index/cdx_tree.h"
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
    k.collation = h.collation;
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

CdxTagKeys CdxKeysFor(TableRecord& t, CdxTag& tag) { return KeysOf(t, tag); }

bool IsCdxName(std::string_view name) { return HasExtension(name, "CDX"); }

std::string CdxPath(const TableRecord& t, std::string_view name) {
  return name.empty() ? DerivedFileName(t.file_name, "CDX") : PathBeside(t.file_name, name, "CDX");
}

bool UsesStructuralCdx(const TableRecord& t) {
  return t.HasStructuralCdx() && os::FileExists(DerivedFileName(t.file_name, "CDX"));
}

bool OpenCdxFor(TableRecord& t, const std::string& path, CdxIndex& out, bool writable) {
  out.keys.clear();
  if (!out.file.Open(path, writable)) return false;
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

// ---------------------------------------------------------------------------------------------
// Keeping a .CDX current

namespace {

std::string TagName(const CdxKept& kept, std::size_t tag) {
  return kept.index.file.tags()[tag].name;
}

// The record's key in a tag and whether it meets the FOR condition. A tag in another collation
// gets its key in byte order (only compared with the record's other key, never stored).
bool EditKey(TableRecord& t, CdxKept& kept, std::size_t tag, KeyBuffer& key, bool& included) {
  CdxTagKeys& k = kept.index.keys[tag];
  if (k.collation.empty()) return CdxRecordKey(t, kept.index, tag, key, included);
  key.fill(0);
  int length = 0;
  if (!MakeKey(k.expressions, k.view, t, key, length)) {
    if (EngineErrorCode == 0) {
      SetEngineError(222, "The key of record " + std::to_string(t.record_number) + " for tag " +
                              TagName(kept, tag) + " cannot be made");
    }
    return false;
  }
  included = MeetsFor(k.expressions, t);
  return true;
}

bool SameKey(const CdxKept& kept, std::size_t tag, const KeyBuffer& a, const KeyBuffer& b) {
  const auto length = static_cast<std::size_t>(
      std::min(kept.index.file.tags()[tag].header.key_length, kMaxKeyLength));
  return std::memcmp(a.data(), b.data(), length) == 0;
}

// The first edit compares every tag with the table whole: one that does not agree refuses the
// edits that would change it, since they would go into a tag already wrong.
void Validate(TableRecord& t, CdxKept& kept) {
  if (kept.validated) return;
  kept.validated = true;
  for (std::size_t n = 0; n < kept.tags.size(); ++n) {
    std::vector<std::string> notes;
    std::vector<std::string> problems;
    {
      QuietErrors quiet;
      problems = CheckCdxTagAgainstTable(t, kept.index, n, notes);
      EngineErrorCode = 0;
    }
    std::string& fault = kept.tags[n].fault;
    fault.clear();
    for (const std::string& p : problems) fault += (fault.empty() ? "" : "; ") + p;
  }
}

}  // namespace

bool OpenKeptCdx(TableRecord& t, CdxKept& out) {
  out = CdxKept{};
  out.table_path = t.file_name;
  if (!OpenCdxFor(t, DerivedFileName(t.file_name, "CDX"), out.index, (t.open_mode & 3) != 0)) {
    return false;
  }
  out.tags.resize(out.index.file.tags().size());
  return true;
}

bool ReloadKeptCdx(TableRecord& t, CdxKept& kept) {
  std::vector<std::string> names;
  std::vector<std::uint8_t> trails;
  for (const CdxTag& tag : kept.index.file.tags()) {
    names.push_back(tag.name);
    trails.push_back(tag.trail);
  }
  if (!kept.index.file.Reload()) return false;
  std::vector<CdxTag>& tags = kept.index.file.tags();
  bool same = tags.size() == names.size();
  for (std::size_t i = 0; same && i < tags.size(); ++i) same = tags[i].name == names[i];
  if (same) {
    for (std::size_t i = 0; i < tags.size(); ++i) tags[i].trail = trails[i];
    return true;
  }
  kept.index.keys.clear();
  for (CdxTag& tag : tags) kept.index.keys.push_back(KeysOf(t, tag));
  kept.tags.assign(tags.size(), CdxKept::TagState{});
  kept.validated = false;
  return true;
}

void RememberCdxKeys(TableRecord& t, CdxKept& kept) {
  kept.remembered_record = static_cast<std::uint32_t>(t.record_number);
  for (std::size_t n = 0; n < kept.tags.size(); ++n) {
    CdxKept::TagState& s = kept.tags[n];
    QuietErrors quiet;
    s.valid = kept.index.keys[n].unusable.empty() || !kept.index.keys[n].collation.empty()
                  ? EditKey(t, kept, n, s.remembered, s.included)
                  : false;
    EngineErrorCode = 0;
  }
}

bool CheckCdxEdit(TableRecord& t, CdxKept& kept, bool appending) {
  Validate(t, kept);
  const std::int32_t saved = t.record_number;
  if (appending) t.record_number = t.record_count + 1;
  const auto record = static_cast<std::uint32_t>(t.record_number);
  const std::string& path = kept.index.file.path();
  bool ok = true;
  for (std::size_t n = 0; ok && n < kept.tags.size(); ++n) {
    const CdxTagKeys& k = kept.index.keys[n];
    const CdxTag& tag = kept.index.file.tags()[n];
    CdxKept::TagState& s = kept.tags[n];
    if (!k.unusable.empty() && k.collation.empty()) {
      SetEngineError(222, "The tag " + tag.name + " of " + path + " cannot be kept current (" +
                              k.unusable + "): nothing was changed");
      ok = false;
      break;
    }
    KeyBuffer key{};
    bool included = false;
    if (!EditKey(t, kept, n, key, included)) {
      ok = false;
      break;
    }
    const bool had = !appending && s.valid && kept.remembered_record == record;
    const bool had_entry = had && s.included;
    if (had && s.included == included && (!included || SameKey(kept, n, key, s.remembered))) {
      continue;  // the edit leaves this tag as it is
    }
    if (!had_entry && !included) continue;
    if (!k.collation.empty()) {
      SetEngineError(222, "The tag " + tag.name + " of " + path + " orders its keys in the " +
                              k.collation + " collation, which this program does not write: " +
                              "an edit that changes its keys was refused; nothing was changed");
      ok = false;
      break;
    }
    if (!s.fault.empty()) {
      SetEngineError(222,
                     "The tag " + tag.name + " of " + path + " does not agree with " + t.file_name +
                         " (" + s.fault + "): nothing was changed",
                     {{EngineRemedy::kRepair, "rebuilds it"}});
      ok = false;
      break;
    }
    bool found = false;
    std::uint32_t holder = 0;
    if (had_entry) {
      if (!CdxHolds(kept.index.file, n, s.remembered.data(), record, found, holder)) {
        ok = false;
        break;
      }
      if (!found && !tag.header.Unique() && !tag.header.Candidate()) {
        SetEngineError(254, "Record number " + std::to_string(record) + " not found in tag " +
                                tag.name + " of " + path + " [CompareKeys]");
        ok = false;
        break;
      }
    }
    if (included) {
      if (!CdxHolds(kept.index.file, n, key.data(), record, found, holder)) {
        ok = false;
        break;
      }
      if (tag.header.Candidate() && holder != 0 && holder != record) {
        SetEngineError(220, "Uniqueness of the candidate tag " + tag.name + " of " + path +
                                " is violated: record " + std::to_string(holder) +
                                " holds the key \"" + CdxKeyText(kept.index, n, key.data()) +
                                "\"; nothing was changed");
        ok = false;
        break;
      }
    }
  }
  t.record_number = saved;
  return ok;
}

void TakeBackCdxEdit(CdxKept& kept, std::vector<CdxUndo>& done, std::uint32_t record) {
  const std::uint16_t code = EngineErrorCode;
  std::string message = LastErrorMessage;
  bool left = false;
  for (auto it = done.rbegin(); it != done.rend(); ++it) {
    QuietErrors quiet;
    bool mended = true;
    if (it->did_insert) {
      mended = CdxDelete(kept.index.file, it->tag, it->inserted.data(), record) == CdxChange::kDone;
    }
    if (mended && it->did_remove) {
      mended = CdxInsert(kept.index.file, it->tag, it->removed.data(), record) != CdxChange::kFailed;
    }
    left = left || !mended;
  }
  done.clear();
  if (left) message += " (" + kept.index.file.path() + " may be damaged: rebuild it)";
  EngineErrorCode = code;
  LastErrorMessage = message;
}

bool ApplyCdxEdit(TableRecord& t, CdxKept& kept, bool appending, std::vector<CdxUndo>& done) {
  const auto record = static_cast<std::uint32_t>(t.record_number);
  for (std::size_t n = 0; n < kept.tags.size(); ++n) {
    const CdxKept::TagState& s = kept.tags[n];
    KeyBuffer key{};
    bool included = false;
    if (!EditKey(t, kept, n, key, included)) {
      TakeBackCdxEdit(kept, done, record);
      return false;
    }
    const bool had = !appending && s.valid && kept.remembered_record == record;
    const bool had_entry = had && s.included;
    if (had && s.included == included && (!included || SameKey(kept, n, key, s.remembered))) {
      continue;
    }
    if (!had_entry && !included) continue;
    CdxUndo& undo = done.emplace_back();
    undo.tag = n;
    if (had_entry) {
      undo.removed = s.remembered;
      const CdxChange gone = CdxDelete(kept.index.file, n, s.remembered.data(), record);
      if (gone == CdxChange::kFailed) {
        TakeBackCdxEdit(kept, done, record);
        return false;
      }
      undo.did_remove = gone == CdxChange::kDone;
    }
    if (included) {
      undo.inserted = key;
      const CdxChange put = CdxInsert(kept.index.file, n, key.data(), record);
      if (put == CdxChange::kFailed) {
        TakeBackCdxEdit(kept, done, record);
        return false;
      }
      undo.did_insert = put == CdxChange::kDone;
    }
  }
  return true;
}

}  // namespace vx
