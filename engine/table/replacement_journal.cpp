#include "engine/table/replacement_journal.h"

#include <sstream>

#include "engine/table/dbf_file.h"
#include "platform/os/file.h"
#include "platform/os/system.h"

namespace vx {

namespace {

constexpr const char* kJournalMark = "vxdbf replacement 1";

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Whether `text` holds at `at` a dot and a short extension of letters and digits (".DBF"), then
// `tail` and nothing more.
bool IsExtension(const std::string& text, std::size_t at, const std::string& tail) {
  if (at >= text.size() || text[at] != '.') return false;
  std::size_t n = at + 1;
  while (n < text.size() && IsAlnum(text[n])) ++n;
  return n - at - 1 >= 1 && n - at - 1 <= 8 && text.compare(n, std::string::npos, tail) == 0;
}

bool StartsFolded(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Upper(text[i]) != Upper(prefix[i])) return false;
  }
  return true;
}

// A temporary name of a replacement: VXR (or `prefix`), six letters or digits, an extension,
// `tail`.
bool IsTempName(const std::string& base, const std::string& tail, const char* prefix = "VXR") {
  if (base.size() < 9 || base.compare(0, 3, prefix) != 0) return false;
  for (std::size_t i = 3; i < 9; ++i) {
    if (!IsAlnum(base[i])) return false;
  }
  return IsExtension(base, 9, tail);
}

// Takes a name from a journal into the journal's folder: `name` becomes that folder plus its
// last component. Answers false (and why) for a name a journal may not hold.
bool TakeName(std::string& name, const std::string& folder, const std::string& stem,
              bool temp_only, const std::string& tail, std::string& why) {
  const std::string base = BaseName(name);
  const bool own = !temp_only && StartsFolded(base, stem) && IsExtension(base, stem.size(), "");
  if (base.empty() || (!own && !IsTempName(base, tail))) {
    why = "it names " + name + ", which is neither a file of the table nor a temporary file";
    return false;
  }
  if (!name.empty() && name[0] == '/' && !os::SameFile(FolderOf(name), folder)) {
    why = "it names " + name + ", outside the table's folder";
    return false;
  }
  name = folder + base;
  return true;
}

std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    cells.push_back(line.substr(start, tab - start));
  }
  cells.push_back(line.substr(start));
  return cells;
}

// Reads and checks a journal's text; answers false with the reason.
bool ParseJournal(const std::string& text, const std::string& folder, const std::string& stem,
                  std::vector<JournalLine>& lines, std::string& reservation, std::string& why) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kJournalMark) {
    why = "it does not begin with the journal mark";
    return false;
  }
  while (std::getline(in, line)) {
    std::vector<std::string> cells = Cells(line);
    if (cells.size() == 2 && cells[0] == "R") {
      if (!TakeName(cells[1], folder, stem, true, "", why)) return false;
      reservation = cells[1];
    } else if (cells.size() == 4 && (cells[0] == "0" || cells[0] == "1")) {
      JournalLine entry{cells[0] == "1", cells[1], cells[2], cells[3]};
      if (!TakeName(entry.final_name, folder, stem, false, "", why) ||
          !TakeName(entry.temp, folder, stem, true, "", why) ||
          !TakeName(entry.kept, folder, stem, true, ".old", why)) {
        return false;
      }
      lines.push_back(std::move(entry));
    } else {
      why = "a line does not parse: " + line.substr(0, 80);
      return false;
    }
  }
  return true;
}

}  // namespace

std::string JournalPath(const std::string& table) { return DerivedFileName(table, "VXJ"); }

bool UndoJournalLines(const std::vector<JournalLine>& lines) {
  bool ok = true;
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (!line->kept.empty() && os::FileExists(line->kept)) {
      ok = os::RenameFile(line->kept, line->final_name) == os::kIoOk && ok;
    } else if (!line->existed && !line->final_name.empty() && !os::FileExists(line->temp) &&
               os::FileExists(line->final_name)) {
      // A name the old set did not have, taken by a new file.
      ok = os::DeleteFile(line->final_name) == os::kIoOk && ok;
    }
    if (os::FileExists(line->temp)) ok = os::DeleteFile(line->temp) == os::kIoOk && ok;
  }
  return ok;
}

