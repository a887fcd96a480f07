// vxdbf on tables that are damaged, unusual or shared: a header whose record image is larger
// than 64 KiB, a table cut short (append refuses, dump prints what is whole), a missing memo
// file, a table that may only be read, the memo file's lock held by another process, and values
// other readers show as blank.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/memo/memo_file.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

class DamagedTablesTest : public ::testing::Test {
 protected:
  void SetUp() override { InitEngine(); }
  void TearDown() override { ShutdownEngine(); }
  // NAME C 10, OK L, NOTE M, YEAR N 4, with `rows` records (NOTE set on each).
  std::string Films(int rows) {
    const std::string path = dir_.File("films.dbf");
    EXPECT_EQ(Vxdbf({"create", path, "--field", "NAME,C,10", "--field", "OK,L", "--field", "NOTE,M",
                     "--field", "YEAR,N,4"})
                  .status,
              0);
    std::string input = "NAME,OK,NOTE,YEAR\n";
    for (int i = 1; i <= rows; ++i) {
      input += "r" + std::to_string(i) + ",T,note " + std::to_string(i) + "," +
               std::to_string(1900 + i) + "\n";
    }
    EXPECT_EQ(Vxdbf({"append", path}, input).status, 0);
    return path;
  }
  test::TempDir dir_;
};

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(DamagedTablesTest, ARecordImageLargerThan64KiBHoldsEveryField) {
  // 255 date fields of width 255: record length 65,026, image 1 + 255 x 258 = 65,791 bytes.
  const std::string path = dir_.File("wide.dbf");
  std::filesystem::copy_file(
      std::filesystem::path(VX_SOURCE_DIR) / "tests/fuzz/inputs/table/wide-date-fields-73k", path);
  Use(path);
  EXPECT_EQ(RecordImageSize(), 65791u);
  RecordImage image = RecordImage::Of(*SelectedTable());
  for (int n : {1, 128, 254, 255}) {
    const int i = n - 1;
    char stored[16];
    std::snprintf(stored, sizeof stored, "2001%02d%02d", i % 12 + 1, i % 28 + 1);
    EXPECT_EQ(image.Date(n), StoredToDayNumber(stored)) << n;
  }
  image.SetDate(255, StoredToDayNumber("19991231"));
  PutRecordImage(*SelectedTable());
  EXPECT_EQ(std::string(SelectedTable()->record.data() + 1 + 254 * 255, 8), "19991231");
  Use("");
  const Result r = Vxdbf({"dump", path, "--format", "jsonl"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"D255\":\"2001-03-03\""), std::string::npos);
}

TEST_F(DamagedTablesTest, ACutTableDumpsItsWholeRecordsAndRefusesAppends) {
  const std::string path = Films(20);
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 10);
  const auto before = test::ReadBytes(path);
  for (const char* sharing : {"", "--exclusive"}) {
    SCOPED_TRACE(sharing);
    std::vector<std::string> append = {"append", path};
    if (*sharing != '\0') append.push_back(sharing);
    Result r = Vxdbf(append, "NAME\nnew\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("its header counts 20 records, the file holds 19 and"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("(vxdbf check shows the damage)"), std::string::npos) << r.err;
    EXPECT_EQ(test::ReadBytes(path), before);
    // Below vxdbf, the engine's APPEND refuses too.
    Use(path + (*sharing != '\0' ? " EXCLUSIVE" : ""));
    ClearRecord();
    if (*sharing == '\0') ALock();
    EXPECT_THROW(Append(), EVexelError);
    Use("");
    EXPECT_EQ(test::ReadBytes(path), before);

    std::vector<std::string> dump = {"dump", path};
    if (*sharing != '\0') dump.push_back(sharing);
    r = Vxdbf(dump);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out), 20u);  // the header line and records 1 to 19
    EXPECT_NE(r.out.find("r19,T,note 19,1919"), std::string::npos);
    EXPECT_NE(r.err.find("records 20 to 20 are left out"), std::string::npos) << r.err;
  }
}

