#include "platform/os/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace vx::os {
namespace {

// Each test works in a fresh directory under the temporary directory.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = TempDirectory() + "vx-os-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + name; }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }

  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::string dir_;
};

// A forked second process. The body reports one number (0..255) to the parent and then waits
// until the parent releases it, so whatever the body holds stays held while the parent looks.
class Child {
 public:
  using Report = std::function<void(int)>;

  explicit Child(const std::function<void(const Report&)>& body) {
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(up[0]);
      ::close(down[1]);
      body([&](int answer) {
        const unsigned char byte = static_cast<unsigned char>(answer);
        if (::write(up[1], &byte, 1) != 1) ::_exit(2);
        char go;
        // The parent writes or closes; a parent that does neither is not waited for forever.
        if (test::ReadByteWithin(down[0], go, test::kChildDeadlineSeconds) < 0) ::_exit(3);
      });
      ::_exit(0);
    }
    ::close(up[1]);
    ::close(down[0]);
    from_child_ = up[0];
    to_child_ = down[1];
  }
  ~Child() { Release(); }

  // The number the body reported; -1 when it ended without reporting, or did not report within
  // the deadline (a test failure).
  int Answer() {
    char byte = 0;
    const int got = test::ReadByteWithin(from_child_, byte, test::kChildDeadlineSeconds);
    if (got < 0) ADD_FAILURE() << "no answer from the child within the deadline";
    return got == 1 ? static_cast<unsigned char>(byte) : -1;
  }

  // Lets the body finish and waits for the process; answers whether it exited cleanly.
  bool Release() {
    if (pid_ <= 0) return false;
    ::close(to_child_);
    ::close(from_child_);
    const int status = test::WaitForExitWithin(pid_, test::kChildDeadlineSeconds);
    pid_ = -1;
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  int from_child_ = -1;
  int to_child_ = -1;
};

