// Sharing modes and byte-range locks between two programs, the second one this test program
// started again (os::Subprocess), so the same test runs on Linux and under Wine; and the lock
// bookkeeping Windows needs, the file names in UTF-8 and the temporary files.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/os/file.h"
#include "platform/os/file_id.h"
#include "platform/os/system.h"
#include "tests/support/temp_dir.h"

namespace vx::os {
namespace {

constexpr const char* kPeerFlag = "--vx-file-peer";

// This program's arguments, read before main (the peer decides there whether it is one).
std::vector<std::string> OwnArguments() {
  std::vector<std::string> args;
#ifdef _WIN32
  for (int i = 0; i < __argc; ++i) args.emplace_back(__argv[i]);
#else
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string arg;
  while (std::getline(in, arg, '\0')) args.push_back(arg);
#endif
  return args;
}

// The second program: one command a line on standard input, one answer (the I/O code) a line
// on standard output. "open MODE PATH", "lock OFFSET LENGTH", "unlock OFFSET LENGTH", "close".
// It runs as the test environment's set-up, once every static object of the program is made
// and before any test; it says "ready" first, after what the test framework printed.
class Peer : public ::testing::Environment {
 public:
  void SetUp() override {
    std::cout << "ready" << std::endl;
    File file;
    std::string line;
    while (std::getline(std::cin, line)) {
      std::istringstream words(line);
      std::string command;
      words >> command;
      int code = -1;
      if (command == "open") {
        int mode = 0;
        std::string path;
        words >> mode >> std::ws;
        std::getline(words, path);
        code = File::Open(path, mode, file);
      } else if (command == "lock" || command == "unlock") {
        std::uint64_t offset = 0, length = 0;
        words >> offset >> length;
        code = command == "lock" ? file.LockRange(offset, length)
                                 : file.UnlockRange(offset, length);
      } else if (command == "close") {
        code = file.Close();
      }
      std::cout << code << std::endl;
    }
    std::exit(0);
  }
};

const bool kIsPeer = [] {
  const std::vector<std::string> args = OwnArguments();
  if (args.size() < 2 || args[1] != kPeerFlag) return false;
  ::testing::AddGlobalTestEnvironment(new Peer);
  return true;
}();

// The other program, started for one test.
class OtherProgram {
 public:
  OtherProgram() {
    EXPECT_EQ(process_.Start({kPeerFlag}), 0);
    std::string line;
    while (process_.ReadLine(line, 30000) && line != "ready") {
    }
  }
  int Ask(const std::string& command) {
    std::string answer;
    if (!process_.WriteLine(command) || !process_.ReadLine(answer, 30000)) {
      ADD_FAILURE() << "no answer from the other program to " << command;
      return -1;
    }
    return std::stoi(answer);
  }

 private:
  Subprocess process_;
};

class FileSharingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("SHARED.DBF");
    File created;
    ASSERT_EQ(File::Create(path_, created), kIoOk);
    const std::string bytes(4096, 'x');
    ASSERT_EQ(created.WriteAt(0, std::as_bytes(std::span(bytes))), kIoOk);
  }

  test::TempDir dir_;
  std::string path_;
};

TEST_F(FileSharingTest, SharingModesConflictBetweenPrograms) {
  struct Case {
    int theirs, ours, expected;
  };
  const Case cases[] = {
      {kOpenReadWriteDenyNone, kOpenReadWriteDenyNone, kIoOk},
      {kOpenReadOnlyDenyNone, kOpenReadWriteDenyAll, kIoSharingViolation},
      {kOpenReadWriteDenyAll, kOpenReadOnlyDenyNone, kIoSharingViolation},
      {kOpenDenyAll, kOpenDenyAll, kIoSharingViolation},
  };
  OtherProgram peer;
  for (const Case& c : cases) {
    SCOPED_TRACE("theirs " + std::to_string(c.theirs) + ", ours " + std::to_string(c.ours));
    ASSERT_EQ(peer.Ask("open " + std::to_string(c.theirs) + " " + path_), kIoOk);
    EXPECT_TRUE(FileInUse(path_));
    File ours;
    EXPECT_EQ(File::Open(path_, c.ours, ours), c.expected);
    if (c.expected != kIoOk) {
      EXPECT_EQ(DeleteFile(path_), kIoSharingViolation);
    }
    ours.Close();
    ASSERT_EQ(peer.Ask("close"), kIoOk);
  }
  EXPECT_FALSE(FileInUse(path_));
}

