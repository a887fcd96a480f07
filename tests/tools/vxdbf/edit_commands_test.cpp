// vxdbf's editing commands on real files: append, set, delete, recall and locate, locks held
// by another program, and two processes appending at once.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <span>
#include <sstream>
#include <vexel/edit.hpp>
#include <vexel/indexing.hpp>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>

#include "engine/index/orders.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/locks.h"
#include "platform/os/file.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {
namespace {

class EditCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("films.dbf");
    ASSERT_EQ(Vxdbf({"create", path_, "--field", "TITLE,C,20", "--field", "YEAR,N,4", "--field",
                     "COLOR,L,1", "--field", "PREMIERE,D,8", "--field", "RATING,N,5,2"})
                  .status,
              0);
  }
  std::string Dump(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"dump", path_};
    args.insert(args.end(), extra.begin(), extra.end());
    return Vxdbf(args).out;
  }
  test::TempDir dir_;
  std::string path_;
};

TEST_F(EditCommandsTest, AppendsCsvRowsByHeaderNamesInAnyCase) {
  const Result r = Vxdbf({"append", path_},
                         "year,Title,premiere\r\n1958,Vertigo,1958-05-09\r\n"
                         "2001,\"Amélie, \"\"the\"\" film\",20010425\r\n1927,Metropolis,\r\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "3\n");
  EXPECT_EQ(Dump(),
            "TITLE,YEAR,COLOR,PREMIERE,RATING\r\n"
            "Vertigo,1958,,1958-05-09,\r\n"
            "\"Amélie, \"\"the\"\" film\",2001,,2001-04-25,\r\n"
            "Metropolis,1927,,,\r\n");
}

TEST_F(EditCommandsTest, AppendsJsonLines) {
  const Result r = Vxdbf({"append", path_, "--format", "jsonl"},
                         "{\"TITLE\":\"Alien\",\"YEAR\":1979,\"COLOR\":true,\"RATING\":8.45}\n\n"
                         "{\"title\":\"M \\u00e9\",\"PREMIERE\":null}\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Dump({"--format", "jsonl"}),
            "{\"TITLE\":\"Alien\",\"YEAR\":1979,\"COLOR\":true,\"PREMIERE\":null,\"RATING\":8.45}\n"
            "{\"TITLE\":\"M é\",\"YEAR\":null,\"COLOR\":null,\"PREMIERE\":null,\"RATING\":null}\n");
}

TEST_F(EditCommandsTest, BadRowsWriteNothing) {
  const auto before = test::ReadBytes(path_);
  const std::pair<const char*, const char*> kBad[] = {
      {"TITLE,NOPE\r\nx,1\r\n", "no field \"NOPE\""},
      {"TITLE,YEAR\r\nok,1\r\nbad,12x\r\n", "is not a number"},
      {"TITLE\r\nthis title is far too long for twenty\r\n", "is longer than"},
      {"PREMIERE\r\n2023-02-30\r\n", "is no date"},
      {"YEAR\r\n3000000000.5\r\n", "no whole number"},
      {"TITLE,YEAR\r\nok,1958\r\nwide,12345\r\n", "\"12345\" does not fit field YEAR (N 4 0)"},
      {"RATING\r\n123.45\r\n", "\"123.45\" does not fit field RATING (N 5 2)"},
      {"TITLE\r\n\"open quote\r\n", "never closed"},
  };
  for (const auto& [input, message] : kBad) {
    SCOPED_TRACE(input);
    const Result r = Vxdbf({"append", path_}, input);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
  EXPECT_EQ(Vxdbf({"append", path_, "--format", "jsonl"}, "{\"TITLE\":[1]}\n").status, 2);
  EXPECT_EQ(test::ReadBytes(path_), before);

  // set checks every value before it writes any.
  ASSERT_EQ(Vxdbf({"append", path_}, "TITLE\r\nA\r\n").status, 0);
  const auto one = test::ReadBytes(path_);
  for (const char* wide : {"YEAR=12345", "RATING=-10.5", "RATING=1e10"}) {
    SCOPED_TRACE(wide);
    const Result r = Vxdbf({"set", path_, "1", "TITLE=B", wide});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("does not fit field"), std::string::npos) << r.err;
    EXPECT_EQ(test::ReadBytes(path_), one);
  }
}

TEST_F(EditCommandsTest, RefusesAFieldGivenTwiceAndCutsTheEchoOfLongValues) {
  ASSERT_EQ(Vxdbf({"append", path_}, "TITLE\r\nA\r\n").status, 0);
  const auto before = test::ReadBytes(path_);
  const struct {
    std::vector<std::string> args;
    std::string input;
    const char* message;
  } kBad[] = {
      {{"append", path_},
       "TITLE,YEAR,title\r\nx,1,y\r\n",
       "the CSV header names field TITLE twice"},
      {{"append", path_, "--format", "jsonl"},
       "{\"TITLE\":\"x\",\"Title\":\"y\"}\n",
       "line 1 names field TITLE twice"},
      {{"append", path_, "--format", "jsonl"}, "{\"YEAR\":1,\"YEAR\":2}\n", "given twice"},
      {{"set", path_, "1", "TITLE=a", "title=b"}, "", "names field TITLE twice"},
      {{"set", path_, "1", "TITLE=" + std::string(10 << 20, 'x')}, "", "is longer than"},
      {{"append", path_}, "TITLE\r\n" + std::string(10 << 20, 'y') + "\r\n", "is longer than"},
      {{"set", path_, "1", "YEAR=" + std::string(1 << 20, '9') + "z"}, "", "is not a number"},
      {{"set", path_, "1", std::string(1 << 20, 'N') + "=1"}, "", "no field"},
      {{"dump", path_, "--format", std::string(1 << 20, 'f')}, "", "--format"},
  };
  for (const auto& c : kBad) {
    SCOPED_TRACE(c.message);
    const Result r = Vxdbf(c.args, c.input);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err.substr(0, 300);
    EXPECT_LT(r.err.size(), 400u);
  }
  EXPECT_EQ(test::ReadBytes(path_), before);
}

TEST_F(EditCommandsTest, WaitTakesDecimalSeconds) {
  ASSERT_EQ(Vxdbf({"append", path_}, "TITLE\r\nA\r\n").status, 0);
  for (const char* bad : {"-1", "256", "nan", "1s", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Vxdbf({"set", path_, "1", "TITLE=x", "--wait", bad}).status, 2);
  }
  os::File other;
  ASSERT_EQ(os::File::Open(path_, os::kOpenReadWriteDenyNone, other), 0);
  ASSERT_EQ(other.LockRange(LockBase + 32 + 5 * 32 + 1, 1 + 20 + 4 + 1 + 8 + 5), 0);
  const auto start = std::chrono::steady_clock::now();
  const Result r = Vxdbf({"set", path_, "1", "TITLE=x", "--retries", "4", "--wait", "0.05"});
  EXPECT_EQ(r.status, 3) << r.err;
  // Four pauses of 0.05 s; a wait rounded to whole seconds would take four seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(EditCommandsTest, SetDeleteRecallAndVisibleDump) {
  ASSERT_EQ(Vxdbf({"append", path_}, "TITLE\r\nA\r\nB\r\nC\r\n").status, 0);
  EXPECT_EQ(Vxdbf({"set", path_, "2", "TITLE=Bee", "year=1999", "COLOR=T"}).status, 0);
  EXPECT_EQ(Vxdbf({"delete", path_, "1"}).status, 0);
  EXPECT_EQ(Dump({"--visible"}),
            "TITLE,YEAR,COLOR,PREMIERE,RATING\r\n"
            "Bee,1999,T,,\r\nC,,,,\r\n");
  EXPECT_NE(Dump({"--deleted"}).find("\r\n*,A,,,,\r\n"), std::string::npos);
  EXPECT_EQ(Vxdbf({"recall", path_, "1"}).status, 0);
  EXPECT_NE(Dump({"--visible"}).find("\r\nA,,,,\r\n"), std::string::npos);
  const Result beyond = Vxdbf({"set", path_, "9", "TITLE=x"});
  EXPECT_EQ(beyond.status, 1);
  EXPECT_NE(beyond.err.find("Error # 212"), std::string::npos);
  EXPECT_EQ(Vxdbf({"set", path_, "zero", "TITLE=x"}).status, 2);
  EXPECT_EQ(Vxdbf({"set", path_, "1", "TITLE"}).status, 2);
}

TEST_F(EditCommandsTest, LocatePrintsRecordNumbers) {
  ASSERT_EQ(Vxdbf({"append", path_}, "TITLE\r\nStar Wars\r\nAlien\r\nstarman\r\n").status, 0);
  EXPECT_EQ(Vxdbf({"locate", path_, "TITLE", "Star"}).out, "1\n");
  EXPECT_EQ(Vxdbf({"locate", path_, "TITLE NOCASE", "star", "--all"}).out, "1\n3\n");
  EXPECT_EQ(Vxdbf({"locate", path_, "TITLE CONTAINED NOCASE", "WAR"}).out, "1\n");
  const Result none = Vxdbf({"locate", path_, "TITLE", "Zorro"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(Vxdbf({"locate", path_, "NOPE", "x"}).status, 1);
}

// The library runs every command on an engine of its own: a program whose own engine runs
// without its index unit (which would leave a production index's keys stale, so edits there are
// refused) does not reach it. Every edit keeps the tag current, warns of nothing, and the table
// checks clean.
TEST_F(EditCommandsTest, EditsKeepTheProductionIndexWhateverTheProgramsOwnEngineLacks) {
  InitEngine();
  ShutdownIndex();
  struct Reinstall {
    ~Reinstall() { IndexInit(); }
  } reinstall;
  ASSERT_EQ(Vxdbf({"append", path_}, "TITLE\r\nA\r\nB\r\n").status, 0);
  ASSERT_EQ(Vxdbf({"index", path_, "--tag", "TITLE", "--key", "TITLE"}).status, 0);
  struct Edit {
    std::vector<std::string> args;
    std::string input;
  };
  const std::vector<Edit> edits = {{{"append", path_}, "TITLE\r\nC\r\n"},
                                   {{"set", path_, "1", "TITLE=x"}, ""},
                                   {{"delete", path_, "1"}, ""},
                                   {{"recall", path_, "1"}, ""}};
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.args[0]);
    const Result done = Vxdbf(edit.args, edit.input);
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.err.find("stale"), std::string::npos) << done.err;
  }
  const Result check = Vxdbf({"check", path_});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  // TITLE order: B, C, x.
  const std::string dump = Dump({"--tag", "TITLE"});
  const std::size_t b = dump.find("\r\nB,"), c = dump.find("\r\nC,"), x = dump.find("\r\nx,");
  EXPECT_TRUE(b != std::string::npos && b < c && c < x && x != std::string::npos) << dump;
}

