// Reads through a shared mapping against reads with pread: the same bytes for every change
// another open makes (writes inside the file, appends past the mapping's room, cuts), and a
// file cut short never faults the reader.

#include "platform/os/read_mapping.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/os/file.h"
#include "tests/support/temp_dir.h"

namespace vx::os {
namespace {

std::span<const std::byte> Bytes(const std::string& s) { return std::as_bytes(std::span(s)); }

// Reads `size` bytes at `offset` and answers them (short at the end of the file).
std::string ReadText(File& f, std::uint64_t offset, std::size_t size) {
  std::string out(size, '\0');
  std::size_t got = 0;
  EXPECT_EQ(f.ReadAt(offset, std::as_writable_bytes(std::span(out)), got), kIoOk);
  out.resize(got);
  return out;
}

class ReadMappingTest : public ::testing::TestWithParam<ReadPath> {
 protected:
  void SetUp() override { SetReadPath(GetParam()); }
  void TearDown() override { SetReadPath(ReadPath::kMapped); }
  test::TempDir dir_;
};

TEST_P(ReadMappingTest, SeesEveryChangeOfAnotherOpenAtOnce) {
  const std::string path = dir_.File("t.dat");
  File writer, reader;
  ASSERT_EQ(File::Create(path, writer), kIoOk);
  ASSERT_EQ(writer.Close(), kIoOk);
  ASSERT_EQ(File::Open(path, kOpenReadWriteDenyNone, writer), kIoOk);
  ASSERT_EQ(File::Open(path, kOpenReadOnlyDenyNone, reader), kIoOk);
  const std::string page(4096, 'p');
  ASSERT_EQ(writer.WriteAt(0, Bytes(page)), kIoOk);
  EXPECT_EQ(ReadText(reader, 4000, 200), std::string(96, 'p'));  // short at the end
  // A write inside the file, an append inside the mapping's room, an append far past it (the
  // reader maps again), then cuts to a page boundary, inside a page and to nothing: every read
  // gives what pread gives.
  struct Step {
    const char* name;
    std::uint64_t offset;  // where the writer writes (or cuts, when `text` is empty)
    std::string text;
    std::uint64_t read_at;
    std::size_t read_size;
    std::string expected;
  };
  const std::uint64_t far = 8u << 20;
  const std::vector<Step> steps = {
      {"write inside", 100, "abc", 99, 5, "pabcp"},
      {"append in the room", 4096, "tail", 4094, 10, "pptail"},
      {"append far past it", far, "far", far - 1, 4, std::string("\0far", 4)},
      {"cut to a page boundary", 8192, "", 4096, 8192, "tail" + std::string(4092, '\0')},
      {"cut inside a page", 4097, "", 4090, 100,
       "pppppp"
       "t"},
      {"cut to nothing", 0, "", 0, 16, ""},
      {"written again", 0, "again", 0, 16, "again"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    if (!s.text.empty()) {
      ASSERT_EQ(writer.WriteAt(s.offset, Bytes(s.text)), kIoOk);
    } else if (s.read_size != 0) {
      ASSERT_EQ(writer.Truncate(s.offset), kIoOk);
    }
    EXPECT_EQ(ReadText(reader, s.read_at, s.read_size), s.expected);
  }
  // The writer's own reads see its writes too.
  EXPECT_EQ(ReadText(writer, 0, 16), "again");
}

TEST_P(ReadMappingTest, AFileCutShortUnderAMappedReaderGivesShortReads) {
  // The reader first maps a large file; the cut then leaves most of its mapping past the end,
  // where a touched page would fault. Cut points: nothing, inside the first page, one page.
  for (const std::uint64_t cut : {0u, 100u, 4096u}) {
    SCOPED_TRACE(cut);
    const std::string path = dir_.File("cut" + std::to_string(cut));
    File reader;
    {
      File f;
      ASSERT_EQ(File::Create(path, f), kIoOk);
      ASSERT_EQ(f.WriteAt(0, Bytes(std::string(1 << 20, 'x'))), kIoOk);
    }
    ASSERT_EQ(File::Open(path, kOpenReadOnlyDenyNone, reader), kIoOk);
    EXPECT_EQ(ReadText(reader, 500000, 4), "xxxx");
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0);
    // Read first, while the size last seen is the old one: a read that runs over the new end
    // inside a page still mapped (zeros there) stops at the end.
    EXPECT_EQ(ReadText(reader, 50, 100), std::string(std::clamp<std::uint64_t>(cut, 50, 150) - 50, 'x'));
    EXPECT_EQ(ReadText(reader, 500000, 4), "");
    EXPECT_EQ(ReadText(reader, 8192, 100000), "");
    EXPECT_EQ(ReadText(reader, 0, 200).size(), std::min<std::uint64_t>(cut, 200));
  }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, ReadMappingTest,
                         ::testing::Values(ReadPath::kMapped, ReadPath::kPread),
                         [](const auto& info) {
                           return info.param == ReadPath::kMapped ? "mapped" : "pread";
                         });

TEST(ReadMappingDecision, LocalFileSystemsMapAndTheSettingForcesPread) {
  test::TempDir dir;
  const std::string path = dir.File("d.dat");
  {
    File f;
    ASSERT_EQ(File::Create(path, f), kIoOk);
    ASSERT_EQ(f.WriteAt(0, Bytes("data")), kIoOk);
  }
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::byte b[4];
  for (const ReadPath path_setting : {ReadPath::kMapped, ReadPath::kPread}) {
    SetReadPath(path_setting);
    ReadMapping m;
    const bool copied = m.Read(fd, 0, b);
    EXPECT_EQ(copied && m.Mapped(), path_setting == ReadPath::kMapped && MapsCoherently(fd));
  }
  SetReadPath(ReadPath::kMapped);
  ::close(fd);
  const int proc = ::open("/proc/self/status", O_RDONLY);  // not a disk file system: pread
  ASSERT_GE(proc, 0);
  EXPECT_FALSE(MapsCoherently(proc));
  ::close(proc);
}

TEST(ReadMappingDecision, ABusFaultOutsideAGuardedCopyStillEndsTheProcess) {
  // The handler that guards copies must pass every other fault on: a program's own mapping
  // touched past its file's end still dies of SIGBUS.
  test::TempDir dir;
  const std::string path = dir.File("f.dat");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    File f;
    if (File::Create(path, f) != kIoOk || f.WriteAt(0, Bytes(std::string(8192, 'y'))) != kIoOk) {
      ::_exit(2);
    }
    std::string got(4, '\0');
    std::size_t n = 0;
    f.ReadAt(0, std::as_writable_bytes(std::span(got)), n);  // installs the handler
    void* own = ::mmap(nullptr, 8192, PROT_READ, MAP_SHARED, f.fd(), 0);
    if (own == MAP_FAILED || ::ftruncate(f.fd(), 0) != 0) ::_exit(3);
    const volatile char c = static_cast<const volatile char*>(own)[4096];
    ::_exit(c == 'y' ? 4 : 5);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  // Killed by the signal, or (under a sanitizer, whose handler was there before ours) reported
  // and ended with its exit code 1; never running on past the fault.
  EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) ||
              (WIFEXITED(status) && WEXITSTATUS(status) == 1))
      << status;
}

}  // namespace
}  // namespace vx::os