std::span<const std::byte> Bytes(const std::string& text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

TEST_F(FileTest, SharingModesConflictBetweenOpensInOneProcess) {
  Write("movie.dbf", "data");
  File shared, other;
  ASSERT_EQ(File::Open(Path("movie.dbf"), kOpenReadWriteDenyNone, shared), kIoOk);
  EXPECT_EQ(File::Open(Path("movie.dbf"), kOpenReadOnlyDenyNone, other), kIoOk);
  EXPECT_EQ(File::Open(Path("movie.dbf"), kOpenReadWriteDenyNone, other), kIoOk);
  EXPECT_EQ(File::Open(Path("movie.dbf"), kOpenReadWriteDenyAll, other), kIoSharingViolation);
  EXPECT_FALSE(other.IsOpen());
  EXPECT_EQ(File::Open(Path("movie.dbf"), kOpenDenyAll, other), kIoSharingViolation);
  EXPECT_EQ(File::Create(Path("movie.dbf"), other), kIoSharingViolation);
  EXPECT_EQ(Read("movie.dbf"), "data");  // a refused Create leaves the contents alone
  EXPECT_EQ(DeleteFile(Path("movie.dbf")), kIoSharingViolation);

  ASSERT_EQ(shared.Close(), kIoOk);
  File exclusive;
  ASSERT_EQ(File::Open(Path("movie.dbf"), kOpenReadWriteDenyAll, exclusive), kIoOk);
  EXPECT_EQ(File::Open(Path("movie.dbf"), kOpenReadOnlyDenyNone, other), kIoSharingViolation);
  EXPECT_EQ(File::Open(Path("movie.dbf"), kOpenDenyAll, other), kIoSharingViolation);
  exclusive = File();  // move-assigning closes the previous file and drops its locks
  EXPECT_EQ(File::Open(Path("movie.dbf"), kOpenDenyAll, other), kIoOk);
  // Reopening through the file's own path closes the earlier open first.
  EXPECT_EQ(File::Open(other.path(), kOpenReadWriteDenyAll, other), kIoOk);
  EXPECT_EQ(other.open_mode(), kOpenReadWriteDenyAll);
}

TEST_F(FileTest, OpenAnswersCodesForBadModesAndMissingNames) {
  Write("t.dbf", "");
  File file;
  for (int mode : {0, 2, 17, 32, 65, 0x42 | 0x100}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(File::Open(Path("t.dbf"), mode, file), kIoInvalidAccessCode);
  }
  EXPECT_EQ(File::Open(Path("none.dbf"), kOpenReadWriteDenyNone, file), kIoFileNotFound);
  EXPECT_EQ(File::Open(Path("nodir/t.dbf"), kOpenReadWriteDenyNone, file), kIoPathNotFound);
  EXPECT_EQ(File::Create(Path("nodir/t.dbf"), file), kIoPathNotFound);
  EXPECT_EQ(File::Open(dir_, kOpenReadOnlyDenyNone, file), kIoAccessDenied);  // a directory
  EXPECT_EQ(file.LockRange(0, 1), kIoFileNotOpen);
}

TEST_F(FileTest, ReadOnlyOpensRefuseWrites) {
  Write("t.dbf", "abcdef");
  for (int mode : {kOpenReadOnlyDenyNone, kOpenDenyAll}) {
    SCOPED_TRACE(mode);
    File file;
    ASSERT_EQ(File::Open(Path("t.dbf"), mode, file), kIoOk);
    EXPECT_EQ(file.WriteAt(0, Bytes("XY")), kIoAccessDenied);
    EXPECT_EQ(file.Truncate(0), kIoAccessDenied);
  }
  EXPECT_EQ(Read("t.dbf"), "abcdef");
}

TEST_F(FileTest, ReadsAndWritesAtOffsets) {
  File file;
  ASSERT_EQ(File::Create(Path("t.dbf"), file), kIoOk);
  ASSERT_EQ(file.WriteAt(0, Bytes("hello")), kIoOk);
  ASSERT_EQ(file.WriteAt(8, Bytes("!")), kIoOk);  // leaves a zero-filled gap
  EXPECT_EQ(Read("t.dbf"), std::string("hello\0\0\0!", 9));

  std::byte buffer[16];
  std::size_t got = 0;
  ASSERT_EQ(file.ReadAt(3, buffer, got), kIoOk);
  EXPECT_EQ(got, 6u);  // short at the end of the file
  EXPECT_EQ(static_cast<char>(buffer[0]), 'l');
  ASSERT_EQ(file.ReadAt(100, buffer, got), kIoOk);
  EXPECT_EQ(got, 0u);

  std::uint64_t size = 0;
  ASSERT_EQ(file.Truncate(2), kIoOk);
  ASSERT_EQ(file.Size(size), kIoOk);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(file.Close(), kIoOk);
  EXPECT_EQ(file.Close(), kIoFileNotOpen);

  // Create empties an existing file that nobody holds.
  ASSERT_EQ(File::Create(Path("t.dbf"), file), kIoOk);
  EXPECT_EQ(Read("t.dbf"), "");
}

TEST_F(FileTest, ProbeSeesTheSharedLockOfAReadOnlyOpen) {
  Write("t.dbf", "");
  File reader, writer;
  ASSERT_EQ(File::Open(Path("t.dbf"), kOpenReadOnlyDenyNone, reader), kIoOk);
  ASSERT_EQ(File::Open(Path("t.dbf"), kOpenReadWriteDenyNone, writer), kIoOk);
  ASSERT_EQ(reader.LockRange(500, 4), kIoOk);  // a read-only open can only share
  EXPECT_TRUE(writer.RangeLockedElsewhere(500, 1));
  EXPECT_TRUE(writer.RangeLockedElsewhere(503, 10));
  EXPECT_FALSE(writer.RangeLockedElsewhere(504, 10));
  EXPECT_EQ(writer.LockRange(502, 1), kIoLockViolation);
}

TEST_F(FileTest, LocksConflictBetweenOpensInOneProcess) {
  Write("t.dbf", "");
  File a, b;
  ASSERT_EQ(File::Open(Path("t.dbf"), kOpenReadWriteDenyNone, a), kIoOk);
  ASSERT_EQ(File::Open(Path("t.dbf"), kOpenReadWriteDenyNone, b), kIoOk);

  ASSERT_EQ(a.LockRange(100, 10), kIoOk);
  EXPECT_EQ(b.LockRange(109, 10), kIoLockViolation);
  EXPECT_EQ(b.LockRange(110, 5), kIoOk);  // adjacent, not overlapping
  EXPECT_TRUE(b.RangeLockedElsewhere(99, 2));
  EXPECT_FALSE(a.RangeLockedElsewhere(100, 10));  // its own lock does not count
  EXPECT_TRUE(a.RangeLockedElsewhere(110, 1));

  ASSERT_EQ(a.UnlockRange(100, 10), kIoOk);
  EXPECT_EQ(b.LockRange(105, 5), kIoOk);
  EXPECT_EQ(a.LockRange(100, 10), kIoLockViolation);

  // Moving keeps the open and its locks; closing drops them.
  File moved(std::move(b));
  EXPECT_FALSE(b.IsOpen());
  EXPECT_EQ(a.LockRange(105, 1), kIoLockViolation);
  ASSERT_EQ(moved.Close(), kIoOk);
  EXPECT_EQ(a.LockRange(0, 200), kIoOk);
}

TEST_F(FileTest, ReadOnlyOpensTakeSharedLocks) {
  Write("t.dbf", "");
  File r1, r2, w;
  ASSERT_EQ(File::Open(Path("t.dbf"), kOpenReadOnlyDenyNone, r1), kIoOk);
  ASSERT_EQ(File::Open(Path("t.dbf"), kOpenReadOnlyDenyNone, r2), kIoOk);
  ASSERT_EQ(File::Open(Path("t.dbf"), kOpenReadWriteDenyNone, w), kIoOk);
  ASSERT_EQ(r1.LockRange(0, 10), kIoOk);
  EXPECT_EQ(r2.LockRange(0, 10), kIoOk);
  EXPECT_EQ(w.LockRange(5, 1), kIoLockViolation);
  ASSERT_EQ(w.LockRange(20, 1), kIoOk);
  EXPECT_EQ(r1.LockRange(20, 1), kIoLockViolation);
}

TEST_F(FileTest, SharingViolationAcrossProcesses) {
  Write("t.dbf", "");
  const std::string path = Path("t.dbf");
  {
    File exclusive;
    ASSERT_EQ(File::Open(path, kOpenReadWriteDenyAll, exclusive), kIoOk);
    Child child([&](const Child::Report& report) {
      File file;
      report(File::Open(path, kOpenReadOnlyDenyNone, file));
    });
    EXPECT_EQ(child.Answer(), kIoSharingViolation);
    EXPECT_TRUE(child.Release());
  }
  Child holder([&](const Child::Report& report) {
    File file;
    report(File::Open(path, kOpenReadWriteDenyNone, file));
  });
  ASSERT_EQ(holder.Answer(), kIoOk);
  File file;
  EXPECT_EQ(File::Open(path, kOpenReadWriteDenyAll, file), kIoSharingViolation);
  EXPECT_EQ(File::Open(path, kOpenReadWriteDenyNone, file), kIoOk);
  file.Close();
  ASSERT_TRUE(holder.Release());
  EXPECT_EQ(File::Open(path, kOpenReadWriteDenyAll, file), kIoOk);  // gone with the process
}

TEST_F(FileTest, LockConflictAcrossProcesses) {
  Write("t.dbf", "");
  const std::string path = Path("t.dbf");
  File mine;
  ASSERT_EQ(File::Open(path, kOpenReadWriteDenyNone, mine), kIoOk);
  ASSERT_EQ(mine.LockRange(1000, 10), kIoOk);
  {
    Child child([&](const Child::Report& report) {
      File file;
      if (File::Open(path, kOpenReadWriteDenyNone, file) != kIoOk) return report(255);
      const int overlap = file.LockRange(1005, 1);
      const int disjoint = file.LockRange(2000, 1);
      const bool seen = file.RangeLockedElsewhere(1000, 1);
      report(overlap == kIoLockViolation && disjoint == kIoOk && seen ? 0 : 1);
    });
    EXPECT_EQ(child.Answer(), 0);
    EXPECT_TRUE(mine.RangeLockedElsewhere(2000, 1));  // the child's lock, held while it waits
    EXPECT_TRUE(child.Release());
  }
  EXPECT_FALSE(mine.RangeLockedElsewhere(2000, 1));
}

// Classic POSIX record locks vanish when the process closes any descriptor of the file; the
// locks here belong to their own open and must survive that.
TEST_F(FileTest, LocksSurviveClosingAnotherOpenOfTheFile) {
  Write("t.dbf", "");
  const std::string path = Path("t.dbf");
  File holder, passer;
  ASSERT_EQ(File::Open(path, kOpenReadWriteDenyNone, holder), kIoOk);
  ASSERT_EQ(holder.LockRange(0, 10), kIoOk);
  ASSERT_EQ(File::Open(path, kOpenReadWriteDenyNone, passer), kIoOk);
  ASSERT_EQ(passer.Close(), kIoOk);
  Child child([&](const Child::Report& report) {
    File file;
    if (File::Open(path, kOpenReadWriteDenyNone, file) != kIoOk) return report(255);
    report(file.LockRange(0, 1));
  });
  EXPECT_EQ(child.Answer(), kIoLockViolation);
}

TEST_F(FileTest, ResolvesNamesWithoutCase) {
  Write("movie.dbf", "m");
  std::filesystem::create_directory(Path("Data"));
  std::ofstream(Path("Data/Movie.Dbt")) << "t";

  EXPECT_EQ(ResolvePath(Path("MOVIE.DBF")), Path("movie.dbf"));
  EXPECT_EQ(ResolvePath(Path("data\\MOVIE.DBT")), Path("Data/Movie.Dbt"));
  EXPECT_EQ(ResolvePath(Path("DATA/missing.MDX")), Path("Data/missing.MDX"));
  EXPECT_EQ(ResolvePath(Path("nodir\\X.DBF")), Path("nodir/X.DBF"));
  EXPECT_TRUE(FileExists(Path("Movie.dbf")));
  EXPECT_FALSE(FileExists(Path("Data")));  // a directory is not a file

  File file;
  ASSERT_EQ(File::Open(Path("DATA\\MOVIE.DBT"), kOpenReadOnlyDenyNone, file), kIoOk);
  EXPECT_EQ(file.path(), Path("Data/Movie.Dbt"));
  file.Close();

  // Create reuses the file that the name resolves to.
  ASSERT_EQ(File::Create(Path("MOVIE.DBF"), file), kIoOk);
  file.Close();
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    names.insert(entry.path().filename());
  }
  EXPECT_EQ(names, (std::set<std::string>{"Data", "movie.dbf"}));
  EXPECT_EQ(DeleteFile(Path("Movie.DBF")), kIoOk);
  EXPECT_FALSE(FileExists(Path("movie.dbf")));
  EXPECT_EQ(DeleteFile(Path("movie.dbf")), kIoFileNotFound);
  EXPECT_EQ(DeleteFile(Path("nodir/movie.dbf")), kIoPathNotFound);
}

