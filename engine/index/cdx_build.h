#pragma once
// Building FoxPro .CDX files: a whole file written anew from tag definitions and the records of
// the selected table (the tag directory, a header per tag, each tree written bottom-up), as
// `index` adds a tag, `reindex` rebuilds them and `check --repair` mends them. Changes of single
// entries on edits are in cdx_orders.h and cdx_tree.h; the layout is in cdx_file.h.
//
// File made: the file header at 0 (the directory's), the tag headers from 1024 in directory
// order, 1024 bytes each, then each tag's tree, then the directory's tree. Every key is made in
// byte order (MACHINE collation, none named).

#include <string>
#include <vector>

#include "engine/table/dbf_file.h"

namespace vx {

struct CdxTagDefinition {
  std::string name;  // 1..10 letters, digits and _, starting with a letter; kept upper case
  std::string key;
  std::string for_condition;  // empty: none
  bool descending = false;
  bool unique = false;
  bool candidate = false;
  std::string collation;  // as the file names it: a tag in another than MACHINE is not built
};

// The definitions of the tags of the .CDX at `path`: false after a report (error 2 when it is
// missing, 222 when its directory does not read). A tag whose header does not read is left
// out and named in `unreadable`.
bool ReadCdxTagDefinitions(const std::string& path, std::vector<CdxTagDefinition>& out,
                           std::vector<std::string>& unreadable);

// Writes a new .CDX at `path` with `tags` built from the selected table's records (replacing an
// old file in one rename once complete; a failed build leaves it as it was). Keys: characters
// (at most 100), numbers and dates. A unique tag keeps the lowest record of each key; a
// candidate tag refuses a key two records give (220); a tag in another collation than MACHINE
// is refused, naming it (this program orders bytes). False after a report.
bool BuildCdxFile(const std::string& path, const std::vector<CdxTagDefinition>& tags);

// Adds `tag` to the selected table's structural .CDX (one of its name replaced), making the
// file and setting the header's flag that names it when there is none: every tag is built
// anew. False after a report.
bool AddCdxTag(const CdxTagDefinition& tag);
// Builds every tag of the selected table's structural .CDX anew from its definitions (a tag
// whose header does not read is dropped, and named in the error of 222 when nothing remains).
bool ReindexCdx();
// Whether the selected table's tags belong in a structural .CDX: its header names one, or it is
// a Visual FoxPro table (which never has an .MDX).
bool TakesCdxTags(const TableRecord& table);

}  // namespace vx