TEST_F(DamagedTablesTest, AMissingMemoFileLeavesTheOtherFieldsReadable) {
  const std::string path = Films(2);
  std::filesystem::remove(dir_.File("films.dbt"));
  Result r = Vxdbf({"dump", path, "--format", "jsonl"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "{\"NAME\":\"r1\",\"OK\":true,\"NOTE\":null,\"YEAR\":1901}\n"
            "{\"NAME\":\"r2\",\"OK\":true,\"NOTE\":null,\"YEAR\":1902}\n");
  EXPECT_NE(r.err.find("films.dbt cannot be opened"), std::string::npos) << r.err;
  r = Vxdbf({"list", path, "NAME", "YEAR"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "_recno,NAME,YEAR\r\n1,r1        ,1901\r\n2,r2        ,1902\r\n");
}

TEST_F(DamagedTablesTest, CheckReadsATableThatMayOnlyBeRead) {
  const std::string path = Films(3);
  for (const char* name : {"films.dbf", "films.dbt"}) {
    ASSERT_EQ(::chmod(dir_.File(name).c_str(), 0444), 0);
  }
  if (::geteuid() != 0) {
    const Result r = Vxdbf({"check", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return;
  }
  // Root writes through 0444: the check runs as another user, for whom the files are read-only.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  test::Child child([&](test::Child&) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 90;
    os::File probe;
    if (os::File::Open(path, os::kOpenReadWriteDenyNone, probe) == 0) return 91;  // not read-only
    return Vxdbf({"check", path}).status;
  });
  EXPECT_EQ(child.Wait(), 0);
}

// A table, memo file and index that may only be read, in a folder this user may not write
// (where no semaphore file can be made): every read works, a tag included, with one warning
// that the index is read without the semaphore; copy reads its source; an edit of a table
// that may be written in such a folder names the permission problem, not a repair.
TEST_F(DamagedTablesTest, ReadsNeedNoWriteAccessToTheTableOrItsFolder) {
  const std::string path = Films(3);
  ASSERT_EQ(Vxdbf({"index", path, "--tag", "YEAR", "--key", "YEAR"}).status, 0);
  const std::string writable = dir_.File("W.DBF");
  ASSERT_EQ(Vxdbf({"copy", path, writable, "--with-index"}).status, 0);
  test::TempDir out;
  ASSERT_EQ(::chmod(out.path().c_str(), 0777), 0);
  for (const char* name : {"films.dbf", "films.dbt", "films.mdx"}) {
    ASSERT_EQ(::chmod(dir_.File(name).c_str(), 0444), 0);
  }
  for (const char* name : {"W.DBF", "W.DBT", "W.MDX"}) {
    ASSERT_EQ(::chmod(dir_.File(name).c_str(), 0666), 0);
  }
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
  const std::string results = out.File("results");
  // Root writes through permission bits: the commands run as another user.
  test::Child child([&](test::Child&) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 90;
    std::ofstream report(results);
    int failed = 0;
    const auto expect = [&](const char* what, bool ok, const Result& r) {
      if (ok) return;
      ++failed;
      report << what << ": status " << r.status << "\n" << r.out << r.err << "\n";
    };
    Result r = Vxdbf({"sql", "SELECT COUNT(*) AS n FROM films", "--dir", dir_.path().string()});
    expect("sql", r.status == 0 && r.out == "n\r\n3\r\n", r);
    r = Vxdbf({"export", path, "--sqlite", out.File("films.db")});
    expect("export", r.status == 0, r);
    r = Vxdbf({"copy", path, out.File("C.DBF")});
    expect("copy", r.status == 0, r);
    r = Vxdbf({"seek", path, "--tag", "YEAR", "1902"});
    const std::size_t warning = r.err.find("read without the semaphore");
    expect("seek", r.status == 0 && r.out == "2\n" && warning != std::string::npos &&
                       r.err.find("read without the semaphore", warning + 1) == std::string::npos,
           r);
    r = Vxdbf({"set", writable, "1", "YEAR=1999"});
    expect("set", r.status != 0 && r.err.find("write access") != std::string::npos &&
                      r.err.find("check --repair") == std::string::npos,
           r);
    return failed;
  });
  const int status = child.Wait(120);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  EXPECT_EQ(status, 0) << [&] {
    const auto bytes = test::ReadBytes(results);
    return std::string(bytes.begin(), bytes.end());
  }();
}

TEST_F(DamagedTablesTest, TheMemoLockFollowsRetriesAndItsRefusalIsStatusThree) {
  const std::string path = Films(2);
  const std::string memo = dir_.File("films.dbt");
  // Another process holds the memo file's lock; it lets go when told to.
  test::Child holder([&](test::Child& self) {
    os::File file;
    if (os::File::Open(memo, os::kOpenReadWriteDenyNone, file) != 0) return 1;
    if (file.LockRange(MemoLockPosition, kMemoLockLength) != 0) return 2;
    self.Send();
    self.Receive();
    return 0;
  });
  ASSERT_EQ(holder.Receive(), '.');
  const auto before = test::ReadBytes(path);
  Result r = Vxdbf({"set", path, "1", "NOTE=changed", "--retries", "3", "--wait", "0.01"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find(memo), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("locked by another program"), std::string::npos);
  EXPECT_EQ(test::ReadBytes(path), before);
  // The lock is let go while the retries last (the memo lock's own attempts take 0.1 s).
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    holder.Send();
  });
  r = Vxdbf({"set", path, "1", "NOTE=changed", "--retries", "255", "--wait", "0.02"});
  release.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_EQ(Vxdbf({"memo", path, "1", "NOTE"}).out, "changed\n");
}