TEST_F(FileTest, AmbiguousNamesResolveOnlyAsWritten) {
  Write("a.dbf", "lower");
  Write("A.DBF", "upper");
  EXPECT_EQ(ResolvePath(Path("a.dbf")), Path("a.dbf"));
  EXPECT_EQ(ResolvePath(Path("A.DBF")), Path("A.DBF"));
  File file;
  EXPECT_EQ(File::Open(Path("a.Dbf"), kOpenReadOnlyDenyNone, file), kIoFileNotFound);
}

TEST_F(FileTest, ReportsLastWriteDateInLocalTime) {
  Write("t.dbf", "");
  std::tm noon{};
  noon.tm_year = 2021 - 1900;
  noon.tm_mon = 2;
  noon.tm_mday = 4;
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  const timespec times[2] = {{std::mktime(&noon), 0}, {std::mktime(&noon), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, Path("t.dbf").c_str(), times, 0), 0);

  int year = 0, month = 0, day = 0;
  ASSERT_EQ(FileLastWriteDate(Path("T.DBF"), year, month, day), kIoOk);
  EXPECT_EQ((std::vector{year, month, day}), (std::vector{2021, 3, 4}));
  File file;
  ASSERT_EQ(File::Open(Path("t.dbf"), kOpenReadOnlyDenyNone, file), kIoOk);
  ASSERT_EQ(file.LastWriteDate(year, month, day), kIoOk);
  EXPECT_EQ((std::vector{year, month, day}), (std::vector{2021, 3, 4}));
  EXPECT_EQ(FileLastWriteDate(Path("none"), year, month, day), kIoFileNotFound);
}

