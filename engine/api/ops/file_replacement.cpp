#include "engine/api/ops/file_replacement.h"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "engine/api/ops/operation.h"
#include "engine/foundation/strings.h"
#include "engine/table/dbf_file.h"
#include "platform/os/file.h"
#include "platform/os/system.h"

namespace vx::ops {

void (*ReplaceStageHook)(ReplaceStage stage) = nullptr;

namespace {

constexpr const char* kJournalMark = "vxdbf replacement 1";

// The directory of a path, with its final "/" ("" never: the working directory is spelled out,
// so that temporary files land beside the table and a rename stays on its file system).
std::string DirectoryOf(const std::string& path) {
  const std::string absolute = os::AbsolutePath(os::ResolvePath(path));
  return absolute.substr(0, absolute.rfind('/') + 1);
}

std::string ExtensionOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return path.substr(dot + 1);
}

bool ReadWholeFile(os::File& file, std::string& text) {
  std::uint64_t size = 0;
  if (file.Size(size) != os::kIoOk || size > (1u << 20)) return false;
  text.assign(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  return file.ReadAt(0, std::as_writable_bytes(std::span(text)), got) == os::kIoOk &&
         got == text.size();
}

// Writes a small file whole and to the disk; answers the I/O code.
int WriteWholeFile(const std::string& path, const std::string& text) {
  os::File file;
  int io = os::File::Create(path, file);
  if (io == os::kIoOk) io = file.WriteAt(0, std::as_bytes(std::span(text)));
  if (io == os::kIoOk) io = file.Flush();
  const int closed = file.IsOpen() ? file.Close() : os::kIoOk;
  if (io == os::kIoOk) io = closed;
  if (io == os::kIoOk) io = os::SyncDirectoryOf(path);
  return io;
}

struct JournalLine {
  bool existed = false;
  std::string final_name, temp, kept;
};

// Puts the old set back from what a journal lists; answers false when a step failed.
bool Undo(const std::vector<JournalLine>& lines) {
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

}  // namespace

void ClaimExclusive(const std::vector<std::string>& paths, const std::string& command) {
  for (const std::string& path : paths) {
    if (!os::FileExists(path)) continue;
    os::File probe;
    const int io = os::File::Open(path, os::kOpenReadWriteDenyAll, probe);
    if (io == os::kIoSharingViolation || io == os::kIoLockViolation) {
      throw LockRefused{path + " is open in another program; " + command +
                        " needs it for exclusive use (close it there and try again)"};
    }
  }
}

std::string JournalPath(const std::string& table) { return DerivedFileName(table, "VXJ"); }

bool RecoverReplacement(const std::string& table) {
  const std::string journal = JournalPath(table);
  if (!os::FileExists(journal)) return false;
  os::File held;
  const int io = os::File::Open(journal, os::kOpenReadWriteDenyAll, held);
  if (io == os::kIoSharingViolation || io == os::kIoLockViolation) {
    throw LockRefused{"another vxdbf is rewriting " + table + " now (" + journal +
                      " is in use); try again when it has finished"};
  }
  std::string text;
  std::vector<JournalLine> lines;
  std::string reservation;
  bool readable = io == os::kIoOk && ReadWholeFile(held, text);
  std::istringstream in(text);
  std::string line;
  readable = readable && std::getline(in, line) && line == kJournalMark;
  while (readable && std::getline(in, line)) {
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      cells.push_back(line.substr(start, tab - start));
    }
    cells.push_back(line.substr(start));
    if (cells.size() == 2 && cells[0] == "R") {
      reservation = cells[1];
    } else if (cells.size() == 4 && (cells[0] == "0" || cells[0] == "1")) {
      lines.push_back({cells[0] == "1", cells[1], cells[2], cells[3]});
    } else {
      readable = false;
    }
  }
  if (!readable) {
    throw InputError{journal + " (left by an interrupted rewrite of " + table +
                     ") cannot be read; look at it and remove it by hand"};
  }
  if (!Undo(lines)) {
    throw InputError{"cannot undo the interrupted rewrite of " + table + " that " + journal +
                     " describes"};
  }
  if (!reservation.empty() && os::FileExists(reservation)) os::DeleteFile(reservation);
  os::SyncDirectoryOf(table);
  held.Close();
  os::DeleteFile(journal);
  os::SyncDirectoryOf(table);
  return true;
}

FileReplacement::FileReplacement(const std::string& table, std::vector<std::string> finals)
    : table_(table), journal_(JournalPath(table)) {
  RecoverReplacement(table);
  const int io = os::UniqueTempFile(DirectoryOf(table), "VXR", reservation_);
  if (io != os::kIoOk) {
    throw DataError{"cannot create a temporary file beside " + table + ": " + std::to_string(io)};
  }
  // VXRxxxxxx.TMP reserves the stem; the new files take it with the finals' extensions.
  const std::string stem = reservation_.substr(0, reservation_.size() - 4);
  for (std::string& final_name : finals) {
    Entry entry;
    entry.final_name = final_name;
    entry.temp = stem + "." + ExtensionOf(final_name);
    entry.kept = entry.temp + ".old";
    entry.existed = os::FileExists(final_name);
    entries_.push_back(std::move(entry));
  }
  WriteJournal();
}

void FileReplacement::WriteJournal() {
  std::string text = std::string(kJournalMark) + "\nR\t" + reservation_ + "\n";
  for (const Entry& e : entries_) {
    text += std::string(e.existed ? "1" : "0") + "\t" + e.final_name + "\t" + e.temp + "\t" +
            e.kept + "\n";
  }
  int io = WriteWholeFile(journal_, text);
  if (io == os::kIoOk) io = os::File::Open(journal_, os::kOpenReadWriteDenyAll, journal_file_);
  if (io != os::kIoOk) {
    journal_file_.Close();
    os::DeleteFile(journal_);
    os::DeleteFile(reservation_);
    throw DataError{"cannot write " + journal_ + " (I/O error " + std::to_string(io) +
                    "); the table's files are unchanged"};
  }
}

FileReplacement::~FileReplacement() {
  if (committed_) return;
  std::vector<JournalLine> lines;
  for (const Entry& e : entries_) lines.push_back({e.existed, e.final_name, e.temp, e.kept});
  // Only what this run did is undone: the replaced entries, or nothing but the temporary files.
  const bool undone = Undo(lines);
  if (journal_file_.IsOpen()) journal_file_.Close();
  if (undone) os::DeleteFile(journal_);
  os::DeleteFile(reservation_);
  os::SyncDirectoryOf(table_);
}

void FileReplacement::Replace() {
  for (const Entry& e : entries_) {
    if (!os::FileExists(e.temp)) continue;
    os::File file;
    int io = os::File::Open(e.temp, os::kOpenReadWriteDenyAll, file);
    if (io == os::kIoOk) io = file.Flush();
    const int closed = file.IsOpen() ? file.Close() : os::kIoOk;
    if (io == os::kIoOk) io = closed;
    if (io != os::kIoOk) {
      throw DataError{"cannot write " + e.temp + " to the disk (I/O error " + std::to_string(io) +
                      "); " + table_ + " is unchanged"};
    }
  }
  ReachStage(ReplaceStage::kWritten);
  for (Entry& e : entries_) {
    if (!os::FileExists(e.temp)) {
      if (!e.remove || !e.existed) continue;
      const int io = os::RenameFile(e.final_name, e.kept);
      if (io != os::kIoOk) {
        throw DataError{"cannot remove " + e.final_name + " (I/O error " + std::to_string(io) +
                        "); " + table_ + " is unchanged"};
      }
      e.replaced = true;
      continue;
    }
    int io = e.existed ? os::RenameFile(e.final_name, e.kept) : os::kIoOk;
    if (io == os::kIoOk) io = os::RenameFile(e.temp, e.final_name);
    if (io != os::kIoOk) {
      throw DataError{"cannot put " + e.temp + " in place of " + e.final_name + " (I/O error " +
                      std::to_string(io) + "); " + table_ + " is unchanged"};
    }
    e.replaced = true;
    ReachStage(ReplaceStage::kRenaming);
  }
  os::SyncDirectoryOf(table_);
  journal_file_.Close();
  if (os::DeleteFile(journal_) != os::kIoOk) {
    throw DataError{"cannot remove " + journal_ + "; " + table_ + " is unchanged"};
  }
  committed_ = true;
  os::DeleteFile(reservation_);
  os::SyncDirectoryOf(table_);
  ReachStage(ReplaceStage::kCommitted);
}

std::vector<std::string> FileReplacement::Finish(bool backup) {
  std::vector<std::string> backups;
  for (const Entry& e : entries_) {
    if (!e.replaced || !e.existed || !os::FileExists(e.kept)) continue;
    if (backup && os::RenameFile(e.kept, e.final_name + ".bak") == os::kIoOk) {
      backups.push_back(e.final_name + ".bak");
    } else {
      os::DeleteFile(e.kept);
    }
  }
  os::SyncDirectoryOf(table_);
  return backups;
}

}  // namespace vx::ops
