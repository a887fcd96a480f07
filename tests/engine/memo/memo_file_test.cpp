// Memo files on their own: the bytes each kind writes, damaged files, the dBASE IV free chain,
// and a random run checked against a map of texts.

#include "engine/memo/memo_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <span>

#include "engine/foundation/errors.h"
#include "engine/table/dbf_records.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

class MemoFileTest : public ::testing::Test {
 protected:
  // Creates the empty memo file of a new table of `version` and opens it.
  std::string Create(std::uint8_t version, std::uint16_t block_size = 512) {
    m_ = MemoFile{};
    const std::string table = dir_.File("t.dbf");
    CreateMemoFileForTable(table, version, block_size, "test");
    const std::string path = dir_.File(version == kVersionFoxProMemo ? "t.fpt" : "t.dbt");
    Reopen(path, version);
    return path;
  }
  void Reopen(const std::string& path, std::uint8_t version) {
    m_ = MemoFile{};
    ASSERT_EQ(OpenMemoFile(path, version, os::kOpenReadWriteDenyAll, false, m_), 0);
  }
  std::string Read(std::int32_t block) {
    std::string text;
    EXPECT_TRUE(ReadMemoText(m_, block, text, "test")) << LastErrorMessage;
    return text;
  }
  // The code a quiet read of `block` leaves.
  std::uint16_t ReadCode(std::int32_t block) {
    QuietErrors quiet;
    EngineErrorCode = 0;
    std::string text;
    ReadMemoText(m_, block, text, "test");
    return EngineErrorCode;
  }
  std::uint16_t WriteCode(std::int32_t old_block, const std::string& text) {
    QuietErrors quiet;
    EngineErrorCode = 0;
    WriteMemo(m_, old_block, text, "test");
    return EngineErrorCode;
  }
  // The memo file's bytes, read and written through the open that holds it deny-all (Windows
  // lets no other open read or write it meanwhile).
  std::vector<unsigned char> Bytes() {
    std::uint64_t size = 0;
    EXPECT_EQ(m_.file.Size(size), 0);
    std::vector<unsigned char> b(static_cast<std::size_t>(size));
    std::size_t got = 0;
    EXPECT_EQ(m_.file.ReadAt(0, std::as_writable_bytes(std::span(b)), got), 0);
    b.resize(got);
    return b;
  }
  void Put(const std::vector<unsigned char>& b) {
    ASSERT_EQ(m_.file.Truncate(0), 0);
    ASSERT_EQ(m_.file.WriteAt(0, std::as_bytes(std::span(b))), 0);
  }

  test::TempDir dir_;
  MemoFile m_;
};

std::vector<unsigned char> Le32(std::uint32_t v) {
  return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}
std::vector<unsigned char> Slice(const std::vector<unsigned char>& b, std::size_t at,
                                 std::size_t n) {
  return {b.begin() + static_cast<std::ptrdiff_t>(at),
          b.begin() + static_cast<std::ptrdiff_t>(at + n)};
}