TEST_F(DamagedTablesTest, TwoProcessesSettingMemosAtOnceAllSucceed) {
  constexpr int kSets = 30;
  const std::string path = Films(2);
  std::vector<std::unique_ptr<test::Child>> writers;
  for (int c = 0; c < 2; ++c) {
    writers.push_back(std::make_unique<test::Child>([&, c](test::Child&) {
      InitEngine();
      for (int i = 0; i < kSets; ++i) {
        const std::string text = "w" + std::to_string(c) + " " + std::to_string(i) + " " +
                                 std::string(static_cast<std::size_t>(100 + 37 * i), 'x');
        const Result r = Vxdbf({"set", path, std::to_string(c + 1), "NOTE=" + text, "--retries",
                                "200", "--wait", "0.01"});
        if (r.status != 0) return 10 + r.status;
      }
      return 0;
    }));
  }
  for (auto& w : writers) EXPECT_EQ(w->Wait(60), 0);
  for (int c = 0; c < 2; ++c) {
    const Result r = Vxdbf({"memo", path, std::to_string(c + 1), "NOTE"});
    EXPECT_EQ(r.out.substr(0, 6), "w" + std::to_string(c) + " " + std::to_string(kSets - 1) + " ");
  }
  EXPECT_EQ(Vxdbf({"check", path}).status, 0);
}

