// The maintenance commands against a folder another user can write: planted links and files,
// hand-written journals, journals of a run killed from another folder, modes and owners, stray
// temporary files, tables whose header counts records the file lacks; and every reader undoing
// a journal a killed rewrite left.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "engine/api/ops/file_replacement.h"
#include "engine/startup/engine_startup.h"
#include "platform/os/file.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

namespace fs = std::filesystem;
using ops::ReplaceStage;
using ops::ReplaceStageHook;
using Snapshot = std::map<std::string, std::vector<unsigned char>>;

class FileSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEngine();
    fs::create_directory(dir_.File("a"));
    fs::create_directory(dir_.File("else"));
    path_ = dir_.File("a/t.dbf");
    victim_ = dir_.File("else/victim.txt");
    std::ofstream(victim_) << "another user's file";
    ASSERT_EQ(Vxdbf({"create", path_, "--version", "0x8B", "--field", "NAME,C,10", "--field",
                     "NOTES,M"})
                  .status,
              0);
    std::string rows = "NAME,NOTES\n";
    for (int i = 1; i <= 30; ++i) rows += "n" + std::to_string(i) + ",memo " + std::to_string(i) + "\n";
    ASSERT_EQ(Vxdbf({"append", path_}, rows).status, 0);
    ASSERT_EQ(Vxdbf({"delete", path_, "3"}).status, 0);
    ASSERT_EQ(Vxdbf({"index", path_, "--tag", "NAME", "--key", "NAME"}).status, 0);
    before_ = Files();
    dump_ = Vxdbf({"dump", path_}).out;
  }
  void TearDown() override { ReplaceStageHook = nullptr; }

  Snapshot Files() const {
    Snapshot files;
    for (const auto& entry : fs::directory_iterator(dir_.File("a"))) {
      files[entry.path().filename().string()] = test::ReadBytes(entry.path().string());
    }
    return files;
  }
  std::string Victim() const {
    const std::vector<unsigned char> bytes = test::ReadBytes(victim_);
    return std::string(bytes.begin(), bytes.end());
  }
  void WriteJournal(const std::string& text) const {
    std::ofstream(dir_.File("a/t.vxj")) << text;
  }

  test::TempDir dir_;
  std::string path_, victim_, dump_;
  Snapshot before_;
};

// Set by the tests below: what the hook does at the stage it waits for.
ReplaceStage HookStage = ReplaceStage::kJournaled;
std::function<void()> HookAction;
void RunHook(ReplaceStage stage) {
  if (stage == HookStage && HookAction) HookAction();
}

// A link (or another file) planted under a temporary name is never written through and never
// renamed into place: the command fails, the table and the other user's file stay as they were.
TEST_F(FileSafetyTest, PlantedLinksAndFilesAreNeitherFollowedNorMoved) {
  const struct {
    const char* command;
    ReplaceStage stage;
    bool swap;  // replace the finished temporary table rather than plant before it is made
  } kCases[] = {
      {"pack", ReplaceStage::kJournaled, false},
      {"zap", ReplaceStage::kJournaled, false},
      {"alter", ReplaceStage::kJournaled, false},
      {"pack", ReplaceStage::kWritten, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.command) + (c.swap ? " swap" : " plant"));
    HookStage = c.stage;
    HookAction = [&] {
      // The journal names the temporary files; a watcher plants links under those names.
      std::ifstream journal(dir_.File("a/t.vxj"));
      std::string line;
      while (std::getline(journal, line)) {
        const std::size_t tab = line.find('\t');
        const std::size_t temp = line.find('\t', tab + 1);
        if (tab == std::string::npos || temp == std::string::npos || line[0] == 'R') continue;
        const std::string name = line.substr(temp + 1, line.find('\t', temp + 1) - temp - 1);
        if (c.swap && name.find(".dbf") == std::string::npos) continue;
        fs::remove(name);
        fs::create_symlink(victim_, name);
      }
    };
    ReplaceStageHook = RunHook;
    std::vector<std::string> args = {c.command, path_};
    if (std::string(c.command) == "alter") args = {"alter", path_, "--add", "X,C,2"};
    if (std::string(c.command) == "zap") args.push_back("--yes");
    const Result r = Vxdbf(args);
    ReplaceStageHook = nullptr;
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_EQ(Victim(), "another user's file");
    EXPECT_FALSE(fs::is_symlink(path_));
    EXPECT_EQ(Files(), before_);
  }
}

