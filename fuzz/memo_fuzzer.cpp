// Fuzz target: the first byte picks the memo kind (dBASE III, dBASE IV, FoxPro), the rest is the
// memo file. Every block is read as a memo, the free chain is summarised, and one allocation
// walks the chain. Errors are expected; crashes, sanitizer reports and loops are not.

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/foundation/errors.h"
#include "engine/memo/memo_file.h"
#include "fuzz/fuzz_support.h"
#include "platform/os/file.h"

namespace {

constexpr std::uint32_t kMaxBlocks = 4000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static constexpr std::uint8_t kVersions[] = {vx::kVersionDbase3Memo, vx::kVersionDbase4Memo,
                                               vx::kVersionFoxProMemo};
  const std::uint8_t version = kVersions[data[0] % 3];
  vx::fuzz::ScratchDir();
  const std::string path = vx::fuzz::WriteScratch(
      version == vx::kVersionFoxProMemo ? "FUZZ.FPT" : "FUZZ.DBT", data + 1, size - 1);
  vx::QuietErrors quiet;
  vx::MemoFile m;
  if (vx::OpenMemoFile(path, version, vx::os::kOpenReadWriteDenyAll, false, m) != 0) return 0;
  const std::uint32_t blocks = vx::BlockCount(m);
  for (std::uint32_t b = 1; b < blocks && b < kMaxBlocks; ++b) {
    std::string text;
    vx::ReadMemoText(m, static_cast<std::int32_t>(b), text, "fuzz");
  }
  vx::SummarizeMemo(m);
  vx::AllocateBlocks(m, 1 + data[0] / 3 % 8, "fuzz");
  return 0;
}