TEST_F(DamagedTablesTest, ValuesAreShownAsOtherReadersShowThem) {
  const std::string path = Films(0);
  // A CSV with a byte-order mark; a blank and a "?" logical, and one not given, stay blank, as
  // does the number no row names.
  Result r = Vxdbf({"append", path}, "\xEF\xBB\xBFNAME,OK,NOTE\na,,\"two\nlines\"\nb,?,x\n");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(Vxdbf({"append", path}, "NAME\nc\n").status, 0);
  ASSERT_EQ(Vxdbf({"append", path, "--format", "jsonl"}, "{\"NAME\":\"d\",\"OK\":null}\n").status,
            0);
  // NUL padding after the text of a character field, as some writers leave it.
  auto bytes = test::ReadBytes(path);
  const std::size_t header = bytes[8] | bytes[9] << 8;
  const std::size_t record_length = bytes[10] | bytes[11] << 8;
  std::fill_n(bytes.begin() + static_cast<long>(header + 3 * record_length + 2), 9, 0);
  test::WriteBytes(path, bytes);
  for (int n = 0; n < 4; ++n) {
    EXPECT_EQ(bytes[header + n * record_length + 11], ' ') << "record " << n + 1;
  }
  r = Vxdbf({"dump", path, "--format", "jsonl"});
  EXPECT_EQ(r.out,
            "{\"NAME\":\"a\",\"OK\":null,\"NOTE\":\"two\\nlines\",\"YEAR\":null}\n"
            "{\"NAME\":\"b\",\"OK\":null,\"NOTE\":\"x\",\"YEAR\":null}\n"
            "{\"NAME\":\"c\",\"OK\":null,\"NOTE\":\"\",\"YEAR\":null}\n"
            "{\"NAME\":\"d\",\"OK\":null,\"NOTE\":\"\",\"YEAR\":null}\n");
  const std::string csv = "NAME,OK,NOTE,YEAR\r\na,,\"two\nlines\",\r\n";
  EXPECT_EQ(Vxdbf({"dump", path}).out.substr(0, csv.size()), csv);
  // Setting a logical to nothing blanks it; "F" stays false.
  ASSERT_EQ(Vxdbf({"set", path, "1", "OK=T"}).status, 0);
  ASSERT_EQ(Vxdbf({"set", path, "1", "OK="}).status, 0);
  ASSERT_EQ(Vxdbf({"set", path, "2", "OK=F"}).status, 0);
  EXPECT_EQ(Vxdbf({"list", path, "OK"}).out, "_recno,OK\r\n1,F\r\n2,F\r\n3,F\r\n4,F\r\n");
  r = Vxdbf({"dump", path, "--format", "jsonl"});
  EXPECT_NE(r.out.find("{\"NAME\":\"a\",\"OK\":null"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"NAME\":\"b\",\"OK\":false"), std::string::npos) << r.out;
  // A memo named alone keeps its line ends in list and eval.
  EXPECT_EQ(Vxdbf({"list", path, "NOTE", "--for", "NAME = 'a'"}).out,
            "_recno,NOTE\r\n1,\"two\nlines\"\r\n");
  EXPECT_EQ(Vxdbf({"eval", "NOTE", "--table", path}).out, "two\nlines\n");
  EXPECT_EQ(Vxdbf({"eval", "NOTE", "--table", path, "--format", "jsonl"}).out,
            "{\"value\": \"two\\nlines\", \"type\": \"M\", \"width\": 256, \"decimals\": 0}\n");
}

