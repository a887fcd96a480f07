#include "engine/foundation/file_utils.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "engine/foundation/errors.h"
#include "tests/engine/foundation/test_support.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

class FileUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()) << "no temporary directory"; }

  std::string Make(const std::string& name, const std::string& content = "x") {
    const std::string path = dir_.File(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // Sets a file's last-write time to noon UTC of a day, which is that day in every time zone
  // from UTC-11 to UTC+11.
  static void SetWriteDay(const std::string& path, std::chrono::year_month_day day) {
    const std::chrono::sys_seconds noon = std::chrono::sys_days(day) + std::chrono::hours(12);
    fs::last_write_time(path, std::chrono::file_clock::from_sys(noon));
  }

  testing::SettingsGuard guard_;
  testing::TempDir dir_;
};

TEST_F(FileUtilsTest, EraseFilesSkipsAFileOpenElsewhere) {
  Make("a.tmp");
  const std::string held = Make("b.tmp");
  Make("C.TMP");
  Make("keep.dat");
  os::File other;
  ASSERT_EQ(os::File::Open(held, os::kOpenReadWriteDenyNone, other), os::kIoOk);

  const std::string mask = dir_.File("*.tmp");
  try {
    EraseFiles(mask);
    FAIL() << "EraseFiles reported nothing";
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error # 5 (File access denied)\r\nCould not erase 1 files like " + mask);
  }
  EXPECT_EQ(EngineErrorCode, 5);
  EXPECT_FALSE(fs::exists(dir_.File("a.tmp")));
  EXPECT_FALSE(fs::exists(dir_.File("C.TMP")));
  EXPECT_TRUE(fs::exists(held));
  EXPECT_TRUE(fs::exists(dir_.File("keep.dat")));
  ASSERT_EQ(FailedErases->size(), 1u);
  EXPECT_EQ(FailedErases[0].name, "b.tmp");

  // The next call starts with an empty failure list.
  other.Close();
  EraseFiles(mask);
  EXPECT_EQ(EngineErrorCode, 0);
  EXPECT_TRUE(FailedErases->empty());
  EXPECT_FALSE(fs::exists(held));
}

TEST_F(FileUtilsTest, EraseFilesReportsAMissingSingleFile) {
  const std::string name = dir_.File("missing.dbf");
  QuietErrors quiet;
  EraseFiles(name);
  EXPECT_EQ(EngineErrorCode, 2);
  EXPECT_EQ(EngineErrorText(), "Error # 2 (File not found)\r\nError erasing " + name);
}

TEST_F(FileUtilsTest, EraseFileKeepsAFileInUse) {
  const std::string path = Make("movie.dbt");
  {
    os::File reader;
    ASSERT_EQ(os::File::Open(path, os::kOpenReadOnlyDenyNone, reader), os::kIoOk);
    EXPECT_EQ(EraseFile(path), os::kIoSharingViolation);
    EXPECT_TRUE(fs::exists(path));
  }
  EngineErrorCode = 99;
  EraseFiles(path);
  EXPECT_EQ(EngineErrorCode, 0);
  EXPECT_FALSE(fs::exists(path));
  EraseFiles(dir_.File("*.none"));
  EXPECT_EQ(EngineErrorCode, 0);
}

TEST_F(FileUtilsTest, TellsExistenceAndTheFileDate) {
  const std::string path = Make("movie.mdx");
  EXPECT_TRUE(FileExists(path));
  EXPECT_FALSE(FileExists(dir_.File("other.mdx")));
  EXPECT_TRUE(FileDateIsToday(path));
  EXPECT_GT(DiskFree(0), 0);
  EXPECT_FALSE(FileDateIsToday(dir_.File("other.mdx")));

  using std::chrono::day;
  using std::chrono::month;
  using std::chrono::year;
  SetWriteDay(path, year(2001) / month(6) / day(15));
  EXPECT_FALSE(FileDateIsToday(path));
  os::File file;
  ASSERT_EQ(os::File::Open(path, os::kOpenReadOnlyDenyNone, file), os::kIoOk);
  EXPECT_EQ(FileDate(file), (21u << 9) | (6u << 5) | 15u);
  EXPECT_EQ(LastSearchResult, 0);

  // Before 1980 a DOS stamp cannot say the date; it answers the first day it can.
  SetWriteDay(path, year(1975) / month(6) / day(15));
  EXPECT_EQ(FileDate(file), (1u << 5) | 1u);

  os::File closed;
  EXPECT_EQ(FileDate(closed), 0u);
  EXPECT_NE(LastSearchResult, 0);
}

// Points TMPDIR at a directory for the life of the object.
class TempDirVariable {
 public:
  explicit TempDirVariable(const std::string& value) {
    if (const char* old = getenv("TMPDIR")) old_ = old;
    setenv("TMPDIR", value.c_str(), 1);
  }
  ~TempDirVariable() {
    if (old_) {
      setenv("TMPDIR", old_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> old_;
};

TEST_F(FileUtilsTest, CreatesUniqueTemporaryFiles) {
  TempDirVariable tmpdir(dir_.path());
  const std::string first = UniqueFilename();
  const std::string second = UniqueFilename();
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  EXPECT_EQ(fs::path(first).parent_path(), fs::path(dir_.path()));
  EXPECT_TRUE(fs::path(first).filename().string().starts_with("VXP")) << first;
  ASSERT_TRUE(fs::exists(first));
  EXPECT_EQ(fs::file_size(first), 0u);
}

TEST_F(FileUtilsTest, ReportsWhenNoTemporaryFileCanBeMade) {
  TempDirVariable tmpdir(dir_.File("no-such-directory"));
  QuietErrors quiet;
  EXPECT_EQ(UniqueFilename(), "");
  EXPECT_NE(EngineErrorCode, 0);
  EXPECT_EQ(LastErrorMessage, "Error requesting unique file name [UniqueFilename]");
}

}  // namespace
}  // namespace vx