TEST_F(MemoFileTest, Dbase3MemoOverwritesTheEndByteAndPadsItsBlocks) {
  Create(kVersionDbase3Memo);
  const std::string text(1000, 'x');
  ASSERT_EQ(WriteMemo(m_, 0, text, "test"), 1);  // the 513-byte file's stray end byte goes
  const auto b = Bytes();
  ASSERT_EQ(b.size(), 1536u);  // header block + two blocks
  EXPECT_EQ(Slice(b, 0, 4), Le32(3));
  EXPECT_EQ(b[512 + 999], 'x');
  EXPECT_EQ(b[512 + 1000], 0x1A);
  for (std::size_t i = 512 + 1002; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << i;
  EXPECT_EQ(Read(1), text);
  ASSERT_EQ(WriteMemo(m_, 1, "second", "test"), 3);  // dBASE III always appends
  EXPECT_EQ(Read(1), text);
  EXPECT_EQ(Read(3), "second");
  // Read in pieces (the first block, then larger ones): texts that end right at a block's end
  // or go on over several pieces read whole.
  for (const std::size_t length : {511, 512, 513, 4096 + 512, 9000}) {
    const std::string long_text(length, static_cast<char>('a' + length % 26));
    const std::int32_t block = WriteMemo(m_, 0, long_text, "test");
    EXPECT_EQ(Read(block), long_text) << length;
  }
}

TEST_F(MemoFileTest, BlockHeadersOfDbase4AndFoxPro) {
  Create(kVersionDbase4Memo, 64);
  ASSERT_EQ(WriteMemo(m_, 0, "Hello", "test"), 1);
  auto b = Bytes();
  ASSERT_EQ(b.size(), 128u);
  EXPECT_EQ(Slice(b, 64, 13), (std::vector<unsigned char>{0xFF, 0xFF, 0x08, 0x00, 13, 0, 0, 0, 'H',
                                                          'e', 'l', 'l', 'o'}));
  EXPECT_EQ(Slice(b, 0, 4), Le32(2));  // the chain's end value follows the end of the file

  Create(kVersionFoxProMemo, 64);
  ASSERT_EQ(WriteMemo(m_, 0, "Hello", "test"), 8);  // after the 512-byte header
  b = Bytes();
  EXPECT_EQ(Slice(b, 0, 8), (std::vector<unsigned char>{0, 0, 0, 9, 0, 0, 0, 64}));
  EXPECT_EQ(Slice(b, 512, 13),
            (std::vector<unsigned char>{0, 0, 0, 1, 0, 0, 0, 5, 'H', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(Read(8), "Hello");
}

TEST_F(MemoFileTest, HeaderFallsBackToTheDefaultBlockSize) {
  const std::string path = Create(kVersionFoxProMemo, 64);
  auto b = Bytes();
  b[6] = b[7] = 0;
  Put(b);
  Reopen(path, kVersionFoxProMemo);
  EXPECT_EQ(m_.block_size, 512u);
}

TEST_F(MemoFileTest, Dbase3BlockInADbase4FileReadsToItsEndByte) {
  Create(kVersionDbase4Memo);
  auto b = Bytes();
  b.resize(1024, 0);
  std::memcpy(&b[512], "old text\x1Atrailing", 17);
  Put(b);
  EXPECT_EQ(Read(1), "old text");
}

TEST_F(MemoFileTest, DamagedFilesFailWith1003) {
  Create(kVersionDbase4Memo);
  ASSERT_EQ(WriteMemo(m_, 0, "first", "test"), 1);
  EXPECT_EQ(ReadCode(0), 1003);
  EXPECT_EQ(ReadCode(2), 1003);  // past the end
  EXPECT_EQ(ReadCode(-5), 1003);
  auto b = Bytes();
  const auto good = b;
  std::memcpy(&b[516], Le32(4000).data(), 4);  // a length beyond the file
  Put(b);
  EXPECT_EQ(ReadCode(1), 1003);
  std::memcpy(&b[516], Le32(3).data(), 4);  // shorter than its own header
  Put(b);
  EXPECT_EQ(ReadCode(1), 1003);

  Create(kVersionFoxProMemo);
  ASSERT_EQ(WriteMemo(m_, 0, "fox", "test"), 1);
  b = Bytes();
  b[512 + 4] = 0x7F;  // big-endian length far beyond the file
  Put(b);
  EXPECT_EQ(ReadCode(1), 1003);
}

// A chain whose links loop, or that names a memo as free, stops a write with 1003 and leaves
// every memo as it was. (The damage is found when the file is opened: an exclusive open keeps
// its copy of the chain, and nobody else writes to the file meanwhile.)
TEST_F(MemoFileTest, DamagedChainStopsWritesWithoutTouchingMemos) {
  const std::string path = Create(kVersionDbase4Memo);
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(WriteMemo(m_, 0, std::string(600, 'a' + i), "test"), 1 + 2 * i);
  ASSERT_EQ(WriteMemo(m_, 3, "", "test"), 0);  // frees blocks 3-4
  auto b = Bytes();
  ASSERT_EQ(Slice(b, 0, 4), Le32(3));
  ASSERT_EQ(Slice(b, 3 * 512, 8), (std::vector<unsigned char>{9, 0, 0, 0, 2, 0, 0, 0}));

  auto looped = b;
  std::memcpy(&looped[3 * 512], Le32(3).data(), 4);  // the group names itself
  Put(looped);
  Reopen(path, kVersionDbase4Memo);
  EXPECT_EQ(WriteCode(0, std::string(2000, 'z')), 1003);
  EXPECT_EQ(Bytes(), looped);

  auto at_memo = b;
  std::memcpy(&at_memo[0], Le32(5).data(), 4);  // the head names the memo at block 5
  Put(at_memo);
  Reopen(path, kVersionDbase4Memo);
  EXPECT_EQ(WriteCode(0, std::string(2000, 'z')), 1003);
  EXPECT_EQ(Read(5), std::string(600, 'c'));
  EXPECT_TRUE(SummarizeMemo(m_).chain_damaged);
}

// A refused write leaves the file exactly as it was: the padding to a whole block is written
// only once the free chain has been checked, so a file that ends in a part block stays as long.
TEST_F(MemoFileTest, RefusedWriteDoesNotPadTheFile) {
  struct Case {
    const char* what;
    std::function<void(std::vector<unsigned char>&)> damage;
  };
  const Case cases[] = {
      {"group names itself",
       [](std::vector<unsigned char>& b) { std::memcpy(&b[3 * 512], Le32(3).data(), 4); }},
      {"head names a memo",
       [](std::vector<unsigned char>& b) { std::memcpy(&b[0], Le32(5).data(), 4); }},
      {"block size mutated to 1024", [](std::vector<unsigned char>& b) { b[21] = 4; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Create(kVersionDbase4Memo);
    for (int i = 0; i < 4; ++i)
      ASSERT_EQ(WriteMemo(m_, 0, std::string(600, 'a' + i), "t"), 1 + 2 * i);
    ASSERT_EQ(WriteMemo(m_, 3, "", "test"), 0);  // frees blocks 3-4
    auto b = Bytes();
    c.damage(b);
    b.resize(b.size() + 100, 'x');  // a part block at the end
    Put(b);
    Reopen(path, kVersionDbase4Memo);
    EXPECT_EQ(WriteCode(0, std::string(2000, 'z')), 1003);
    EXPECT_EQ(Bytes(), b);
    EXPECT_EQ(FileSize(m_), b.size());  // the planned size does not outlive the write
  }
}

// A group that names itself as the next one, met by an allocation of exactly its size: taking
// it would leave the head on a block now in use.
TEST_F(MemoFileTest, ExactFitOfAGroupThatLinksToItselfIsRefused) {
  const std::string path = Create(kVersionDbase4Memo);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(WriteMemo(m_, 0, std::string(600, 'a' + i), "test"), 1 + 2 * i);
  }
  ASSERT_EQ(WriteMemo(m_, 3, "", "test"), 0);  // frees blocks 3-4
  auto looped = Bytes();
  std::memcpy(&looped[3 * 512], Le32(3).data(), 4);
  Put(looped);
  Reopen(path, kVersionDbase4Memo);
  EXPECT_EQ(WriteCode(0, std::string(600, 'z')), 1003);  // two blocks: the group's size
  EXPECT_EQ(Bytes(), looped);
}

// A full disk while a memo is written: the code is the write error, the memos before it read as
// they did, nothing of the new one stays, and with room again the next write succeeds.
TEST_F(MemoFileTest, FullDiskDuringAMemoWriteLeavesTheFileAsItWas) {
  for (const std::uint8_t version : {kVersionDbase3Memo, kVersionDbase4Memo, kVersionFoxProMemo}) {
    SCOPED_TRACE(static_cast<int>(version));
    const std::string path = Create(version);
    const std::string first(700, 'a');
    const std::int32_t block = WriteMemo(m_, 0, first, "test");
    ASSERT_GT(block, 0);
    const auto before = Bytes();
    const MemoSummary summary = SummarizeMemo(m_);
    {
      test::FaultInjection faults;
      faults.DiskFull(path, 100);
      EXPECT_EQ(WriteCode(0, std::string(3000, 'b')), 101);
      EXPECT_EQ(WriteCode(block, std::string(3000, 'c')), 101);  // a replacement, too
      EXPECT_GT(faults.fired(), 0);
    }
    const auto after = Bytes();
    ASSERT_LE(after.size(), (before.size() + 511) / 512 * 512);  // at most the padding
    // The chain's end value (dBASE IV moves it before the write) names the file's end again,
    // not blocks past it.
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
    const MemoSummary now = SummarizeMemo(m_);
    EXPECT_FALSE(now.chain_damaged);
    EXPECT_EQ(now.chain_blocks, summary.chain_blocks);
    EXPECT_EQ(now.next_free, summary.next_free);
    EXPECT_EQ(Read(block), first);
    const std::int32_t next = WriteMemo(m_, 0, "room again", "test");
    EXPECT_EQ(Read(next), "room again");
    EXPECT_EQ(Read(block), first);
  }
}

TEST_F(MemoFileTest, HeaderThatLiesBeyondTheFileMeansAnEmptyChain) {
  Create(kVersionDbase4Memo);
  auto b = Bytes();
  std::memcpy(&b[0], Le32(16777216).data(), 4);
  Put(b);
  ASSERT_EQ(WriteMemo(m_, 0, "text", "test"), 1);
  EXPECT_EQ(Slice(Bytes(), 0, 4), Le32(2));
}

TEST_F(MemoFileTest, SmallerTextKeepsItsPlaceAndFreesTheRest) {
  Create(kVersionDbase4Memo);
  ASSERT_EQ(WriteMemo(m_, 0, std::string(1200, 'a'), "test"), 1);  // blocks 1-3
  ASSERT_EQ(WriteMemo(m_, 0, "next", "test"), 4);
  ASSERT_EQ(WriteMemo(m_, 1, std::string(700, 'b'), "test"), 1);  // needs 2
  const auto b = Bytes();
  EXPECT_EQ(Slice(b, 0, 4), Le32(3));
  EXPECT_EQ(Slice(b, 3 * 512, 8), (std::vector<unsigned char>{5, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Read(1), std::string(700, 'b'));
  EXPECT_EQ(Read(4), "next");
  // Exactly two blocks (504 + 8 = 1024 bytes) fit in the two kept: no neighbour is claimed.
  ASSERT_EQ(WriteMemo(m_, 1, std::string(1016, 'c'), "test"), 1);
  EXPECT_EQ(Read(4), "next");
}

TEST_F(MemoFileTest, ReleasedNeighboursMergeIntoOneGroup) {
  Create(kVersionDbase4Memo);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(WriteMemo(m_, 0, std::string(100, 'a'), "test"), i + 1);
  ASSERT_EQ(WriteMemo(m_, 1, "", "test"), 0);
  ASSERT_EQ(WriteMemo(m_, 3, "", "test"), 0);
  ASSERT_EQ(WriteMemo(m_, 2, "", "test"), 0);
  const MemoSummary s = SummarizeMemo(m_);
  EXPECT_EQ(s.chain_groups, 1u);
  EXPECT_EQ(s.chain_blocks, 3u);
  EXPECT_EQ(WriteMemo(m_, 0, std::string(1400, 'z'), "test"), 1);  // the merged group
  EXPECT_EQ(Read(4), std::string(100, 'a'));
}

// Random replacements checked against a map of texts, in every kind; for dBASE IV the file
// must stay within kFactor times the blocks the live memos need (plus the header block).
TEST_F(MemoFileTest, RandomRewritesMatchAModelAndReuseFreedBlocks) {
  constexpr double kFactor = 2.0;
  const unsigned seed = std::random_device{}();
  std::printf("MemoFileTest seed %u\n", seed);
  SCOPED_TRACE(seed);
  for (std::uint8_t version : {kVersionDbase3Memo, kVersionDbase4Memo, kVersionFoxProMemo}) {
    SCOPED_TRACE(version);
    Create(version, version == kVersionFoxProMemo ? 64 : 512);
    std::mt19937 random(seed);
    std::map<int, std::string> model;      // memo number -> text
    std::map<int, std::int32_t> block_of;  // memo number -> block
    const int rounds = version == kVersionDbase4Memo ? 1000 : 300;
    for (int round = 0; round < rounds + 100; ++round) {
      const int memo = round < 100 ? round : static_cast<int>(random() % 100);
      const std::size_t length = random() % 8 == 0 ? 0 : random() % 3000;
      std::string text(length, static_cast<char>('a' + random() % 26));
      for (std::size_t i = 0; i < length; i += 97) text[i] = static_cast<char>('0' + i % 10);
      const std::int32_t block = WriteMemo(m_, block_of[memo], text, "test");
      ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
      block_of[memo] = block;
      model[memo] = text;
    }
    std::uint64_t live_blocks = 1;
    for (const auto& [memo, text] : model) {
      SCOPED_TRACE(memo);
      if (text.empty()) {
        EXPECT_EQ(block_of[memo], 0);
        continue;
      }
      EXPECT_EQ(Read(block_of[memo]), text);
      live_blocks += (text.size() + 8 + m_.block_size - 1) / m_.block_size;
    }
    if (version == kVersionDbase4Memo) {
      const MemoSummary s = SummarizeMemo(m_);
      EXPECT_FALSE(s.chain_damaged);
      EXPECT_LE(BlockCount(m_), kFactor * static_cast<double>(live_blocks));
      EXPECT_EQ(BlockCount(m_), live_blocks + s.chain_blocks);  // every block is live or free
    }
  }
}

// Two shared opens of one file take turns, as two programs do: each keeps its own copy of the
// free space, and must see the other's writes before it places a memo or frees blocks. Checked
// against a model of texts in every kind; dBASE IV files must also keep every block live or free.
TEST_F(MemoFileTest, TwoSharedOpensTakingTurnsKeepEachOthersMemos) {
  const unsigned seed = std::random_device{}();
  std::printf("MemoFileTest seed %u\n", seed);
  SCOPED_TRACE(seed);
  for (std::uint8_t version : {kVersionDbase3Memo, kVersionDbase4Memo, kVersionFoxProMemo}) {
    SCOPED_TRACE(version);
    const std::string path = Create(version, 64);
    m_ = MemoFile{};
    MemoFile opens[2];
    for (MemoFile& open : opens) {
      ASSERT_EQ(OpenMemoFile(path, version, os::kOpenReadWriteDenyNone, true, open), 0);
    }
    std::mt19937 random(seed);
    std::map<int, std::string> model;
    std::map<int, std::int32_t> block_of;
    for (int round = 0; round < 300; ++round) {
      MemoFile& open = opens[random() % 2];
      const int memo = static_cast<int>(random() % 30);
      const std::size_t length = random() % 6 == 0 ? 0 : random() % 400;
      const std::string text(length, static_cast<char>('a' + round % 26));
      const std::int32_t old_block = block_of[memo];
      const std::int32_t block = WriteMemo(open, old_block, text, "test");
      ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
      // What the dataset does once the record names the new memo: the old one goes back.
      if (old_block != 0 && old_block != block) {
        ASSERT_TRUE(ReleaseMemoBlocks(open, old_block, "test"));
      }
      block_of[memo] = block;
      model[memo] = text;
    }
    MemoFile check;
    ASSERT_EQ(OpenMemoFile(path, version, os::kOpenReadOnlyDenyNone, false, check), 0);
    std::uint64_t live_blocks = 0;
    for (const auto& [memo, text] : model) {
      SCOPED_TRACE(memo);
      if (text.empty()) continue;
      std::string read;
      ASSERT_TRUE(ReadMemoText(check, block_of[memo], read, "test"));
      EXPECT_EQ(read, text);
      live_blocks += (text.size() + 8 + 63) / 64;
    }
    if (version == kVersionDbase4Memo) {
      const MemoSummary s = SummarizeMemo(check);
      EXPECT_FALSE(s.chain_damaged);
      EXPECT_EQ(BlockCount(check), 1 + live_blocks + s.chain_blocks);
    }
  }
}

}  // namespace
}  // namespace vx