TEST_F(DamagedTablesTest, SeekOnANumberTagWantsANumber) {
  const std::string path = Films(3);
  ASSERT_EQ(Vxdbf({"index", path, "--tag", "YEAR", "--key", "YEAR"}).status, 0);
  Result r = Vxdbf({"seek", path, "--tag", "YEAR", "abc"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"abc\" is no number"), std::string::npos) << r.err;
  r = Vxdbf({"seek", path, "--tag", "YEAR", "1902"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "2\n");
}

// seek reads KEY as the tag's keys are: a number for a tag of numbers (an .NDX's too), a date for
// a tag of dates (MM/DD/YYYY, YYYY-MM-DD or YYYYMMDD); text that is neither is a usage error.
// --index names an .NDX to search, or another .MDX whose tags take the production index's place.
TEST_F(DamagedTablesTest, SeekReadsTheKeyAsTheTagsKeysAre) {
  const std::string path = dir_.File("days.dbf");
  ASSERT_EQ(Vxdbf({"create", path, "--field", "YEAR,N,4", "--field", "DAY,D"}).status, 0);
  ASSERT_EQ(Vxdbf({"append", path}, "YEAR,DAY\n1901,1901-01-01\n1902,1902-01-02\n1903,1903-12-31\n")
                .status,
            0);
  ASSERT_EQ(Vxdbf({"index", path, "--tag", "YEAR", "--key", "YEAR"}).status, 0);
  std::filesystem::path mdx = dir_.File("days.MDX");
  if (!std::filesystem::exists(mdx)) mdx = dir_.File("days.mdx");
  std::filesystem::copy_file(mdx, dir_.File("other.mdx"));
  ASSERT_EQ(Vxdbf({"index", path, "--tag", "DAY", "--key", "DAY"}).status, 0);
  ASSERT_EQ(Vxdbf({"index", path, "--ndx", "years.ndx", "--key", "YEAR"}).status, 0);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;  // a part of it
  } kCases[] = {
      {{"--tag", "YEAR", "abc"}, 2, "", "tag YEAR holds numbers: \"abc\" is no number"},
      {{"--tag", "year", " +1902.0 "}, 0, "2\n", ""},
      {{"--tag", "YEAR", "1902.5", "--soft"}, 0, "3\n", ""},
      {{"--index", "years.ndx", "x1"}, 2, "", "years.ndx holds numbers: \"x1\" is no number"},
      {{"--index", "years.ndx", "1903"}, 0, "3\n", ""},
      {{"--tag", "DAY", "01/02/1902"}, 0, "2\n", ""},
      {{"--tag", "DAY", "1903-12-31"}, 0, "3\n", ""},
      {{"--tag", "DAY", "19010101"}, 0, "1\n", ""},
      {{"--tag", "DAY", "01/02/02"}, 1, "", ""},
      {{"--tag", "DAY", "02/30/1902"}, 2, "", "tag DAY holds dates: \"02/30/1902\" is no date"},
      {{"--tag", "DAY", "1902-01-02", "--index", "other.mdx"}, 2, "", "no tag DAY"},
      {{"--tag", "YEAR", "1903", "--index", dir_.File("other.mdx")}, 0, "3\n", ""},
      {{"--tag", "YEAR", "1903", "--index", "none.mdx"}, 2, "", "no index"},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> args = {"seek", path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Vxdbf(args);
    SCOPED_TRACE(c.args[1] + " " + c.args[2]);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

TEST_F(DamagedTablesTest, DbaseTwoTablesShowTheirLastUpdate) {
  // Version 2, one record of NAME C 5, last update 15 March 1987 (month, day, year - 1900).
  std::vector<unsigned char> bytes(521, 0);
  bytes[0] = 0x02;
  bytes[1] = 1;
  bytes[3] = 3;
  bytes[4] = 15;
  bytes[5] = 87;
  bytes[6] = 6;
  std::memcpy(&bytes[8], "NAME", 4);
  bytes[8 + 11] = 'C';
  bytes[8 + 12] = 5;
  bytes[8 + 16] = 0x0D;
  for (char c : std::string(" hello\x1A")) bytes.push_back(static_cast<unsigned char>(c));
  const std::string path = dir_.File("old.dbf");
  test::WriteBytes(path, bytes);
  Result r = Vxdbf({"info", path});
  EXPECT_NE(r.out.find("Last update:      1987-03-15"), std::string::npos) << r.out;
  EXPECT_EQ(Vxdbf({"dump", path}).out, "NAME\r\nhello\r\n");
  // Writers that leave the date bytes zero recorded no date.
  std::fill_n(bytes.begin() + 3, 3, 0);
  test::WriteBytes(path, bytes);
  r = Vxdbf({"info", path});
  EXPECT_NE(r.out.find("Last update:      none recorded\n"), std::string::npos) << r.out;
  EXPECT_NE(Vxdbf({"info", path, "--json"}).out.find("\"last_update\":null"), std::string::npos);
}

}  // namespace
}  // namespace vx::tool
