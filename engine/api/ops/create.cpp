// create: the field rules a new definition passes, and a new empty table (or one put in place
// of an existing table through the journal), opened on the caller's engine.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vexel/maintenance.hpp>

#include "engine/api/ops/file_replacement.h"
#include "engine/api/ops/operation.h"
#include "engine/api/ops/record_order.h"
#include "engine/api/ops/table_rewrite.h"
#include "engine/api/ops/table_shape.h"
#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/number_text.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/path_text.h"
#include "platform/os/system.h"

namespace vx::ops {

namespace {

// Replaces the existing `table` by a new empty one of `definitions` as one step, through the
// journal like the other maintenance commands: the new table (and memo file) are written under
// temporary names, then put in place of the old table, memo file, production index and .cpg
// file, which stay whole until then. The old .cpg goes, or names the new page when no driver
// byte names it, so that the new table reads in its own page and not in the old one's. Refused
// (LockRefused) when another program has one of them open, and (DataError) when this process
// may not write the table: its files stay as they are.
void OverwriteTable(const std::string& table, const std::vector<FieldEntry>& definitions,
                    std::uint8_t version, int codepage) {
  std::vector<std::string> finals{os::ResolvePath(table)};
  for (const char* ext : {"DBT", "FPT", "MDX", "CPG"}) {
    finals.push_back(os::ResolvePath(DerivedFileName(table, ext)));
  }
  const std::size_t cpg_entry = finals.size() - 1;
  std::vector<std::string> old;
  for (const std::string& f : finals) {
    if (os::FileExists(f)) old.push_back(f);
  }
  ClaimExclusive(old, "create");
  {
    os::File probe;
    if (os::File::Open(finals[0], os::kOpenReadWriteDenyNone, probe) == os::kIoAccessDenied) {
      throw DataError{table + " may not be written: it, its memo file and its index stay as "
                      "they are"};
    }
  }
  const std::string memo_ext = MemoExtension(MemoVersionOf(version));
  const std::size_t memo_entry = memo_ext == "FPT" ? 2 : 1;
  NewTable shape;
  {
    const ShapeFolder folder;
    CreateEmpty(folder.Table(), definitions, version);
    if (codepage != 0) WriteCodePageMark(folder.Table(), codepage);
    shape = ReadNewTable(folder.Table(), folder.Memo(version), finals[memo_entry]);
  }
  FileReplacement replacement(finals[0], finals);
  for (std::size_t i = 1; i < finals.size(); ++i) {
    if (i != memo_entry && i != cpg_entry) replacement.Remove(i);
  }
  if (shape.memo_header.empty()) replacement.Remove(memo_entry);
  PlaceCodePageFile(replacement, cpg_entry, LanguageDriverForCodePage(codepage) ? 0 : codepage);
  DbfWriter writer(replacement.CreateTemp(0), replacement.Temp(0), shape.header,
                   shape.record_length, false);
  std::optional<MemoWriter> memo;
  if (!shape.memo_header.empty()) {
    memo.emplace(replacement.CreateTemp(memo_entry), replacement.Temp(memo_entry),
                 shape.memo_header, shape.memo_kind, shape.block_size);
  }
  ReachStage(ReplaceStage::kCopying);
  writer.Finish();
  if (memo) memo->Finish();
  VerifyNewTable(replacement.Temp(0), 0);
  replacement.Replace();
  replacement.Finish(false);
}

void Create(const std::string& file, const std::vector<vexel::Field>& fields,
            const vexel::CreateOptions& options) {
  const std::uint8_t version = CreateVersion(options.version);
  if (fields.empty()) throw InputError{"a table needs at least one field: " + file};
  const bool level7 = version == kVersionLevel7Memo || version == kVersionLevel7;
  // Refused before anything is removed or written.
  const int page = options.codepage != 0 ? options.codepage : kNewTableCodePage;
  // Names beyond ASCII are stored in the table's page, which must be known first.
  if (options.national_names) CheckCodePageMark(page, level7);
  const std::vector<FieldEntry> definitions =
      CheckedDefinitions(fields, version, options.national_names ? page : 0);
  CheckCodePageMark(page, level7);
  if (!TableNameHasStem(file)) throw InputError{file + kNoStemText};
  const std::string table = DefaultExtension(TrimText(file), "DBF");
  if (os::FileExists(table) || os::IsSymbolicLink(table)) {
    if (!options.overwrite) {
      throw InputError{table + " exists", {{vexel::Remedy::overwrite, "replaces it"}}};
    }
    OverwriteTable(table, definitions, version, page);
    return;
  }
  CreateEmpty(file, definitions, version);
  WriteCodePageMark(file, page);
}

}  // namespace

// Refuses (DefinitionRefused naming the field) definitions that dBASE programs would not read
// back as given; see vexel::check_fields. `rules` (empty: all for every field) says which.
void CheckFieldDefinitions(const std::vector<FieldEntry>& fields,
                           const std::vector<std::string>& shown, std::uint8_t version,
                           const std::vector<FieldRules>& rules, bool national) {
  // Every version keeps at most 10 characters of a name; the binary kinds belong to level 7
  // (I, +, O, @) and Visual FoxPro (I, +, B, Y, T, V, Q, G, W; memos 4 wide).
  const bool level7 = version == kVersionLevel7 || version == kVersionLevel7Memo;
  const bool foxpro = version == kVersionVisualFoxPro || version == kVersionVisualFoxProAutoinc;
  constexpr std::size_t kLongestName = 10;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldEntry& f = fields[i];
    const std::string field = "field " + std::to_string(i + 1) + " " + Quoted(shown[i]);
    const FieldRules rule = i < rules.size() ? rules[i] : FieldRules::kAll;
    for (std::size_t j = 0; j < i; ++j) {
      if (os::AnsiUpperText(fields[j].name) == os::AnsiUpperText(f.name)) {
        throw DefinitionRefused{field + ": the name of field " + std::to_string(j + 1) +
                                " again (case does not count)"};
      }
    }
    if (rule == FieldRules::kKept) continue;
    if (f.name.empty()) throw DefinitionRefused{"field " + std::to_string(i + 1) + " has no name"};
    if (f.name.size() > kLongestName) {
      throw DefinitionRefused{field + ": a name has at most " + std::to_string(kLongestName) +
                              " characters"};
    }
    const auto letter = [&](char c) {
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
             (national && static_cast<unsigned char>(c) >= 0x80);
    };
    if (!letter(f.name[0])) throw DefinitionRefused{field + ": a name begins with a letter"};
    for (char c : f.name) {
      if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') {
        throw DefinitionRefused{field + ": a name holds only letters, digits and \"_\""};
      }
    }
    if (rule == FieldRules::kRenamed) continue;
    const char type = static_cast<char>(std::toupper(static_cast<unsigned char>(f.type)));
    if ((f.flags & kFieldMayBeNull) != 0 && !foxpro) {
      throw DefinitionRefused{field +
                              ": only Visual FoxPro fields (version 0x30, 0x31) may be null"};
    }
    const auto width = [&](int low, int high) {
      if (f.length < low || f.length > high) {
        throw DefinitionRefused{field + ": type " + std::string(1, type) + " takes a width of " +
                                std::to_string(low) + " to " + std::to_string(high) + ", not " +
                                std::to_string(f.length)};
      }
    };
    const auto fixed = [&](int length) {
      if (f.length != 0 && f.length != length) {
        throw DefinitionRefused{field + ": type " + std::string(1, type) + " is " +
                                std::to_string(length) + " wide, not " + std::to_string(f.length)};
      }
    };
    const auto needs = [&](bool present, const char* versions) {
      if (!present) {
        throw DefinitionRefused{field + ": type " + std::string(1, type) + " needs version " +
                                versions};
      }
    };
    switch (type) {
      case 'C':
        width(1, 254);
        break;
      case 'N':
      case 'F':
        width(1, 20);
        if (f.decimals > 0 && f.decimals >= f.length) {
          throw DefinitionRefused{field + ": " + std::to_string(f.decimals) +
                                  " decimals need a width above " + std::to_string(f.decimals) +
                                  ", not " + std::to_string(f.length)};
        }
        break;
      case 'D':
        fixed(8);
        break;
      case 'L':
        fixed(1);
        break;
      case 'I':
      case '+':
        needs(level7 || foxpro, "0x04, 0x8C, 0x30 or 0x31");
        fixed(4);
        break;
      case 'O':
      case '@':
        needs(level7, "0x04 or 0x8C");
        fixed(8);
        break;
      case 'Y':
      case 'T':
      case 'V':
      case 'Q':
      case 'W':
        needs(foxpro, "0x30 or 0x31");
        if (type == 'V' || type == 'Q') {
          width(1, 254);
        } else {
          fixed(type == 'W' ? 4 : 8);
        }
        break;
      case 'M':
      case 'B':
      case 'G':
      case 'P':
        if (foxpro && type == 'B') {
          fixed(8);
        } else if (foxpro && type != 'P') {
          fixed(4);
        } else if (foxpro) {
          throw DefinitionRefused{field + ": no field type P in a Visual FoxPro table"};
        } else {
          fixed(10);
        }
        break;
      default:
        throw DefinitionRefused{field + ": no field type " + Quoted(std::string(1, f.type)) +
                                " (C, N, F, D, L or M)"};
    }
  }
}