// A journal names only the table's own files and the temporary names in its folder: anything
// else, a link, or text that does not parse is refused with the reason, and nothing is touched.
TEST_F(FileSafetyTest, AJournalThatCannotBeTrustedIsRefusedAndNothingMoves) {
  const std::string folder = dir_.File("a") + "/";
  const std::string outside = victim_;
  const std::string beside = dir_.File("else/t.dbf");
  const struct {
    std::string text;
    const char* why;
  } kCases[] = {
      {"vxdbf replacement 1\n0\t" + beside + "\tVXRABCDEF.dbf\tVXRABCDEF.dbf.old\n",
       "outside the table's folder"},
      {"vxdbf replacement 1\n1\t" + folder + "t.dbf\t" + folder + "VXRABCDEF.dbf\t" + outside +
           "\n",
       "neither a file of the table"},
      {"vxdbf replacement 1\n0\t" + folder + "other.dbf\t" + folder + "VXRABCDEF.dbf\t" + folder +
           "VXRABCDEF.dbf.old\n",
       "neither a file of the table"},
      {"vxdbf replacement 1\nR\t../else/victim.txt\n", "neither a file of the table"},
      {"not a journal\n", "journal mark"},
      {"vxdbf replacement 1\n1\tt.dbf\n", "does not parse"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    WriteJournal(c.text);
    const Snapshot planted = Files();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"set", path_, "1", "NAME=x"},
          std::vector<std::string>{"dump", path_}, std::vector<std::string>{"pack", path_}}) {
      const Result r = Vxdbf(args);
      EXPECT_NE(r.status, 0) << args[0];
      EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
      EXPECT_EQ(Files(), planted);
      EXPECT_EQ(Victim(), "another user's file");
    }
    fs::remove(dir_.File("a/t.vxj"));
  }
  // A journal that is a link (dangling or not) is neither followed nor created through.
  fs::create_symlink(dir_.File("else/made-by-pack"), dir_.File("a/t.vxj"));
  const Result pack = Vxdbf({"pack", path_});
  EXPECT_NE(pack.status, 0);
  EXPECT_NE(pack.err.find("symbolic link"), std::string::npos) << pack.err;
  EXPECT_FALSE(fs::exists(dir_.File("else/made-by-pack")));
  fs::remove(dir_.File("a/t.vxj"));
  EXPECT_EQ(Files(), before_);
}

// A rewrite killed between its renames, run from one folder with a relative name, is undone in
// the table's folder by a reader started anywhere (not in the reader's own "a/").
TEST_F(FileSafetyTest, AJournalIsUndoneInItsOwnFolderWhateverTheWorkingFolder) {
  fs::create_directory(dir_.File("else/a"));
  std::ofstream(dir_.File("else/a/t.dbf")) << "decoy";
  {
    test::Child packer([&](test::Child& self) {
      if (::chdir(dir_.path().c_str()) != 0) return 1;
      HookStage = ReplaceStage::kRenaming;
      HookAction = [&] {
        self.Send('k');
        ::kill(::getpid(), SIGKILL);
      };
      ReplaceStageHook = RunHook;
      Vxdbf({"pack", "a/t.dbf"});
      return 0;
    });
    EXPECT_EQ(packer.Receive(), 'k');
    EXPECT_EQ(packer.Wait(), -1);
  }
  ASSERT_TRUE(fs::exists(dir_.File("a/t.vxj")));
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_.File("else"));
  const Result dump = Vxdbf({"dump", path_});
  fs::current_path(cwd);
  EXPECT_EQ(dump.out, dump_);
  EXPECT_EQ(Files(), before_);
  const std::vector<unsigned char> decoy = test::ReadBytes(dir_.File("else/a/t.dbf"));
  EXPECT_EQ(std::string(decoy.begin(), decoy.end()), "decoy");
  EXPECT_EQ(fs::directory_iterator(dir_.File("else/a")) == fs::directory_iterator(), false);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.File("else/a")), fs::directory_iterator()),
            1);
}

