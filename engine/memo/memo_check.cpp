#include "engine/memo/memo_check.h"

#include <charconv>

#include "engine/foundation/errors.h"
#include "engine/memo/memo_state.h"
#include "engine/table/dbf_file.h"
#include "engine/workarea/hooks.h"

namespace vx {

namespace {

MemoOpenType& SavedMemoOpen() { return CurrentState<MemoState>().tolerant_saved_open; }

std::uint16_t OpenMemoTolerantly(TableRecord& t, const std::string& base_name) {
  const std::uint16_t code = SavedMemoOpen()(t, base_name);
  if (code != 0) {
    const std::string name =
        DerivedFileName(t.file_name, MemoExtension(MemoVersionOf(t.version())));
    TolerantMemoOpen::Failure() =
        "the table has memo fields, but " + name + " cannot be opened: " + ErrorDescription(code);
    TolerantMemoOpen::FailureCode() = code;
  }
  return 0;
}

}  // namespace

TolerantMemoOpen::TolerantMemoOpen()
    : outermost_(MemoOpenProc != OpenMemoTolerantly), saved_(MemoOpenProc) {
  if (!outermost_) return;
  Failure().clear();
  SavedMemoOpen() = MemoOpenProc;
  if (MemoOpenProc != nullptr) MemoOpenProc = OpenMemoTolerantly;
}

TolerantMemoOpen::~TolerantMemoOpen() {
  if (outermost_) MemoOpenProc = saved_;
}

std::string& TolerantMemoOpen::Failure() { return CurrentState<MemoState>().tolerant_failure; }

std::uint16_t& TolerantMemoOpen::FailureCode() {
  return CurrentState<MemoState>().tolerant_failure_code;
}

namespace {

constexpr std::string_view kLabel = "check";
constexpr std::uint32_t kFoxProObject = 2;

}  // namespace

MemoPointerCheck::MemoPointerCheck(MemoFile& m)
    : m_(m), size_(FileSize(m)), first_block_(FirstMemoBlock(m)) {}

std::string MemoPointerCheck::Check(std::string_view stored) {
  // Writers pad the number with blanks (or leave the field zero-filled).
  const auto blank = [](char c) { return c == ' ' || c == '\0'; };
  while (!stored.empty() && blank(stored.front())) stored.remove_prefix(1);
  while (!stored.empty() && blank(stored.back())) stored.remove_suffix(1);
  if (stored.empty()) return {};
  std::uint32_t block = 0;
  const auto parsed = std::from_chars(stored.data(), stored.data() + stored.size(), block);
  if (parsed.ec != std::errc() || parsed.ptr != stored.data() + stored.size() ||
      block > 0x7FFFFFFF) {
    return "\"" + std::string(stored) + "\" is not a block number";
  }
  if (block == 0) return {};
  const std::string where = "block " + std::to_string(block);
  if (block < first_block_) {
    return where + " lies in the memo file's header (memos start at block " +
           std::to_string(first_block_) + ")";
  }
  const std::uint64_t offset = std::uint64_t{block} * m_.block_size;
  if (size_ == 0 || offset >= size_ - 1) {
    return where + " lies past the end of the memo file (" + std::to_string(size_) + " bytes, " +
           std::to_string(m_.block_size) + " per block)";
  }
  QuietErrors quiet;
  MemoBlockInfo info;
  if (!ReadBlockInfo(m_, static_cast<std::int32_t>(block), info, kLabel)) {
    if (EngineErrorCode == 1003) {
      return where + ": its block header gives a length that does not fit the memo file";
    }
    return where + " cannot be read: " + ErrorDescription(EngineErrorCode);
  }
  if (m_.kind == MemoKind::kFoxPro && info.type > kFoxProObject) {
    return where + ": its block header gives the record type " + std::to_string(info.type) +
           ", not picture, text or object";
  }
  if (info.length >= 0) return {};
  // No length: the text ends at its first 0x1A.
  if (info.data_start >= unended_from_ && info.data_start < unended_to_) {
    return where + ": the memo has no end marker (0x1A)";
  }
  std::string text;
  bool unterminated = false;
  if (!ReadMemoText(m_, static_cast<std::int32_t>(block), text, kLabel, nullptr, &unterminated)) {
    return where + " cannot be read: " + ErrorDescription(EngineErrorCode);
  }
  if (!unterminated) return {};
  unended_from_ = info.data_start;
  unended_to_ = info.data_start + text.size();
  return where + ": the memo has no end marker (0x1A)";
}

}  // namespace vx