TEST_F(FileSharingTest, LocksConflictBetweenProgramsAtEveryOffsetInUse) {
  // The index anchor at 0, the lock base, a record lock past it, the top of the 32-bit range
  // and the sharing byte's neighbourhood.
  const std::uint64_t offsets[] = {0,          0x40000000, 1000000000,        0x7FFFFFFF,
                                   0xEFFFFFFF, 0xFFFFFFFE, 0x3FFFFFFFFFFFFFF0};
  OtherProgram peer;
  ASSERT_EQ(peer.Ask("open 66 " + path_), kIoOk);
  File ours;
  ASSERT_EQ(File::Open(path_, kOpenReadWriteDenyNone, ours), kIoOk);
  for (const std::uint64_t offset : offsets) {
    SCOPED_TRACE(offset);
    ASSERT_EQ(peer.Ask("lock " + std::to_string(offset) + " 1"), kIoOk);
    EXPECT_EQ(ours.LockRange(offset, 1), kIoLockViolation);
    EXPECT_TRUE(ours.RangeLockedElsewhere(offset, 1));
    EXPECT_FALSE(ours.RangeLockedElsewhere(offset + 1, 1));
    ASSERT_EQ(peer.Ask("unlock " + std::to_string(offset) + " 1"), kIoOk);
    EXPECT_FALSE(ours.RangeLockedElsewhere(offset, 1));
    EXPECT_EQ(ours.LockRange(offset, 1), kIoOk);
    EXPECT_EQ(peer.Ask("lock " + std::to_string(offset) + " 1"), kIoLockViolation);
    EXPECT_EQ(ours.UnlockRange(offset, 1), kIoOk);
  }
}

TEST_F(FileSharingTest, OwnLocksAreNotSeenAsAnotherProgramsLocks) {
  File ours;
  ASSERT_EQ(File::Open(path_, kOpenReadWriteDenyNone, ours), kIoOk);
  // Its own open's sharing lock is not another open (a shared table asks this before it is
  // opened again for exclusive use).
  EXPECT_FALSE(ours.RangeLockedElsewhere(kShareLockOffset, kShareLockLength));
  File other;
  ASSERT_EQ(File::Open(path_, kOpenReadWriteDenyNone, other), kIoOk);
  ASSERT_EQ(ours.LockRange(100, 10), kIoOk);
  ASSERT_EQ(ours.LockRangeShared(8, 1), kIoOk);
  EXPECT_FALSE(ours.RangeLockedElsewhere(0, 200));
  EXPECT_TRUE(other.RangeLockedElsewhere(105, 1));
  EXPECT_TRUE(other.RangeLockedElsewhere(8, 1));
  // The probe gives the shared lock back as it was: others may share it, not take it.
  EXPECT_EQ(other.LockRangeShared(8, 1), kIoOk);
  EXPECT_EQ(other.UnlockRange(8, 1), kIoOk);
  EXPECT_EQ(other.LockRange(8, 1), kIoLockViolation);
  ASSERT_EQ(other.LockRange(150, 10), kIoOk);
  EXPECT_TRUE(ours.RangeLockedElsewhere(0, 200)) << "another open's lock beside ours";
  EXPECT_TRUE(ours.RangeLockedElsewhere(kShareLockOffset, kShareLockLength));
  other.Close();
  EXPECT_FALSE(ours.RangeLockedElsewhere(kShareLockOffset, kShareLockLength));
}

#ifdef _WIN32
TEST_F(FileSharingTest, WindowsLocksAreKeptAsSeparateRanges) {
  File ours;
  ASSERT_EQ(File::Open(path_, kOpenReadWriteDenyNone, ours), kIoOk);
  File other;
  ASSERT_EQ(File::Open(path_, kOpenReadWriteDenyNone, other), kIoOk);
  ASSERT_EQ(ours.LockRange(0, 10), kIoOk);
  ASSERT_EQ(ours.LockRange(10, 10), kIoOk);
  // A second lock on one's own range conflicts, whole or in part.
  EXPECT_EQ(ours.LockRange(0, 10), kIoLockViolation);
  EXPECT_EQ(ours.LockRange(5, 10), kIoLockViolation);
  // An unlock of part of a lock releases nothing; one over both releases both.
  EXPECT_EQ(ours.UnlockRange(5, 2), kIoOk);
  EXPECT_EQ(other.LockRange(5, 1), kIoLockViolation);
  EXPECT_EQ(ours.UnlockRange(0, 20), kIoOk);
  EXPECT_EQ(other.LockRange(0, 20), kIoOk);
  // Closing drops the locks with the handle.
  EXPECT_EQ(ours.LockRange(0, 1), kIoLockViolation);
  other.Close();
  EXPECT_EQ(ours.LockRange(0, 1), kIoOk);
}
#endif

