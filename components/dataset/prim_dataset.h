#pragma once
// TVxPrimDataset: the bridge between the dataset framework (TDataSet) and a record store. It owns
// the layout of the framework's record buffers and maps every cursor operation the framework
// delegates onto the 26 virtual operations of the record interface. It stores nothing itself:
// the table dataset (table_dataset.h) implements the interface over the engine's work areas.
//
// Record buffer, as the framework allocates it:
//
//   PART               SIZE                      CONTENT
//   logical record     RecordDataSize()          the implementing class's own layout
//   calculated fields  CalcFieldsSize()          per field: has-value byte, then the value
//   blob cache         4 per blob field          reserved, one slot per blob field
//   record info        6                         see kRecordInfo* below
//   bookmark           BookmarkSize()            written by VxiGetBookmark
//
// Record info:
//
//   OFFSET  SIZE  MEANING
//   0       4     record number (signed 32-bit)
//   4       1     not used
//   5       1     bookmark flag (TBookmarkFlag; bfCurrent = 0 is a stored record)
//
// Every offset is 16-bit: a layout that does not fit is refused with a range error when the
// dataset opens.

#include <cstdint>
#include <string>

#include "platform/dataset/dataset.h"

namespace vx {

// Status codes of the record interface. Any other non-zero status is an engine error code.
inline constexpr int kVxiOk = 0;
inline constexpr int kVxiOpenFailed = 1401;   // the open failed and the engine recorded nothing
inline constexpr int kVxiBeforeFirst = 1402;  // the cursor stands before the first record
inline constexpr int kVxiAfterLast = 1403;    // the cursor stands after the last record
inline constexpr int kVxiNoFileName = 1404;   // no table file name is set

inline constexpr int kRecordInfoSize = 6;
inline constexpr int kRecordInfoFlag = 5;
inline constexpr int kBlobCacheSlot = 4;

class TVxPrimDataset : public TDataSet {
 public:
  explicit TVxPrimDataset(TComponent* owner);
  ~TVxPrimDataset() override;

  // Moves to record number `value` through VxiSetToRecordNo. A number the store refuses leaves
  // the cursor where it was and raises nothing.
  void SetRecNo(int value) override;
  // Searches through VxiLocateRecord and, when found, re-centres the window on the record.
  bool Locate(const std::string& key_fields, const Variant& key_values,
              TLocateOptions options) override;
  // The values of `result_fields` of the record the keys find, or null; the active record stays.
  Variant Lookup(const std::string& key_fields, const Variant& key_values,
                 const std::string& result_fields) override;
  // Two empty bookmarks compare 0, empty before non-empty; otherwise VxiCompareBookmarks.
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) const override;
  // Whether the store can still position on the bookmarked record. Moves the store's cursor.
  bool BookmarkValid(const TBookmark& bookmark) override;
  bool GetCurrentRecord(TRecordBuffer buffer) override;
  bool GetFieldData(TField* field, void* buffer) override;
  void SetFieldData(TField* field, const void* buffer) override;
  bool IsSequenced() const override { return !Filtered(); }

  // Raises for a non-zero status: the platform's base exception with "Dataset error: <code>"
  // for 1401 to 1403, "Missing DbfFilename property" for 1404, and "Dataset error: " followed
  // by VxiErrorText(code) for any other code.
  void CheckStatus(int status);

