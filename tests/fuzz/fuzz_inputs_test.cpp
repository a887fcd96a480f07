// Every input with which a fuzz target once found a fault (a crash, a sanitizer report, a hang
// or a slow unit), fed again through the same reading. The inputs are in inputs/table,
// inputs/memo, inputs/index, inputs/ndx and inputs/cdx (seeds of the .NDX and .CDX reading); a new
// finding is added there as its file.

#include "fuzz/fuzz_inputs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/startup/engine_startup.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

std::vector<std::filesystem::path> Inputs(const std::string& kind) {
  std::vector<std::filesystem::path> files;
  const auto dir = std::filesystem::path(VX_SOURCE_DIR) / "tests/fuzz/inputs" / kind;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

class FuzzInputsTest : public ::testing::Test {
 protected:
  void SetUp() override { InitEngine(); }
  void TearDown() override { ShutdownEngine(); }
  test::TempDir dir_;
};

TEST_F(FuzzInputsTest, EveryFindingReadsToTheEnd) {
  for (const char* kind : {"table", "memo", "index", "ndx", "cdx"}) {
    const auto files = Inputs(kind);
    EXPECT_FALSE(files.empty()) << kind;
    for (const auto& file : files) {
      SCOPED_TRACE(file.string());
      const auto bytes = test::ReadBytes(file.string());
      if (std::string(kind) == "table") {
        fuzz::ReadTableBytes(dir_.path().string(), bytes.data(), bytes.size());
      } else if (std::string(kind) == "cdx") {
        fuzz::ReadCdxBytes(dir_.path().string(), bytes.data(), bytes.size());
      } else if (std::string(kind) == "ndx") {
        fuzz::ReadNdxBytes(dir_.path().string(), bytes.data(), bytes.size());
      } else if (std::string(kind) == "index") {
        fuzz::ReadIndexBytes(dir_.path().string(), bytes.data(), bytes.size());
      } else {
        fuzz::ReadMemoBytes(dir_.path().string(), bytes.data(), bytes.size());
      }
    }
  }
}

}  // namespace
}  // namespace vx
