#pragma once
// Orders from index files the work area does not keep as its controlling order: the tags of a
// FoxPro table's structural .CDX and the dBASE III .NDX files a user names. Each is read whole
// into the list of record numbers the browser's dataset walks (its temporary order), and
// searched through the file itself. Reading only: keeping an .NDX current on edits is the
// engine's (AttachNdx), and this engine does not write a .CDX, so edits of such a table are
// refused before they get here.
//
// Each read holds the file's shared read lock, so a writer's change is never read half way.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/dbf_file.h"

namespace vx {
struct CdxIndex;
struct NdxIndex;
}  // namespace vx

namespace vx::browser {

class FileOrder {
 public:
  virtual ~FileOrder() = default;

  // Every tag of the table's structural .CDX (none when its header names none or the file is
  // missing). Raises the engine's error for a .CDX that cannot be read.
  static std::vector<std::unique_ptr<FileOrder>> CdxTagsOf(TableRecord& table);
  // The .NDX at `path` (a name without folder is taken from the table's), read for `table`.
  // Raises the engine's error: 2 when it is missing, 222 when it is no .NDX of this table.
  static std::unique_ptr<FileOrder> Ndx(TableRecord& table, const std::string& path);

  // The name in the order box: "TITLE (.CDX)", "FILMS.NDX".
  virtual std::string Name() const = 0;
  // The file's full path (an .NDX's; the .CDX's for a tag).
  virtual std::string Path() const = 0;
  virtual std::string KeyExpression() const = 0;
  // The record numbers in the order's key order (a FOR condition's records alone). Raises the
  // engine's error for a file that cannot be read or meets damage on the way.
  virtual std::vector<std::int32_t> Records(TableRecord& table) = 0;
  // A soft seek of a key made from `key_text` (in the table's page, as the tag makes keys):
  // the record of the first key not below it (0 when every key is below), and whether that key
  // begins with the text. Raises the engine's error, or says why the order cannot be searched.
  virtual std::uint32_t Seek(TableRecord& table, const std::string& key_text, bool& found) = 0;
};

}  // namespace vx::browser