 protected:
  // --- The record interface, in slot order -------------------------------------------------
  // 1. Text for a status code; the default is the code in decimal.
  virtual std::string VxiErrorText(int code);
  // 2. Whether the store holds no record; the default is the framework's window test.
  virtual bool VxiIsEmpty();
  // 3., 4. Position before the first / after the last record.
  virtual int VxiSetToBegin() = 0;
  virtual int VxiSetToEnd() = 0;
  // 5., 6. Open and close the underlying table.
  virtual int VxiOpenTable() = 0;
  virtual int VxiCloseTable() = 0;
  // 7. The number of records.
  virtual int VxiGetRecordCount() = 0;
  // 8. Re-read the current record from the store.
  virtual int VxiForceReread() = 0;
  // 9., 10. Add the buffer's record (at the end / where the store inserts).
  virtual int VxiAppendRecord(TRecordBuffer buffer) = 0;
  virtual int VxiInsertRecord(TRecordBuffer buffer) = 0;
  // 11. Delete the current record.
  virtual int VxiDeleteRecord() = 0;
  // 12. Prepare a blank record in the buffer.
  virtual int VxiInitRecord(TRecordBuffer buffer) = 0;
  // 13. Write the buffer back over the current record.
  virtual int VxiModifyRecord(TRecordBuffer buffer) = 0;
  // 14. Bytes of the logical record.
  virtual std::uint16_t VxiGetRecordSize() = 0;
  // 15. Kind of record numbering.
  virtual int VxiGetRecNoKind() = 0;
  // 16.-18. Read the current / next / prior record into the buffer (none: only move or test)
  // and give its record number.
  virtual int VxiGetRecord(TRecordBuffer buffer, std::int32_t& record_no) = 0;
  virtual int VxiGetNextRecord(TRecordBuffer buffer, std::int32_t& record_no) = 0;
  virtual int VxiGetPriorRecord(TRecordBuffer buffer, std::int32_t& record_no) = 0;
  // 19. One field's value in the framework's native form (destination none: only test).
  virtual int VxiGetField(TField* field, TRecordBuffer record, bool& blank, void* destination) = 0;
  // 20. Store one field's value (source none: clear it).
  virtual int VxiPutField(TField* field, TRecordBuffer record, const void* source) = 0;
  // 21. Position on a record by number.
  virtual int VxiSetToRecordNo(std::int32_t record_no) = 0;
  // 22. Search for a record by key fields ("A;B") and values; moves the store's cursor only
  // when `sync_cursor` is set.
  virtual bool VxiLocateRecord(const std::string& key_fields, const Variant& key_values,
                               bool sync_cursor, TLocateOptions options) = 0;
  // 23.-26. Bookmarks.
  virtual int VxiGetBookmarkSize() = 0;
  virtual int VxiSetToBookmark(const void* bookmark) = 0;
  virtual int VxiGetBookmark(void* destination) = 0;
  virtual int VxiCompareBookmarks(const void* a, const void* b, int& result) = 0;

  // --- Framework operations mapped onto the interface ---------------------------------------
  RecordBlock AllocRecordBuffer() override;
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) override;
  int GetRecordSize() const override { return record_data_size_; }
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return table_open_; }
  void InternalHandleException() override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalInitRecord(TRecordBuffer buffer) override;
  void InternalAddRecord(TRecordBuffer buffer, bool append) override;
  void InternalPost() override;
  void InternalDelete() override;
  // Re-reads the active record before it is edited.
  void InternalEdit() override;
  void InternalRefresh() override;
  void InternalGotoBookmark(const void* bookmark) override;
  void InternalSetToRecord(TRecordBuffer buffer) override;
  void GetBookmarkData(TRecordBuffer buffer, void* data) const override;
  void SetBookmarkData(TRecordBuffer buffer, const void* data) override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) const override;
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
  int GetRecNo() const override;
  int GetRecordCount() const override;
  void ClearCalcFields(TRecordBuffer buffer) override;
  bool FindRecord(bool restart, bool go_forward) override;
  void OpenCursor(bool info_query) override;
  void CloseCursor() override;
  // In an empty store the window is cleared before OnNewRecord runs.
  void DoOnNewRecord() override;

  // --- For descendants ----------------------------------------------------------------------
  std::uint16_t RecordDataSize() const { return record_data_size_; }
  std::uint16_t BufferSize() const { return buffer_size_; }
  // The record number kept in a buffer's record info.
  std::int32_t BufferRecordNo(TRecordBuffer buffer) const;
  // The record buffer a field access uses in the current state, or null when there is none.
  TRecordBuffer FieldAccessBuffer();

 private:
  // Computes the buffer layout from the record data size, the calculated fields, the blob
  // fields and the bookmark size; raises a range error when it does not fit in 16 bits.
  void ComputeLayout();

  std::uint16_t record_data_size_ = 0;
  std::uint16_t blob_cache_offset_ = 0;
  std::uint16_t record_info_offset_ = 0;
  std::uint16_t bookmark_offset_ = 0;
  std::uint16_t buffer_size_ = 0;
  bool table_open_ = false;
};

}  // namespace vx