// The definitions of the caller's fields in the engine's form, checked: names in the ANSI page
// (ASCII, as the rules keep them), or with `national_page` in that page, letters beyond ASCII
// allowed (InputError for one the page lacks).
std::vector<FieldEntry> CheckedDefinitions(const std::vector<vexel::Field>& fields,
                                           std::uint8_t version, int national_page) {
  std::vector<FieldEntry> entries;
  std::vector<std::string> shown;
  for (const vexel::Field& f : fields) {
    entries.push_back(EntryOf(f, national_page == 0 ? os::Utf8ToAnsi(f.name)
                                                    : vexel::detail::FromUtf8(
                                                          national_page, f.name,
                                                          "the field name " + Quoted(f.name))));
    shown.push_back(f.name);
  }
  CheckFieldDefinitions(entries, shown, version, {}, national_page != 0);
  return entries;
}

// The kind create() writes; InputError for a version byte it does not write. A plain byte is
// its kind with a memo file: CreateDBF writes the memo bit and the memo file only when a field
// needs them, and as given a memo field would go into a table without a memo file.
std::uint8_t CreateVersion(std::uint8_t version) {
  switch (version) {
    case 0:
      return kVersionDbase4Memo;
    case kVersionDbase3:
      return kVersionDbase3Memo;
    case kVersionLevel7:
      return kVersionLevel7Memo;
    case kVersionDbase3Memo:
    case kVersionDbase4Memo:
    case kVersionFoxProMemo:
    case kVersionLevel7Memo:
    case kVersionVisualFoxPro:
    case kVersionVisualFoxProAutoinc:
      return version;
  }
  throw InputError{"no table kind " + VersionText(version) +
                   " (0x03, 0x83, 0x8B, 0xF5, 0x04, 0x8C, 0x30 or 0x31)"};
}

}  // namespace vx::ops

namespace vexel {

void check_fields(const std::vector<Field>& fields, std::uint8_t version) {
  vx::ops::Run([&] { vx::ops::CheckedDefinitions(fields, vx::ops::CreateVersion(version)); });
}

Table Engine::create(const std::filesystem::path& path, const std::vector<Field>& fields,
                     const CreateOptions& options) {
  vx::ops::Run([&] {
    const std::string file = vx::os::PathText(path);
    detail::RefuseUnusableName(file);  // a name open() would refuse is not written either
    vx::ops::Create(file, fields, options);
  });
  return open(path, options.open);
}

}  // namespace vexel
