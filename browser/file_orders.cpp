#include "browser/file_orders.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "engine/foundation/errors.h"
#include "engine/index/cdx_orders.h"
#include "engine/index/ndx_orders.h"

namespace vx::browser {

namespace {

// Reports the error a quiet engine call recorded (the code it left, else 222): raises.
[[noreturn]] void Raise(const std::string& fallback) {
  const std::uint16_t code = EngineErrorCode != 0 ? EngineErrorCode : std::uint16_t{222};
  const std::string message = !LastErrorMessage->empty() ? std::string(LastErrorMessage) : fallback;
  SetEngineError(code, message);
  HandleEngineError();
  throw std::runtime_error(message);  // reporting was switched off
}

// The records of a walk, which stops past the table's record count (a damaged tree).
template <typename WalkFn>
std::vector<std::int32_t> WalkRecords(const TableRecord& table, const std::string& path,
                                      WalkFn walk) {
  std::vector<std::int32_t> records;
  const auto most = static_cast<std::size_t>(std::max(table.record_count, 0));
  bool stopped = false;
  QuietErrors quiet;
  const bool walked = walk([&](const std::uint8_t*, std::uint32_t record) {
    records.push_back(static_cast<std::int32_t>(record));
    stopped = records.size() > most;
    return !stopped;
  });
  // A walk that fails is no order: the records it did not reach would be missing unsaid.
  if (stopped) Raise(path + " holds more keys than the table has records");
  if (!walked) Raise(path + " cannot be read");
  return records;
}

class CdxTagOrder : public FileOrder {
 public:
  CdxTagOrder(std::shared_ptr<CdxIndex> cdx, std::size_t tag) : cdx_(std::move(cdx)), tag_(tag) {}

  std::string Name() const override { return cdx_->file.tags()[tag_].name + " (.CDX)"; }
  std::string Path() const override { return cdx_->file.path(); }
  std::string KeyExpression() const override {
    return cdx_->file.tags()[tag_].header.key_expression;
  }

  std::vector<std::int32_t> Records(TableRecord& table) override {
    return WalkRecords(table, Path(), [&](const auto& each) {
      const CdxReadHold hold(cdx_->file);
      return hold.held() && cdx_->file.Walk(cdx_->file.tags()[tag_], each);
    });
  }

  std::uint32_t Seek(TableRecord&, const std::string& key_text, bool& found) override {
    const CdxTagKeys& keys = cdx_->keys[tag_];
    if (!keys.unusable.empty()) {
      SetEngineError(
          220, "tag " + cdx_->file.tags()[tag_].name + " cannot be searched: " + keys.unusable);
      HandleEngineError();
    }
    KeyBuffer wanted{};
    int length = 0;
    CdxSearchKey(*cdx_, tag_, key_text, false, wanted, length);
    std::string there;
    std::uint32_t record = 0;
    bool any = false;
    {
      QuietErrors quiet;
      const CdxReadHold hold(cdx_->file);
      const CdxTag& tag = cdx_->file.tags()[tag_];
      if (!hold.held() || !cdx_->file.Seek(tag, wanted.data(), length, any, there, record))
        Raise(Path() + " cannot be searched");
      found = any && there.size() >= static_cast<std::size_t>(length) &&
              CdxFile::Compare(tag, reinterpret_cast<const std::uint8_t*>(there.data()),
                               wanted.data(), length) == 0;
    }
    return any ? record : 0;
  }

 private:
  std::shared_ptr<CdxIndex> cdx_;
  std::size_t tag_;
};

class NdxOrder : public FileOrder {
 public:
  explicit NdxOrder(std::unique_ptr<NdxIndex> ndx) : ndx_(std::move(ndx)) {}

  std::string Name() const override {
    return std::filesystem::path(ndx_->file.path()).filename().string();
  }
  std::string Path() const override { return ndx_->file.path(); }
  std::string KeyExpression() const override { return ndx_->file.header().expression; }

  std::vector<std::int32_t> Records(TableRecord& table) override {
    return WalkRecords(table, Path(), [&](const auto& each) {
      const NdxReadHold hold(ndx_->file);
      return hold.held() && ndx_->file.Walk(each);
    });
  }

  std::uint32_t Seek(TableRecord&, const std::string& key_text, bool& found) override {
    KeyBuffer wanted{};
    int length = 0;
    NdxSearchKey(*ndx_, key_text, false, wanted, length);
    std::string there;
    std::uint32_t record = 0;
    bool any = false;
    QuietErrors quiet;
    const NdxReadHold hold(ndx_->file);
    if (!hold.held() || !ndx_->file.Seek(wanted.data(), length, any, there, record))
      Raise(Path() + " cannot be searched");
    found = any && there.size() >= static_cast<std::size_t>(length) &&
            ndx_->file.Compare(reinterpret_cast<const std::uint8_t*>(there.data()), wanted.data(),
                               length) == 0;
    return any ? record : 0;
  }

 private:
  std::unique_ptr<NdxIndex> ndx_;
};

}  // namespace

std::vector<std::unique_ptr<FileOrder>> FileOrder::CdxTagsOf(TableRecord& table) {
  std::vector<std::unique_ptr<FileOrder>> orders;
  if (!UsesStructuralCdx(table)) return orders;
  auto cdx = std::make_shared<CdxIndex>();
  {
    QuietErrors quiet;
    if (!OpenCdxFor(table, CdxPath(table, {}), *cdx)) Raise(CdxPath(table, {}) + " cannot be read");
  }
  for (std::size_t n = 0; n < cdx->file.tags().size(); ++n)
    orders.push_back(std::make_unique<CdxTagOrder>(cdx, n));
  return orders;
}

std::unique_ptr<FileOrder> FileOrder::Ndx(TableRecord& table, const std::string& path) {
  auto ndx = std::make_unique<NdxIndex>();
  const std::string full = NdxPath(table, path);
  {
    QuietErrors quiet;
    if (!OpenNdxFor(table, full, *ndx, false)) Raise(full + " cannot be read");
  }
  return std::make_unique<NdxOrder>(std::move(ndx));
}

}  // namespace vx::browser