// Every door that opens a table undoes a pending journal first (a new table beside the old memo
// file would pair records with other records' memos); check says it did; a reader that cannot
// undo it refuses with the reason.
TEST_F(FileSafetyTest, ReadersUndoAPendingJournalOrRefuse) {
  const auto kill_pack = [&] {
    test::Child packer([&](test::Child& self) {
      HookStage = ReplaceStage::kRenaming;
      HookAction = [&] {
        self.Send('k');
        ::kill(::getpid(), SIGKILL);
      };
      ReplaceStageHook = RunHook;
      Vxdbf({"pack", path_});
      return 0;
    });
    EXPECT_EQ(packer.Receive(), 'k');
    EXPECT_EQ(packer.Wait(), -1);
    ASSERT_TRUE(fs::exists(dir_.File("a/t.vxj")));
  };
  kill_pack();
  EXPECT_EQ(Vxdbf({"dump", path_}).out, dump_);
  EXPECT_EQ(Files(), before_);

  kill_pack();
  const Result check = Vxdbf({"check", path_});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("interrupted rewrite"), std::string::npos) << check.out;
  EXPECT_EQ(Files(), before_);

  // A reader that may not change the folder refuses, naming the journal.
  kill_pack();
  ::chmod(dir_.path().c_str(), 0755);
  test::Child reader([&](test::Child&) {
    ::chmod(dir_.File("a").c_str(), 0555);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
    const Result r = Vxdbf({"dump", path_});
    return r.status != 0 && r.err.find("t.vxj") != std::string::npos ? 0 : 1;
  });
  EXPECT_EQ(reader.Wait(), 0);
  ::chmod(dir_.File("a").c_str(), 0755);
  EXPECT_EQ(Vxdbf({"dump", path_}).out, dump_);
}

// create --overwrite replaces through the journal: killed at any stage the old table with its
// memo file and index is whole, or the new empty one stands; a table the user may not write
// keeps its memo file and index.
TEST_F(FileSafetyTest, CreateOverwriteIsOneStep) {
  for (const ReplaceStage stage : {ReplaceStage::kJournaled, ReplaceStage::kCopying,
                                   ReplaceStage::kWritten, ReplaceStage::kRenaming}) {
    SCOPED_TRACE(static_cast<int>(stage));
    {
      test::Child creator([&](test::Child& self) {
        HookStage = stage;
        HookAction = [&] {
          self.Send('k');
          ::kill(::getpid(), SIGKILL);
        };
        ReplaceStageHook = RunHook;
        Vxdbf({"create", path_, "--overwrite", "--field", "A,C,5"});
        return 0;
      });
      EXPECT_EQ(creator.Receive(), 'k');
      EXPECT_EQ(creator.Wait(), -1);
    }
    EXPECT_EQ(Vxdbf({"dump", path_}).out, dump_);
    EXPECT_EQ(Files(), before_);
  }
  // Read-only for the user who asks: refused, every file kept.
  ::chmod(dir_.path().c_str(), 0755);
  ::chown(dir_.File("a").c_str(), 65534, 65534);
  ::chmod(path_.c_str(), 0444);
  const Snapshot read_only = Files();
  test::Child creator([&](test::Child&) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
    return Vxdbf({"create", path_, "--overwrite", "--field", "A,C,5"}).status;
  });
  EXPECT_NE(creator.Wait(), 0);
  EXPECT_EQ(Files(), read_only);
  ::chmod(path_.c_str(), 0644);
  const Result created = Vxdbf({"create", path_, "--overwrite", "--field", "A,C,5"});
  EXPECT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(Files().size(), 1u);
  EXPECT_EQ(Vxdbf({"check", path_}).status, 0);
}

