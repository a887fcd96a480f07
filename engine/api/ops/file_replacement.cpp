#include "engine/api/ops/file_replacement.h"

#include <algorithm>

#include "engine/api/ops/operation.h"
#include "engine/foundation/strings.h"
#include "engine/table/dbf_file.h"
#include "platform/os/file.h"
#include "platform/os/file_id.h"
#include "platform/os/system.h"

namespace vx::ops {

void (*ReplaceStageHook)(ReplaceStage stage) = nullptr;

namespace {

constexpr const char* kJournalMark = "vxdbf replacement 1";

// The directory of a path, with its final "/" ("" never: the working directory is spelled out,
// so that temporary files land beside the table, a rename stays on its file system, and the
// journal names absolute paths).
std::string DirectoryOf(const std::string& path) {
  const std::string absolute = os::AbsolutePath(os::ResolvePath(path));
  return absolute.substr(0, absolute.rfind('/') + 1);
}

std::string AbsoluteName(const std::string& path) {
  const std::string resolved = os::ResolvePath(path);
  return DirectoryOf(resolved) + resolved.substr(resolved.rfind('/') + 1);
}

std::string ExtensionOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return path.substr(dot + 1);
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

bool RecoverReplacement(const std::string& table) {
  const JournalOutcome outcome = UndoPendingJournal(table);
  switch (outcome.state) {
    case JournalState::kNone:
      return false;
    case JournalState::kUndone:
      return true;
    case JournalState::kHeld:
      throw LockRefused{outcome.problem};
    case JournalState::kRefused:
      break;
  }
  throw InputError{outcome.problem};
}

FileReplacement::FileReplacement(const std::string& table, std::vector<std::string> finals,
                                 vexel::OpenOptions options)
    : table_(AbsoluteName(table)), journal_(JournalPath(table_)), options_(std::move(options)) {
  RecoverReplacement(table_);
  const int io =
      os::CreateUniqueFile(DirectoryOf(table_), "VXR", "TMP", reservation_, reservation_file_);
  if (io != os::kIoOk) {
    throw DataError{"cannot create a temporary file beside " + table + ": " + std::to_string(io)};
  }
  // VXRxxxxxx.TMP reserves the stem; the new files take it with the finals' extensions.
  const std::string stem = reservation_.substr(0, reservation_.size() - 4);
  for (std::string& final_name : finals) {
    Entry entry;
    entry.final_name = AbsoluteName(final_name);
    entry.temp = stem + "." + ExtensionOf(final_name);
    entry.kept = entry.temp + ".old";
    entry.existed = os::FileExists(final_name);
    entries_.push_back(std::move(entry));
  }
  WriteJournal();
  ReachStage(ReplaceStage::kJournaled);
}

void FileReplacement::WriteJournal() {
  std::string text = std::string(kJournalMark) + "\nR\t" + reservation_ + "\n";
  for (const Entry& e : entries_) {
    text += std::string(e.existed ? "1" : "0") + "\t" + e.final_name + "\t" + e.temp + "\t" +
            e.kept + "\n";
  }
  // Written whole under the temporary stem, then given its name in one step, which fails when
  // a journal or a link has it: a journal is never seen half written, never written through a
  // link. The file stays open (deny-all) while the replacement lives.
  const std::string written = reservation_.substr(0, reservation_.size() - 4) + ".VXJ";
  int io = os::File::CreateNew(written, journal_file_, 0600);
  const bool made = io == os::kIoOk;
  if (io == os::kIoOk) io = journal_file_.WriteAt(0, std::as_bytes(std::span(text)));
  if (io == os::kIoOk) io = journal_file_.Flush();
  if (io == os::kIoOk) io = journal_file_.MoveTo(journal_, false);
  if (io == os::kIoOk) io = os::SyncDirectoryOf(journal_);
  if (io != os::kIoOk) {
    journal_file_.Close();
    if (made) os::DeleteFile(os::FileExists(written) ? written : journal_);
    reservation_file_.Close();
    os::DeleteFile(reservation_);
    throw DataError{"cannot write " + journal_ + " (I/O error " + std::to_string(io) +
                    "); the table's files are unchanged"};
  }
}

void FileReplacement::KeepModeAndOwner(const Entry& e, os::File& file) {
  const std::string& model = e.existed ? e.final_name : table_;
  if (!os::FileExists(model)) return;
  if (os::TakeModeAndOwner(model, file) != os::kIoOk) {
    Warn(options_, "warning: " + e.final_name + " could not keep the owner or mode of " + model +
                       " (this process may not give files away)");
  }
}

os::File FileReplacement::CreateTemp(std::size_t i) {
  Entry& e = entries_.at(i);
  os::File file;
  const int io = os::File::CreateNew(e.temp, file);
  if (io != os::kIoOk) {
    throw DataError{"cannot create " + e.temp + " (I/O error " + std::to_string(io) +
                    ": the name is taken); the table's files are unchanged"};
  }
  e.identity = os::FileIdentity(file);
  KeepModeAndOwner(e, file);
  return file;
}

void FileReplacement::Adopt(std::size_t i, os::File& file) {
  Entry& e = entries_.at(i);
  e.identity = os::FileIdentity(file);
  KeepModeAndOwner(e, file);
}

FileReplacement::~FileReplacement() {
  // The reservation is held until the kept files are gone: a check meanwhile sees them live.
  if (committed_) {
    reservation_file_.Close();
    os::DeleteFile(reservation_);
    return;
  }
  std::vector<JournalLine> lines;
  for (const Entry& e : entries_) lines.push_back({e.existed, e.final_name, e.temp, e.kept});
  // Only what this run did is undone: the replaced entries, or nothing but the temporary files.
  const bool undone = UndoJournalLines(lines);
  if (journal_file_.IsOpen()) journal_file_.Close();
  if (undone) os::DeleteFile(journal_);
  reservation_file_.Close();
  os::DeleteFile(reservation_);
  os::SyncDirectoryOf(table_);
}

void FileReplacement::Replace() {
  for (const Entry& e : entries_) {
    if (!os::FileExists(e.temp) && !os::IsSymbolicLink(e.temp)) continue;
    // Only the file made here goes in place: a link or another file under its name refuses.
    os::File file;
    int io = os::File::Open(e.temp, os::kOpenReadWriteDenyAll, file, os::Links::kRefuse);
    if (io == os::kIoOk && (e.identity.empty() || os::FileIdentity(file) != e.identity)) {
      io = os::kIoAccessDenied;
    }
    if (io == os::kIoOk) io = file.Flush();
    const int closed = file.IsOpen() ? file.Close() : os::kIoOk;
    if (io == os::kIoOk) io = closed;
    if (io != os::kIoOk) {
      throw DataError{"cannot write " + e.temp + " to the disk, or it is not the file made (I/O " +
                      "error " + std::to_string(io) + "); " + table_ + " is unchanged"};
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
    if (io == os::kIoOk && os::PathIdentity(e.temp) != e.identity) io = os::kIoAccessDenied;
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
  reservation_file_.Close();
  os::DeleteFile(reservation_);
  os::SyncDirectoryOf(table_);
  return backups;
}

}  // namespace vx::ops
