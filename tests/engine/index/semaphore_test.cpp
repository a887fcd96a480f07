// The semaphore file shared by programs that open the same table and index: logins, read
// holds, writers and the update counter, checked on the file's bytes and from a second process.
#include "engine/index/semaphore.h"

#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "engine/index/index_build.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "platform/os/system_calls.h"
#include "tests/engine/index/index_fixture.h"
#include "tests/support/child_process.h"

namespace vx {
namespace {

using test::Child;
using test::Row;

const std::vector<Row> kRows = {{"ALPHA", 1}, {"BRAVO", 2}, {"CHARLY", 3}, {"DELTA", 4}};

class SemaphoreTest : public test::IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    table_ = MakeIndexedTable(kRows);
    semaphore_ = dir_.File("T.@S@");
  }

  std::vector<unsigned char> Record() { return test::ReadBytes(semaphore_); }

  // Gives the current record the CODE `code` through REPLACE, the update bracket's real caller,
  // under the record's lock; answers the engine's code.
  std::uint16_t EditCode(const std::string& code) {
    return CodeOf([&] {
      if (!RLock()) return;
      RecordImage::Of(*SelectedTable()).SetText(1, code);
      REPLACE();
    });
  }

  // Opens the table shared with its index in this process.
  void OpenShared() {
    Use(table_);
    ASSERT_TRUE(SetIndexTo());
  }

  std::string table_;
  std::string semaphore_;
};

using Bytes = std::vector<unsigned char>;

TEST_F(SemaphoreTest, ProgramsLogInAndTheLastOneOutDeletesTheFile) {
  Child other([this](Child& self) {
    self.Receive();
    InitEngine();
    Use(table_);
    if (!SetIndexTo()) return 1;
    self.Send();
    self.Receive();
    CloseAll();
    self.Send();
    return 0;
  });
  OpenShared();
  EXPECT_EQ(Record(), (Bytes{1, 0, 0, 0}));
  other.Send();
  ASSERT_EQ(other.Receive(), '.');
  EXPECT_EQ(Record(), (Bytes{2, 0, 0, 0}));
  CloseIndex();
  EXPECT_EQ(Record(), (Bytes{1, 0, 0, 0}));
  other.Send();
  ASSERT_EQ(other.Receive(), '.');
  EXPECT_FALSE(os::FileExists(semaphore_));
  EXPECT_EQ(other.Wait(), 0);
}