// New files take the old ones' mode, owner and group.
TEST_F(FileSafetyTest, RewrittenFilesKeepModeAndOwner) {
  const std::vector<std::vector<std::string>> kCommands = {
      {"pack", path_}, {"zap", path_, "--yes"}, {"alter", path_, "--add", "X,C,2"},
      {"reindex", path_}, {"index", path_, "--tag", "T2", "--key", "NAME"},
      {"packmemo", path_}};
  for (const auto& args : kCommands) {
    SCOPED_TRACE(args[0]);
    for (const char* name : {"t.dbf", "t.dbt", "t.mdx"}) {
      ASSERT_EQ(::chown(dir_.File(std::string("a/") + name).c_str(), 65534, 65534), 0);
      ASSERT_EQ(::chmod(dir_.File(std::string("a/") + name).c_str(), 0640), 0);
    }
    const Result r = Vxdbf(args);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"t.dbf", "t.dbt", "t.mdx"}) {
      SCOPED_TRACE(name);
      struct stat st {};
      ASSERT_EQ(::stat(dir_.File(std::string("a/") + name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0640u);
      EXPECT_EQ(st.st_uid, 65534u);
      EXPECT_EQ(st.st_gid, 65534u);
    }
  }
}

// alter and copy refuse a table whose header counts more records than the file holds, as pack
// does: nothing invented, nothing written.
TEST_F(FileSafetyTest, RewritesRefuseAHeaderCountingMissingRecords) {
  std::vector<unsigned char> bytes = test::ReadBytes(path_);
  for (const std::uint32_t count : {35u, 0x7FFFFFF0u}) {
    SCOPED_TRACE(count);
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<unsigned char>(count >> (8 * i));
    test::WriteBytes(path_, bytes);
    const Snapshot damaged = Files();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"alter", path_, "--add", "X,C,2"},
          std::vector<std::string>{"copy", path_, dir_.File("a/copy.dbf")}}) {
      const Result r = Vxdbf(args);
      EXPECT_NE(r.status, 0) << args[0];
      EXPECT_NE(r.err.find("its header counts " + std::to_string(count) +
                           " records, the file holds 30"),
                std::string::npos)
          << r.err;
      EXPECT_NE(r.err.find("vxdbf check"), std::string::npos);
      EXPECT_EQ(Files(), damaged);
    }
  }
}

// check lists the temporary files killed programs left beside the table; --repair removes them
// and leaves the ones a live program holds.
TEST_F(FileSafetyTest, CheckListsAndRepairRemovesStrayTemporaryFiles) {
  const std::vector<std::string> dead = {"VXIABC123.TMP", "VXSABC123.TMP", "VXRABC123.dbf.old",
                                         "VXRABC123.mdx"};
  for (const std::string& name : dead) std::ofstream(dir_.File("a/" + name)) << "left";
  std::ofstream(dir_.File("a/VXIZZZ999.TMP")) << "live";
  os::File live;
  ASSERT_EQ(os::File::Open(dir_.File("a/VXIZZZ999.TMP"), os::kOpenReadWriteDenyAll, live), 0);
  const Result check = Vxdbf({"check", path_});
  EXPECT_NE(check.status, 0);
  for (const std::string& name : dead) EXPECT_NE(check.out.find(name), std::string::npos) << name;
  EXPECT_EQ(check.out.find("VXIZZZ999"), std::string::npos) << check.out;
  const Result repair = Vxdbf({"check", path_, "--repair"});
  EXPECT_EQ(repair.status, 0) << repair.out << repair.err;
  for (const std::string& name : dead) EXPECT_FALSE(fs::exists(dir_.File("a/" + name))) << name;
  EXPECT_TRUE(fs::exists(dir_.File("a/VXIZZZ999.TMP")));
  EXPECT_EQ(Vxdbf({"check", path_}).status, 0);
  live.Close();
}

}  // namespace
}  // namespace vx::tool