// An append that meets a full disk (the table's or the memo file's) keeps the rows that went in
// and says how many: the count it names is the count the table gained, and the table checks
// clean.
TEST_F(EditCommandsTest, AnAppendCutShortByAFullDiskSaysHowManyRowsWentIn) {
  const std::string path = dir_.File("notes.dbf");
  ASSERT_EQ(Vxdbf({"create", path, "--field", "NAME,C,20", "--field", "NOTE,M"}).status, 0);
  std::string rows = "NAME,NOTE\n";
  for (int i = 1; i <= 60; ++i) {
    rows += "row " + std::to_string(i) + "," + std::string(300, 'a' + i % 26) + "\n";
  }
  const auto records = [&] {
    const std::string out = Vxdbf({"dump", path}).out;
    return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')) - 1;
  };
  const std::pair<const char*, std::uint64_t> kFull[] = {{".dbf", 500}, {".dbt", 4000}};
  for (const auto& [full, room] : kFull) {
    SCOPED_TRACE(full);
    const std::size_t before = records();
    Result r;
    {
      test::FaultInjection faults;
      faults.DiskFull(full, room);
      r = Vxdbf({"append", path}, rows);
      EXPECT_GT(faults.fired(), 0);
    }
    EXPECT_NE(r.status, 0);
    std::smatch said;
    ASSERT_TRUE(std::regex_search(
        r.err, said, std::regex("could not be appended .*(no row|the ([0-9]+) rows before it)")))
        << r.err;
    const std::size_t went_in = said[2].matched ? std::stoul(said[2].str()) : 0;
    EXPECT_EQ(records() - before, went_in) << r.err;
    const Result check = Vxdbf({"check", path});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }
}

