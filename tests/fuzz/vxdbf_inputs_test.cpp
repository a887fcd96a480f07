// The vxdbf command-line fuzz target's inputs run again: every seed of fuzz/vxdbf_corpus must
// succeed (a seed that fails its parse would only teach the fuzzer usage errors), and every
// finding in inputs/vxdbf must end with one of vxdbf's exit statuses. File names stay inside
// the scratch folder.

#include "fuzz/vxdbf_inputs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "engine/startup/engine_startup.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> FilesIn(const fs::path& dir) {
  std::vector<fs::path> files;
  if (!fs::exists(dir)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

class VxdbfInputsTest : public ::testing::Test {
 protected:
  void SetUp() override { InitEngine(); }
  void TearDown() override { ShutdownEngine(); }
  int Run(const std::vector<unsigned char>& bytes) {
    return fuzz::RunVxdbfBytes(dir_.path().string(), bytes.data(), bytes.size());
  }
  test::TempDir dir_;
};

TEST_F(VxdbfInputsTest, EverySeedSucceedsAndEveryFindingEnds) {
  const auto seeds = FilesIn(fs::path(VX_SOURCE_DIR) / "fuzz/vxdbf_corpus");
  EXPECT_GE(seeds.size(), 20u);
  for (const auto& file : seeds) {
    SCOPED_TRACE(file.string());
    EXPECT_EQ(Run(test::ReadBytes(file.string())), 0);
  }
  for (const auto& file : FilesIn(fs::path(VX_SOURCE_DIR) / "tests/fuzz/inputs/vxdbf")) {
    SCOPED_TRACE(file.string());
    const int status = Run(test::ReadBytes(file.string()));
    EXPECT_TRUE(status >= 0 && status <= 4) << status;
  }
}

TEST_F(VxdbfInputsTest, ArgumentsStayInsideTheScratchFolder) {
  const fs::path outside = dir_.path() / "outside.dbf";
  const std::string line = "create\t" + outside.string() + "\t--field\tA,C,5\n";
  EXPECT_EQ(Run(std::vector<unsigned char>(line.begin(), line.end())), 0);
  EXPECT_FALSE(fs::exists(outside));
  const std::string text = "set\tT.DBF\t--wait\t9\t--retries=200\nrest";
  const auto input =
      fuzz::ParseCommandInput(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  EXPECT_EQ(input.args, (std::vector<std::string>{"set", "T.DBF", "--wait", "0", "--retries=0"}));
  EXPECT_EQ(input.standard_input, "rest");
}

}  // namespace
}  // namespace vx