TEST_F(FileSharingTest, NamesOutsideAsciiWork) {
  const std::string name = "T\xC3\xABst-\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.dbf";  // Tëst-файл.dbf
  const std::string path = dir_.File("") + name;
  File file;
  ASSERT_EQ(File::Create(path, file), kIoOk);
  const std::string identity = FileIdentity(file);
  EXPECT_FALSE(identity.empty());
  file.Close();
  EXPECT_TRUE(FileExists(path));
  std::vector<DirEntry> found;
  ASSERT_EQ(FindFiles(dir_.File(""), "*.dbf", false, found), kIoOk);
  bool listed = false;
  for (const DirEntry& entry : found) listed = listed || entry.name == name;
  EXPECT_TRUE(listed) << "the listing gives the name back in UTF-8";
  EXPECT_EQ(PathIdentity(path), identity);
  const std::string renamed = dir_.File("") + "\xC3\x9F.dbf";  // ß.dbf
  EXPECT_EQ(RenameFile(path, renamed), kIoOk);
  EXPECT_TRUE(FileExists(renamed));
  EXPECT_EQ(DeleteFile(renamed), kIoOk);
  EXPECT_FALSE(FileExists(renamed));
}

TEST_F(FileSharingTest, TemporaryFilesAreNewAndHeld) {
  std::string first, second;
  File a, b;
  ASSERT_EQ(CreateUniqueFile(dir_.File(""), "VXT", "TMP", first, a), kIoOk);
  ASSERT_EQ(CreateUniqueFile(dir_.File(""), "VXT", "TMP", second, b), kIoOk);
  EXPECT_NE(first, second);
  EXPECT_TRUE(FileInUse(first)) << "held while its creator lives";
  File taken;
  EXPECT_EQ(File::CreateNew(first, taken), kIoAccessDenied) << "an existing name is refused";
  a.Close();
  EXPECT_FALSE(FileInUse(first));
  EXPECT_GE(DiskFreeBytes(first), 0);
  EXPECT_NE(DriveType(dir_.File("")), 0);
}

// A file made here takes its final name while it is still open (Windows renames it through its
// handle, POSIX by name once the name is seen to lead to it), over a file the caller holds
// deny-all or only onto a free name.
TEST_F(FileSharingTest, AFileMadeHereTakesItsNameWhileOpen) {
  struct Case {
    const char* what;
    bool target_exists, hold_target, replace;
    int expected;
  };
  const Case cases[] = {
      {"onto a free name", false, false, false, kIoOk},
      {"over a file", true, false, true, kIoOk},
      {"over a file held deny-all", true, true, true, kIoOk},
      {"not over a file without replace", true, false, false, kIoAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string target = dir_.File("FINAL.MDX");
    DeleteFile(target);
    if (c.target_exists) test::WriteBytes(target, {'o', 'l', 'd'});
    std::string temp;
    File made;
    ASSERT_EQ(CreateUniqueFile(dir_.File(""), "VXI", "TMP", temp, made), kIoOk);
    const std::string bytes = "new";
    ASSERT_EQ(made.WriteAt(0, std::as_bytes(std::span(bytes))), kIoOk);
    File held;
    if (c.hold_target) {
      ASSERT_EQ(File::Open(target, kOpenReadWriteDenyAll, held), kIoOk);
    }
    EXPECT_EQ(made.MoveTo(target, c.replace, &held), c.expected);
    held.Close();
    if (c.expected == kIoOk) {
      EXPECT_FALSE(FileExists(temp));
      EXPECT_EQ(made.path(), ResolvePath(target));
      // Still open and writable, now under the final name.
      EXPECT_EQ(made.WriteAt(3, std::as_bytes(std::span(bytes))), kIoOk);
      made.Close();
      EXPECT_EQ(test::ReadBytes(target), (std::vector<unsigned char>{'n', 'e', 'w', 'n', 'e', 'w'}));
    } else {
      made.Close();
      EXPECT_EQ(test::ReadBytes(target), (std::vector<unsigned char>{'o', 'l', 'd'}));
      EXPECT_EQ(DeleteFile(temp), kIoOk);
    }
  }
#ifndef _WIN32
  // Another file put under the made file's name is not moved (Windows keeps the name of a file
  // held open without delete sharing, so nothing can be put there).
  std::string temp;
  File made;
  ASSERT_EQ(CreateUniqueFile(dir_.File(""), "VXI", "TMP", temp, made), kIoOk);
  ASSERT_EQ(RenameFile(temp, dir_.File("AWAY.TMP")), kIoOk);
  test::WriteBytes(temp, {'p'});
  EXPECT_EQ(made.MoveTo(dir_.File("FINAL.MDX"), true), kIoAccessDenied);
  EXPECT_EQ(test::ReadBytes(temp), std::vector<unsigned char>{'p'});
#endif
}

}  // namespace
}  // namespace vx::os
