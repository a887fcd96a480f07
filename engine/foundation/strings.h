#pragma once
// Small string routines shared by the engine: OEM/ANSI conversion of whole strings, trimming
// of control characters and blanks, and DOS-style file-name handling (directory, name,
// extension, default extension). File operations live with the file utilities.

#include <string>
#include <string_view>

namespace vx {

std::string OemToAnsiText(std::string_view text);
std::string AnsiToOemText(std::string_view text);

// Remove characters with codes 0 to 32 from both ends, the right end, or the left end.
std::string TrimText(std::string_view text);
std::string TrimRight(std::string_view text);
std::string TrimLeft(std::string_view text);

// A path split into directory (ending in a separator when not empty), name (at most 64
// characters) and extension (at most 64 characters, with its dot). Both "\" and "/" separate.
struct PathParts {
  std::string dir, name, ext;
};
PathParts SplitPath(std::string_view path);
// When the path has no extension: directory + name without trailing blanks + "." + ext (given
// without its dot); otherwise the path unchanged.
std::string DefaultExtension(std::string_view path, std::string_view ext);
// Whether the path's extension is `ext` (given without its dot), in any case.
bool HasExtension(std::string_view path, std::string_view ext);
// A file named beside another: `ext` (without its dot) added to a name without extension, the
// other file's directory to a name without one.
std::string PathBeside(std::string_view other_file, std::string_view name, std::string_view ext);
// The path with its extension replaced by `ext` (given without its dot).
std::string ReplaceExtension(std::string_view path, std::string_view ext);
// The absolute form of a path (relative to the working directory), separators as "/".
std::string FullPath(std::string_view path);
// The file name without directory.
std::string NameOnly(std::string_view path);

}  // namespace vx