TEST_F(FileTest, CreatesDistinctTemporaryFiles) {
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    std::string path;
    ASSERT_EQ(UniqueTempFile(dir_, "VXP", path), kIoOk);
    const std::string name = path.substr(dir_.size());
    EXPECT_TRUE(path.starts_with(dir_ + "VXP") && name.size() == 13 && name.ends_with(".TMP"))
        << path;
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    names.insert(path);
  }
  EXPECT_EQ(names.size(), 20u);
  std::string path;
  EXPECT_EQ(UniqueTempFile(Path("nodir"), "VXP", path), kIoPathNotFound);
  EXPECT_TRUE(path.empty());
}

TEST_F(FileTest, FindsFilesByDosMask) {
  Write("MOVIE.DBF", "12345");
  Write("movie.dbt", "");
  Write("README", "");
  Write("a.b.c", "");
  std::filesystem::create_directory(Path("SUB"));

  const struct {
    const char* mask;
    bool with_directories;
    std::vector<std::string> names;
  } kCases[] = {
      {"*.dbf", false, {"MOVIE.DBF"}},
      {"Movie.*", false, {"MOVIE.DBF", "movie.dbt"}},
      {"?OVIE.DB?", false, {"MOVIE.DBF", "movie.dbt"}},
      {"*.*", false, {"MOVIE.DBF", "README", "a.b.c", "movie.dbt"}},
      {"*", true, {"MOVIE.DBF", "README", "SUB", "a.b.c", "movie.dbt"}},
      {"*.", true, {"README", "SUB"}},
      {"*.c", false, {"a.b.c"}},
      {"*.MDX", false, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mask);
    std::vector<DirEntry> found;
    const int code = FindFiles(dir_, c.mask, c.with_directories, found);
    EXPECT_EQ(code, c.names.empty() ? kIoFileNotFound : kIoOk);
    std::vector<std::string> names;
    for (const DirEntry& e : found) names.push_back(e.name);
    EXPECT_EQ(names, c.names);
  }
  std::vector<DirEntry> found;
  ASSERT_EQ(FindFiles(dir_, "*", true, found), kIoOk);
  EXPECT_EQ(found[0].size, 5u);
  EXPECT_TRUE(found[2].is_directory);
  EXPECT_EQ(FindFiles(Path("nodir"), "*", false, found), kIoPathNotFound);
  EXPECT_FALSE(MatchesMask("MOVIE.DBF", "MOVIE.DB"));
  EXPECT_FALSE(MatchesMask("MOVIE", "MOVIE?"));
}

TEST_F(FileTest, ReportsDiskSpaceAndDriveType) {
  EXPECT_GE(DiskFreeBytes(dir_), 0);
  EXPECT_GE(DiskFreeBytes(Path("not-yet-created.dbf")), 0);
  EXPECT_EQ(DiskFreeBytes(Path("nodir/x")), -1);
  EXPECT_EQ(DriveType(Path("nodir")), 0);
  const int type = DriveType(dir_);
  EXPECT_TRUE(type == 2 || type == 3 || type == 4 || type == 6) << type;
  if (std::filesystem::exists("/dev/shm")) {
    EXPECT_EQ(DriveType("/dev/shm"), 6);
  }
}

}  // namespace
}  // namespace vx::os