TEST_F(SemaphoreTest, NestedReadBracketsHoldOneRead) {
  OpenShared();
  SetReadSemaphoreProc(true);
  SetReadSemaphoreProc(true);
  EXPECT_EQ(Record(), (Bytes{1, 1, 0, 0}));
  SetReadSemaphoreProc(false);
  EXPECT_EQ(Record(), (Bytes{1, 1, 0, 0}));
  SetReadSemaphoreProc(false);
  EXPECT_EQ(Record(), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(CodeOf([] { SetReadSemaphoreProc(false); }), 254);
  EXPECT_EQ(LastErrorMessage, "Non-symmetrical Lock-Unlock [SetReadSemaphoreProc]");
  EXPECT_EQ(CodeOf([] { SetLockSemaphoreProc(false); }), 254);
  EXPECT_EQ(LastErrorMessage, "Non-symmetrical Lock-Unlock [SetLockSemaphoreProc]");
  // A writer counts 1 and bumps the update counter when it is done.
  SetLockSemaphoreProc(true);
  EXPECT_EQ(Record(), (Bytes{1, 1, 0, 0}));
  SetLockSemaphoreProc(false);
  EXPECT_EQ(Record(), (Bytes{1, 0, 1, 0}));
}

TEST_F(SemaphoreTest, AWritersUpdateMakesTheOtherProgramRereadTagHeaders) {
  // The other program rewrites the index as if it had changed a key: ALPHA becomes ZULU, in a
  // tree of another shape (other root pages).
  std::vector<Row> changed = kRows;
  changed[0].code = "ZULU";
  const Bytes rewritten = test::BuildMdx("T", test::RowTags(changed, false, 2));
  Child other([this, &rewritten](Child& self) {
    self.Receive();
    InitEngine();
    Use(table_);
    if (!SetIndexTo()) return 1;
    SetLockSemaphoreProc(true);
    os::File file;
    if (os::File::Open(dir_.File("T.MDX"), 66, file) != 0) return 2;
    if (file.WriteAt(0, std::as_bytes(std::span(rewritten))) != 0) return 3;
    SetLockSemaphoreProc(false);
    self.Send();
    self.Receive();
    return 0;
  });
  OpenShared();
  EXPECT_FALSE(Find("ZULU"));
  other.Send();
  ASSERT_EQ(other.Receive(), '.');
  EXPECT_EQ(Record(), (Bytes{2, 0, 1, 0}));
  EXPECT_TRUE(Find("ZULU"));
  EXPECT_EQ(RecNo(), 1);
  other.Send();
  EXPECT_EQ(other.Wait(), 0);
}

TEST_F(SemaphoreTest, NodesKeptBetweenSearchesGiveWayToTheOtherProgramsEdits) {
  // Both programs keep the nodes they read while the update counter stands still. Each round
  // one program changes a key in place (the same leaf page, so only the counter tells) and the
  // other must find the new key and lose the old one at once.
  const std::vector<std::pair<std::string, std::string>> rounds = {
      {"ALPHA", "ZULU"}, {"BRAVO", "YANKEE"}, {"ZULU", "ECHO"}, {"YANKEE", "FOX"}};
  Child other([this, &rounds](Child& self) {
    InitEngine();
    Use(table_);
    if (!SetIndexTo()) return 1;
    for (std::size_t i = 0; i < rounds.size(); ++i) {
      const auto& [from, to] = rounds[i];
      self.Receive();
      if (i % 2 == 0) {
        if (!Find(from) || EditCode(to) != 0) return 2;
        Unlock();
      } else if (Find(from) || !Find(to)) {
        return 3;
      }
      self.Send();
    }
    self.Receive();
    CloseAll();
    return 0;
  });
  OpenShared();
  for (const Row& row : kRows) EXPECT_TRUE(Find(row.code)) << row.code;
  for (std::size_t i = 0; i < rounds.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& [from, to] = rounds[i];
    if (i % 2 == 1) {
      ASSERT_TRUE(Find(from));
      ASSERT_EQ(EditCode(to), 0);
      Unlock();
    }
    other.Send();
    ASSERT_EQ(other.Receive(), '.');
    if (i % 2 == 0) {
      EXPECT_FALSE(Find(from));
      EXPECT_TRUE(Find(to));
    }
  }
  other.Send();
  EXPECT_EQ(other.Wait(), 0);
}

TEST_F(SemaphoreTest, ReadersKeepAWriterWaitingUntilTheWaitLimit) {
  Child other([this](Child& self) {
    self.Receive();
    InitEngine();
    Use(table_);
    if (!SetIndexTo()) return 1;
    SetReadSemaphoreProc(true);
    self.Send();
    self.Receive();
    SetReadSemaphoreProc(false);
    self.Send();
    self.Receive();
    return 0;
  });
  OpenShared();
  GO(2);
  other.Send();
  ASSERT_EQ(other.Receive(), '.');
  SemaphoreWaitSeconds = 1;
  EXPECT_EQ(EditCode("ECHO"), 1202);
  const std::string name = SemaphoreFileName(table_);
  EXPECT_EQ(LastErrorMessage,
            "1 second timeout, cannot read: " + name +
                "\r\nPossible cause: Other user's program has terminated abnormally.\r\n"
                "Cure: Log all users of this application off the network,\r\nthen delete " +
                name);
  EXPECT_EQ(Record(), (Bytes{2, 1, 0, 0}));
  other.Send();
  ASSERT_EQ(other.Receive(), '.');
  // The edit that gave up left nothing open: the next one waits for the region again, holds it
  // and counts its update.
  EXPECT_EQ(EditCode("ECHO"), 0) << LastErrorMessage;
  EXPECT_EQ(Record(), (Bytes{2, 0, 1, 0}));
  Unlock();
  other.Send();
  EXPECT_EQ(other.Wait(), 0);
}

TEST_F(SemaphoreTest, AnEditAfterOneThatTimedOutHoldsTheRegionAndAThirdProgramSeesIt) {
  // A second program holds the lock region (a writer) until this program's edit gives up.
  Child holder([this](Child& self) {
    self.Receive();
    InitEngine();
    Use(table_);
    if (!SetIndexTo()) return 1;
    SetLockSemaphoreProc(true);
    if (EngineErrorCode != 0) return 2;
    self.Send();
    self.Receive();
    SetLockSemaphoreProc(false);
    self.Send();
    self.Receive();
    return 0;
  });
  // A third program opens the index between the two edits and then looks for the new key.
  Child watcher([this](Child& self) {
    self.Receive();
    InitEngine();
    Use(table_);
    if (!SetIndexTo()) return 1;
    self.Send();
    self.Receive();
    const bool found = Find("ECHO");
    self.Send(static_cast<char>(SemaphoreRecord(Selected()) >> 16));
    self.Send(found && RecNo() == 1 ? 'y' : 'n');
    self.Receive();
    return 0;
  });
  OpenShared();
  GO(1);
  holder.Send();
  ASSERT_EQ(holder.Receive(), '.');
  SemaphoreWaitSeconds = 1;
  EXPECT_EQ(EditCode("ECHO"), 1202);
  holder.Send();
  ASSERT_EQ(holder.Receive(), '.');
  EXPECT_EQ(Record(), (Bytes{2, 0, 1, 0}));
  watcher.Send();
  ASSERT_EQ(watcher.Receive(), '.');
  EXPECT_EQ(EditCode("ECHO"), 0) << LastErrorMessage;
  Unlock();
  EXPECT_EQ(Record(), (Bytes{3, 0, 2, 0}));
  watcher.Send();
  EXPECT_EQ(watcher.Receive(), 2) << "the third program saw no update";
  EXPECT_EQ(watcher.Receive(), 'y') << "the third program did not find the new key";
  watcher.Send();
  holder.Send();
  EXPECT_EQ(watcher.Wait(), 0);
  EXPECT_EQ(holder.Wait(), 0);
}

TEST_F(SemaphoreTest, AWriterLocksExactlyBytesOneToFourOfTheFile) {
  // Another program sees the writer's lock region through the system's own lock test: bytes
  // 1..4 held, byte 0 (the login count) and byte 5 free.
  Child other([this](Child& self) {
    self.Receive();
    const int fd = ::open(semaphore_.c_str(), O_RDWR);
    if (fd < 0) return 1;
    int held = 0;
    for (int byte = 0; byte <= 5; ++byte) {
      struct flock probe {};
      probe.l_type = F_WRLCK;
      probe.l_whence = SEEK_SET;
      probe.l_start = byte;
      probe.l_len = 1;
      if (::fcntl(fd, F_GETLK, &probe) != 0) return 2;
      if (probe.l_type != F_UNLCK) held |= 1 << byte;
    }
    ::close(fd);
    self.Send(static_cast<char>(held));
    return 0;
  });
  OpenShared();
  SetLockSemaphoreProc(true);
  ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
  other.Send();
  EXPECT_EQ(other.Receive(), 0b011110);
  SetLockSemaphoreProc(false);
  EXPECT_EQ(other.Wait(), 0);
}

// Another program killed while it held a read or an update, with this program logged in
// before the kill or only after it: the count it left blocks nobody. The next edit clears it
// with a warning that names the file, and the last program out deletes the file.
TEST_F(SemaphoreTest, AMarkLeftByAKilledProgramIsClearedWithAWarning) {
  struct Case {
    const char* name;
    bool write;         // the killed program held an update, else a read
    bool logged_first;  // this program logged in before the kill
  };
  const Case cases[] = {{"killed writer", true, false},
                        {"killed writer, logged in before", true, true},
                        {"killed reader", false, false},
                        {"killed reader, logged in before", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Child holder([this, &c](Child& self) {
      self.Receive();
      InitEngine();
      Use(table_);
      if (!SetIndexTo()) return 1;
      if (c.write) {
        SetLockSemaphoreProc(true);
      } else {
        SetReadSemaphoreProc(true);
      }
      if (EngineErrorCode != 0) return 2;
      self.Send();
      self.Receive();  // killed here
      return 0;
    });
    if (c.logged_first) OpenShared();
    holder.Send();
    ASSERT_EQ(holder.Receive(), '.');
    EXPECT_EQ(Record()[1], 1);
    ::kill(holder.Pid(), SIGKILL);
    holder.Wait();
    if (!c.logged_first) OpenShared();
    std::vector<std::string> warnings;
    WarningReceiver receiver(
        [](void* context, const std::string& text) {
          static_cast<std::vector<std::string>*>(context)->push_back(text);
        },
        &warnings);
    // A limit the old wait would pass: the edit must not wait for it.
    SemaphoreWaitSeconds = 1;
    GO(1);
    EXPECT_EQ(EditCode("ECHO"), 0) << LastErrorMessage;
    Unlock();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(semaphore_ + " was marked in use"), std::string::npos)
        << warnings[0];
    EXPECT_EQ(Record()[1], 0);
    CloseAll();
    EXPECT_FALSE(os::FileExists(semaphore_)) << "the last program out leaves the file";
  }
}

// Nodes another program appended after this one opened the index are part of the trees: the
// first edit, which reads every tree whole, must not call them damage past the file's end. The
// edit goes down the left of the trees, which the other program's appends on the right leave
// alone, so only the whole reading meets the new pages.
TEST_F(SemaphoreTest, NodesAnotherProgramAppendedSinceTheOpenAreNoDamage) {
  OpenShared();
  const auto size_at_open = std::filesystem::file_size(dir_.File("T.MDX"));
  Child appender([this](Child& self) {
    self.Receive();
    InitEngine();
    QuietErrors quiet;
    Use(table_);
    if (!SetIndexTo()) return 1;
    for (int i = 0; i < 120; ++i) {
      if (!ALock()) return 2;
      ClearRecord();
      char code[7];
      std::snprintf(code, sizeof code, "Z%05d", i);
      RecordImage::Of(*SelectedTable()).SetText(1, code);
      Append();
      if (EngineErrorCode != 0) return 3;
      Unlock();
    }
    CloseAll();
    return 0;
  });
  appender.Send();
  ASSERT_EQ(appender.Wait(60), 0);
  ASSERT_GT(std::filesystem::file_size(dir_.File("T.MDX")), size_at_open) << "the other program's appends added no node";
  GO(1);
  EXPECT_EQ(EditCode("ALPHB"), 0) << LastErrorMessage;
  Unlock();
}

TEST_F(SemaphoreTest, ExclusiveTablesAndSharingOffMakeNoSemaphoreFile) {
  Use(table_ + " EXCLUSIVE");
  ASSERT_TRUE(SetIndexTo());
  SetReadSemaphoreProc(true);
  SetReadSemaphoreProc(false);
  EXPECT_FALSE(os::FileExists(semaphore_));
  CloseAll();
  SharingEnabled = false;
  Use(table_);
  ASSERT_TRUE(SetIndexTo());
  EXPECT_FALSE(os::FileExists(semaphore_));
}

TEST_F(SemaphoreTest, SemaphoreDirectoryHoldsTheFile) {
  test::TempDir elsewhere;
  SemaphoreDirectory = elsewhere.path().string();
  OpenShared();
  EXPECT_FALSE(os::FileExists(semaphore_));
  EXPECT_EQ(test::ReadBytes(elsewhere.File("T.@S@")), (Bytes{1, 0, 0, 0}));
  CloseIndex();
  EXPECT_FALSE(os::FileExists(elsewhere.File("T.@S@")));
}

// --- Byte 0 of the index file while a tag header is written (what other programs lock) ---

// A POSIX lock of `length` bytes at `offset` of `path` as another program asks for it: answers
// whether a write lock there would conflict with what other processes hold.
bool LockedElsewhere(const std::string& path, off_t offset, off_t length) {
  const int fd = ::open(path.c_str(), O_RDWR);
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = offset;
  probe.l_len = length;
  const bool held = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

// Every tag header written while the probe is set is looked at from a second process.
struct AnchorProbe {
  std::string index;
  int written = 0;  // tag headers written
  int locked = 0;   // ... while byte 0, and nothing else of the file header, was locked
};
AnchorProbe* Probe = nullptr;

ssize_t ProbingWrite(int fd, const void* data, std::size_t count, off_t offset) {
  if (Probe != nullptr && count == kTagHeaderSize) {
    ++Probe->written;
    Child other([](Child&) {
      const bool byte0 = LockedElsewhere(Probe->index, 0, 1);
      const bool rest = LockedElsewhere(Probe->index, 1, kMdxHeaderSize - 1);
      return byte0 && !rest ? 0 : 1;
    });
    if (other.Wait() == 0) ++Probe->locked;
  }
  return os::RealSystemCalls().pwrite(fd, data, count, offset);
}

// Appends records to the selected table until `done`, asked right after each append, says so
// (at most `limit`).
template <typename Done>
void AppendUntil(Done done, int limit) {
  for (int n = 0; n < limit; ++n) {
    ASSERT_TRUE(ALock());
    ClearRecord();
    RecordImage image = RecordImage::Of(*SelectedTable());
    image.SetText(1, "K" + std::to_string(1000 + n));
    image.SetNumber(2, n);
    bool stop = false;
    {
      QuietErrors quiet;
      EngineErrorCode = 0;
      Append();
      stop = done();
    }
    Unlock();
    if (stop) return;
  }
}

TEST_F(SemaphoreTest, ATagHeaderIsWrittenUnderTheLockOfTheIndexFilesFirstByte) {
  // Each tag's root is an empty leaf: it splits within the first 85 appends.
  table_ = MakeIndexedTable({});
  OpenShared();
  AnchorProbe probe{dir_.File("T.MDX")};
  Probe = &probe;
  os::Syscalls.pwrite = ProbingWrite;
  // The roots split as the tags grow: each new root is named in its tag's header.
  AppendUntil([&] { return probe.written >= 2; }, 200);
  os::Syscalls = os::RealSystemCalls();
  Probe = nullptr;
  EXPECT_GE(probe.written, 2);
  EXPECT_EQ(probe.locked, probe.written);
  // Exclusive tables lock nothing.
  CloseAll();
  table_ = MakeIndexedTable({});
  Use(table_ + " EXCLUSIVE");
  ASSERT_TRUE(SetIndexTo());
  AnchorProbe alone{dir_.File("T.MDX")};
  Probe = &alone;
  os::Syscalls.pwrite = ProbingWrite;
  AppendUntil([&] { return alone.written >= 1; }, 200);
  os::Syscalls = os::RealSystemCalls();
  Probe = nullptr;
  EXPECT_GE(alone.written, 1);
  EXPECT_EQ(alone.locked, 0);
}

TEST_F(SemaphoreTest, AnotherProgramHoldingTheFirstByteRefusesTheTagHeaderWrite) {
  table_ = MakeIndexedTable({});
  Child other([this](Child& self) {
    const int fd = ::open(dir_.File("T.MDX").c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    if (fd < 0 || ::fcntl(fd, F_SETLK, &lock) != 0) return 1;
    self.Send();
    self.Receive();
    return 0;
  });
  ASSERT_EQ(other.Receive(), '.');
  OpenShared();
  std::uint16_t code = 0;
  std::string message;
  AppendUntil(
      [&] {
        code = EngineErrorCode;
        message = LastErrorMessage;
        return code != 0;
      },
      200);
  other.Send();
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(code, os::kIoLockViolation);
  EXPECT_EQ(message.rfind("Could not lock index for writing anchor node ", 0), 0u) << message;
}

TEST_F(SemaphoreTest, AKeyErrorRaisedInsideAnEditClosesTheBracketAndReleasesTheRecordLock) {
  // The key 100/NUM of tag INV cannot be made for a record whose NUM is 0. Record 2 gets that
  // value behind the index's back, so that the key of the record as stored fails while the edit
  // holds the update bracket (remembering the record's old keys).
  Use(table_ + " EXCLUSIVE");
  TagDefinition inverse;
  inverse.name = "INV";
  inverse.key_expression = "100/NUM";
  ASSERT_TRUE(MakeIndex({inverse}));
  CloseAll();
  std::vector<Row> rows = kRows;
  rows[1].num = 0;
  test::WriteBytes(table_, test::TableBytes(rows));
  OpenShared();
  CodeOf([] { GO(2); });  // reports the key that cannot be made, but stands on the record
  ASSERT_EQ(RecNo(), 2);
  const std::uint64_t record_lock = RecordLockOffset(*SelectedTable(), 2);
  const std::uint64_t record_length = SelectedTable()->record_length;
  std::string raised;
  {
    ScopedLock lock(ScopedLock::Kind::kRecord);
    ASSERT_TRUE(lock.held());
    RecordImage::Of(*SelectedTable()).SetNumber(2, 7);
    try {
      REPLACE();
    } catch (const EVexelError& e) {
      raised = e.Message();
    }
  }
  EXPECT_NE(raised.find("Key expression cannot be evaluated for record 2 [tag: INV]"),
            std::string::npos)
      << raised;
  EXPECT_FALSE(IsLocked(2));
  // The bracket was closed: the region given back and the update counted.
  EXPECT_EQ(Record(), (Bytes{1, 0, 1, 0}));
  Child other([&](Child&) {
    const bool region = LockedElsewhere(semaphore_, 1, 4);
    const bool record =
        LockedElsewhere(table_, static_cast<off_t>(record_lock), static_cast<off_t>(record_length));
    return region || record ? 1 : 0;
  });
  EXPECT_EQ(other.Wait(), 0) << "another program still finds the region or the record locked";
  // Nothing is left counted: the next edit opens the bracket again and counts its update.
  GO(1);
  EXPECT_EQ(EditCode("ECHO"), 0) << LastErrorMessage;
  Unlock();
  EXPECT_EQ(Record(), (Bytes{1, 0, 2, 0}));
}

}  // namespace
}  // namespace vx