JournalOutcome UndoPendingJournal(const std::string& table) {
  const std::string absolute = os::AbsolutePath(os::ResolvePath(table));
  const std::string journal = os::ResolvePath(JournalPath(absolute));
  const bool link = os::IsSymbolicLink(journal);
  if (!link && !os::FileExists(journal)) return {};
  const auto refused = [&](const std::string& why) {
    return JournalOutcome{JournalState::kRefused,
                          journal + " (left by an interrupted rewrite of " + table +
                              ") is not trusted: " + why +
                              "; nothing was changed (look at it and remove it by hand)"};
  };
  if (link) return refused("it is a symbolic link");
  os::File held;
  int io = os::File::Open(journal, os::kOpenReadWriteDenyAll, held, os::Links::kRefuse);
  if (io == os::kIoSharingViolation || io == os::kIoLockViolation) {
    return {JournalState::kHeld, "another program is rewriting " + table + " now (" + journal +
                                     " is in use); try again when it has finished"};
  }
  if (io != os::kIoOk) {
    return {JournalState::kRefused,
            "an interrupted rewrite of " + table + " (" + journal +
                ") must be undone before the table is used, and this process cannot (I/O error " +
                std::to_string(io) + "; it needs write access to the folder)"};
  }
  std::string text;
  std::uint64_t size = 0;
  std::size_t got = 0;
  if (held.Size(size) != os::kIoOk || size > (1u << 20)) return refused("it cannot be read");
  text.assign(static_cast<std::size_t>(size), '\0');
  if (held.ReadAt(0, std::as_writable_bytes(std::span(text)), got) != os::kIoOk ||
      got != text.size()) {
    return refused("it cannot be read");
  }
  const std::string folder = FolderOf(journal);
  std::string stem = BaseName(absolute);
  stem = stem.substr(0, stem.rfind('.') == std::string::npos || stem.rfind('.') == 0
                            ? stem.size()
                            : stem.rfind('.'));
  std::vector<JournalLine> lines;
  std::string reservation;
  std::string why;
  if (!ParseJournal(text, folder, stem, lines, reservation, why)) return refused(why);
  if (!UndoJournalLines(lines)) {
    return {JournalState::kRefused,
            "cannot undo the interrupted rewrite of " + table + " that " + journal + " describes"};
  }
  if (!reservation.empty() && os::FileExists(reservation)) os::DeleteFile(reservation);
  os::SyncDirectoryOf(journal);
  held.Close();
  os::DeleteFile(journal);
  os::SyncDirectoryOf(journal);
  return {JournalState::kUndone, {}};
}

std::string JournalUndoneNote(const std::string& table) {
  return "an interrupted rewrite (" + JournalPath(table) + ") was undone; the old files are back";
}

std::vector<std::string> StrayTemporaryFiles(const std::string& table) {
  const std::string absolute = os::AbsolutePath(os::ResolvePath(table));
  const std::string folder = FolderOf(absolute);
  std::vector<std::string> strays;
  std::vector<os::DirEntry> found;
  os::FindFiles(folder, "VX*.*", false, found);
  for (const os::DirEntry& entry : found) {
    const std::string& name = entry.name;
    // Other programs' tables may have such names: past the .TMP files only the extensions a
    // replacement writes count.
    std::string tail_upper = name.size() > 9 ? name.substr(9) : std::string();
    for (char& c : tail_upper) c = Upper(c);
    if (tail_upper.size() > 4 && tail_upper.compare(tail_upper.size() - 4, 4, ".OLD") == 0) {
      tail_upper.replace(tail_upper.size() - 4, 4, ".old");
    }
    bool temporary = false;
    for (const char* prefix : {"VXR", "VXI", "VXS", "VXM", "VXP", "VXB"}) {
      temporary = temporary || (IsTempName(name, "", prefix) && tail_upper == ".TMP");
    }
    for (const char* ext : {".DBF", ".DBT", ".FPT", ".MDX", ".VXJ"}) {
      for (const char* tail : {"", ".old"}) {
        temporary = temporary ||
                    ((IsTempName(name, "") || IsTempName(name, ".old")) &&
                     tail_upper == std::string(ext) + tail);
      }
    }
    if (!temporary) continue;
    const std::string path = folder + name;
    const std::string reservation = folder + name.substr(0, 9) + ".TMP";
    if (os::FileInUse(path) || os::FileInUse(reservation)) continue;
    strays.push_back(path);
  }
  return strays;
}

}  // namespace vx