TEST_F(EditCommandsTest, LockedRecordAndAppendLockRefuseWithStatusThree) {
  ASSERT_EQ(Vxdbf({"append", path_}, "TITLE\r\nA\r\nB\r\nC\r\nD\r\n").status, 0);
  const auto before = test::ReadBytes(path_);
  const std::uint64_t header = 32 + 5 * 32 + 1;
  const std::uint64_t record_length = 1 + 20 + 4 + 1 + 8 + 5;
  // Another program holds the lock range of record 3, and the append byte.
  os::File other;
  ASSERT_EQ(os::File::Open(path_, os::kOpenReadWriteDenyNone, other), 0);
  ASSERT_EQ(other.LockRange(LockBase + header + 2 * record_length, record_length), 0);
  Result r = Vxdbf({"set", path_, "3", "TITLE=x", "--retries", "1"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "vxdbf: record 3 of " + path_ + " is locked by another program\n");
  EXPECT_EQ(Vxdbf({"delete", path_, "3"}).status, 3);
  EXPECT_EQ(test::ReadBytes(path_), before);
  EXPECT_EQ(Vxdbf({"set", path_, "4", "TITLE=Four"}).status, 0);
  ASSERT_EQ(other.LockRange(LockBase + 1, 1), 0);
  r = Vxdbf({"append", path_}, "TITLE\r\nE\r\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "vxdbf: the append lock of " + path_ + " is held by another program\n");
  ASSERT_EQ(other.UnlockRange(LockBase + 1, 1), 0);
  EXPECT_EQ(Vxdbf({"append", path_}, "TITLE\r\nE\r\n").status, 0);
}

// Two processes append at once, and a third whose last row is bad appends nothing: every
// good process's rows land together (one append lock), none of the bad one's.
TEST_F(EditCommandsTest, TwoProcessesAppendingAtOnceLoseNothing) {
  constexpr int kRows = 5000;
  pid_t children[3];
  for (int c = 0; c < 3; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      std::string input = "TITLE,YEAR\r\n";
      for (int i = 0; i < kRows; ++i) {
        input +=
            "p" + std::to_string(c) + "-" + std::to_string(i) + "," + std::to_string(c) + "\r\n";
      }
      if (c == 2) input += "bad,12x\r\n";
      const Result r = Vxdbf({"append", path_, "--retries", "60", "--wait", "1"}, input);
      _exit(r.status);
    }
  }
  for (int c = 0; c < 3; ++c) {
    int status = 0;
    ASSERT_EQ(waitpid(children[c], &status, 0), children[c]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c == 2 ? 2 : 0);
  }
  std::istringstream dump(Dump());
  std::string line;
  std::getline(dump, line);
  std::set<std::string> titles;
  int lines = 0;
  while (std::getline(dump, line)) {
    ++lines;
    titles.insert(line.substr(0, line.find(',')));
  }
  EXPECT_EQ(lines, 2 * kRows);
  EXPECT_EQ(titles.size(), 2u * kRows);
  EXPECT_TRUE(titles.count("p0-0") && titles.count("p1-4999"));
  EXPECT_EQ(titles.count("p2-0"), 0u);
  // Each process's rows are one block, in their order.
  std::istringstream again(Dump());
  std::getline(again, line);
  std::string previous;
  int switches = 0;
  for (int i = 0; std::getline(again, line); ++i) {
    const std::string who = line.substr(0, 2);
    if (who != previous) ++switches;
    previous = who;
    EXPECT_EQ(line.substr(0, line.find(',')), who + "-" + std::to_string(i % kRows));
  }
  EXPECT_EQ(switches, 2);
}

// The library names what a person can do about a refusal (Error::advice) and words it as its
// own options in what(); vxdbf words the same advice as its flags and commands. Nothing in the
// library's words is a command-line flag or names vxdbf, engine refusals included.
TEST_F(EditCommandsTest, RefusalsAdviseInEachProgramsOwnWords) {
  ASSERT_EQ(Vxdbf({"append", path_}, "TITLE\nVertigo\nPsycho\n").status, 0);
  const std::string other = dir_.File("other.dbf");
  ASSERT_EQ(Vxdbf({"create", other, "--field", "A,C,5"}).status, 0);
  // An .NDX an edit did not keep current (it was not named) refuses the next edit that names it.
  const std::string ndx = dir_.File("titles.ndx");
  ASSERT_EQ(Vxdbf({"index", path_, "--ndx", ndx, "--key", "TITLE"}).status, 0);
  ASSERT_EQ(Vxdbf({"set", path_, "2", "TITLE=Rebecca"}).status, 0);
  vexel::OpenOptions with_ndx;
  with_ndx.ndx_files = {ndx};
  // A FoxPro table whose record changed behind its .CDX's back refuses the edits of that tag.
  const std::string fox = dir_.File("fox.dbf");
  ASSERT_EQ(Vxdbf({"create", fox, "--version", "0x30", "--field", "NAME,C,8"}).status, 0);
  ASSERT_EQ(Vxdbf({"append", fox}, "NAME\nann\nbob\n").status, 0);
  ASSERT_EQ(Vxdbf({"index", fox, "--tag", "NAME", "--key", "NAME"}).status, 0);
  {
    os::File file;
    ASSERT_EQ(os::File::Open(fox, os::kOpenReadWriteDenyNone, file), os::kIoOk);
    std::vector<std::byte> header(10);
    std::size_t got = 0;
    ASSERT_EQ(file.ReadAt(0, header, got), os::kIoOk);
    const auto le16 = [&](int at) {
      return std::to_integer<int>(header[at]) | std::to_integer<int>(header[at + 1]) << 8;
    };
    // Record 1's NAME (after its deletion flag) reads "cyd".
    const std::string cyd = "cyd";
    ASSERT_EQ(file.WriteAt(le16(8) + 1, std::as_bytes(std::span(cyd))), os::kIoOk);
  }
  const struct {
    std::function<void()> library;
    std::vector<vexel::Remedy> remedies;
    const char* library_words;
    std::vector<std::string> args;
    const char* input;
    int status;
    const char* vxdbf_words;
  } kCases[] = {
      {[&] {
         std::istringstream in("TITLE\n\xCE\xA3\n");
         vexel::append_rows(path_, vexel::csv_rows(in));
       },
       {vexel::Remedy::lossy},
       "(the lossy option stores \"?\")",
       {"append", path_},
       "TITLE\n\xCE\xA3\n",
       2,
       "(--lossy stores \"?\")"},
      {[&] {
         vexel::create(other, {{"A", 'C', 5, 0}});
       },
       {vexel::Remedy::overwrite},
       "exists (the overwrite option replaces it)",
       {"create", other, "--field", "A,C,5"},
       "",
       2,
       "exists (--overwrite replaces it)"},
      {[&] { vexel::copy_table(path_, other); },
       {vexel::Remedy::overwrite},
       "exists (the overwrite option replaces it)",
       {"copy", path_, other},
       "",
       2,
       "exists (--overwrite replaces it)"},
      {[&] {
         vexel::set_fields(path_, 1, {{"TITLE", "Rope"}}, with_ndx);
       },
       {vexel::Remedy::repair_ndx},
       "nothing was changed (check_ndx with repair rebuilds it)",
       {"set", path_, "1", "TITLE=Rope", "--index", ndx},
       "",
       1,
       "nothing was changed (vxdbf check --index FILE.NDX --repair rebuilds it)"},
      {[&] {
         vexel::set_fields(fox, 2, {{"NAME", "dan"}});
       },
       {vexel::Remedy::repair},
       "nothing was changed (check_table with repair rebuilds it)",
       {"set", fox, "2", "NAME=dan"},
       "",
       1,
       "nothing was changed (vxdbf check --repair rebuilds it)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.vxdbf_words);
    try {
      c.library();
      ADD_FAILURE() << "not refused";
    } catch (const vexel::Error& e) {
      std::vector<vexel::Remedy> remedies;
      for (const vexel::Advice& a : e.advice()) remedies.push_back(a.remedy);
      EXPECT_EQ(remedies, c.remedies);
      const std::string what = e.what();
      EXPECT_NE(what.find(c.library_words), std::string::npos) << what;
      EXPECT_EQ(what.find("--"), std::string::npos) << what;
      EXPECT_EQ(what.find("vxdbf"), std::string::npos) << what;
      EXPECT_EQ(what, vexel::advised(e.fault(), e.advice()));
    }
    const Result r = Vxdbf(c.args, c.input);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.vxdbf_words), std::string::npos) << r.err;
  }
  // A check's findings carry their advice the same way (a temporary file a killed program
  // left), and those without advice (a production index the header names that is gone) say
  // the same in both.
  ASSERT_EQ(Vxdbf({"index", other, "--tag", "A", "--key", "A"}).status, 0);
  ASSERT_EQ(std::remove(dir_.File("other.mdx").c_str()), 0);
  { std::ofstream(dir_.File("VXRAB12CD.TMP")) << "x"; }
  const vexel::TableCheck found = vexel::check_table(other);
  std::vector<std::string> library_said;
  for (const vexel::CheckFinding& f : found.findings()) {
    EXPECT_EQ(f.what, vexel::advised(f.fault, f.advice));
    library_said.push_back(f.what);
  }
  const std::string mdx = dir_.File("other.mdx");
  const std::string stray = dir_.File("VXRAB12CD.TMP");
  EXPECT_EQ(library_said,
            (std::vector<std::string>{
                "the table header says it has a production index, but " + mdx + " is missing",
                stray + " is a temporary file a killed program left (check_table with repair "
                        "removes it)"}));
  EXPECT_EQ(Vxdbf({"check", other}).out,
            "index file: the table header says it has a production index, but " + mdx +
                " is missing\n"
                "folder: " +
                stray +
                " is a temporary file a killed program left (vxdbf check "
                "--repair removes it)\n");
  // A warning carries its advice too: the library's words in its text, vxdbf's on its line.
  std::vector<vexel::Warning> warnings;
  vexel::set_fields(path_, 1, {{"TITLE", "\xE2\x82\xAC\xCE\xA3"}},
                    {.lossy = true, .warn = [&](const vexel::Warning& w) { warnings.push_back(w); }});
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].text, "1 character of code page 1252 replaced by \"?\" (the lossy option)");
  ASSERT_EQ(warnings[0].advice.size(), 1u);
  EXPECT_EQ(warnings[0].advice[0].remedy, vexel::Remedy::lossy);
  const Result lossy = Vxdbf({"set", path_, "1", "TITLE=\xCE\xA3", "--lossy"});
  EXPECT_EQ(lossy.err, "vxdbf: 1 character of code page 1252 replaced by \"?\" (--lossy)\n");
}

}  // namespace
}  // namespace vx::tool
