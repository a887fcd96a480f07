#pragma once
// MemDataSet: a small in-memory store behind TDataSet for the framework's tests. Rows are kept
// as the raw bytes of the record's data area, so tests can check native formats byte by byte;
// a synthetic mode makes a million read-only rows without holding them, to count reads.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/dataset/dataset.h"

namespace vx::test {

struct Column {
  std::string name;
  TFieldType type;
  int size = 0;
  bool required = false;
};

// Record buffer: for each column one null byte (1 = has a value) and its native value; then the
// calculated-fields area; then the row key (int32) and the bookmark flag.
class MemDataSet : public TDataSet {
 public:
  MemDataSet(TComponent* owner, std::vector<Column> columns);
  ~MemDataSet() override;

  // Appends a row directly to the store; values are encoded here, not through fields. Null
  // values leave the column empty. Memo columns take their text.
  void AddRow(const std::vector<Variant>& values);
  // Makes the store `count` read-only rows whose first column (an integer) is the row number.
  void SetSynthetic(int count);
  int RowCount() const;
  // Moves the store's cursor behind the dataset's back (-1 is before the first row).
  void MoveStore(int index) { cursor_ = index; }
  // The stored bytes of column `column` of row `row` (null byte excluded); empty when null.
  std::vector<std::byte> StoredBytes(int row, int column) const;
  std::string StoredMemo(int row, int column) const;
  Variant StoredValue(int row, int column) const;

  // Reads counted across GetRecord calls that delivered a row.
  int rows_read = 0;
  int get_record_calls = 0;
  // The next InternalPost / InternalDelete raises EDatabaseError with this text (once).
  std::string fail_next_post;
  std::string fail_next_delete;
  bool can_modify = true;

  bool CanModify() const override { return can_modify; }
  std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;
  bool GetFieldData(TField* field, void* buffer) override;
  void SetFieldData(TField* field, const void* buffer) override;
  void SetRecNo(int value) override;
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) const override;
  bool BookmarkValid(const TBookmark& bookmark) override;
  // One key field and one result field, compared by value; the cursor does not move.
  Variant Lookup(const std::string& key_fields, const Variant& key_values,
                 const std::string& result_fields) override;

  // Exposed for tests of the ring.
  using TDataSet::ActiveRecord;
  using TDataSet::BufferCount;
  using TDataSet::BufferedRecordCount;
  using TDataSet::CalcFieldsSize;

  // Field classes by type; tests replace it to plug in descendants' field classes.
  std::function<TFieldClass(TFieldType)> field_class_override;

 protected:
  RecordBlock AllocRecordBuffer() override;
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) override;
  int GetRecordSize() const override { return data_size_; }
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return open_; }
  void InternalInitFieldDefs() override;
  void InternalFirst() override { cursor_ = -1; }
  void InternalLast() override { cursor_ = RowCount(); }
  void InternalInitRecord(TRecordBuffer buffer) override;
  void InternalAddRecord(TRecordBuffer buffer, bool append) override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalGotoBookmark(const void* bookmark) override;
  void InternalSetToRecord(TRecordBuffer buffer) override;
  void GetBookmarkData(TRecordBuffer buffer, void* data) const override;
  void SetBookmarkData(TRecordBuffer buffer, const void* data) override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) const override;
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
  int GetRecNo() const override;
  int GetRecordCount() const override { return RowCount(); }
  TFieldClass GetFieldClass(TFieldType type) const override;
  void ClearCalcFields(TRecordBuffer buffer) override;

 private:
  friend class MemoStream;
  struct Row {
    std::int32_t key;
    std::vector<std::byte> data;
  };
  static int NativeSize(const Column& column);
  TRecordBuffer FieldBuffer() const;
  Row MakeRow(int index) const;
  int IndexOfKey(std::int32_t key) const;
  std::int32_t KeyOf(TRecordBuffer buffer) const;
  void Fill(TRecordBuffer buffer, int index);
  void StoreRow(int index, TRecordBuffer buffer);
  void InsertRow(int index, TRecordBuffer buffer);

  std::vector<Column> columns_;
  std::vector<int> offsets_;  // of each column's null byte in the data area
  int data_size_ = 0;
  int info_offset_ = 0;
  int buffer_size_ = 0;
  std::vector<Row> rows_;
  int synthetic_count_ = 0;
  std::int32_t next_key_ = 1;
  int cursor_ = -1;  // row index; -1 before the first, RowCount() after the last
  bool open_ = false;
  std::vector<std::string> memo_texts_;  // memo columns hold an index into this, plus one
};

// The films table of the tests: ID integer, NAME string(20), ACTIVE boolean, PRICE float,
// BORN date, QTY smallint, PLOT memo; row i (from 1) holds i, "Name i", odd i, i * 1.5,
// 7 March 2024 + i days, i and "Plot i".
enum FilmColumn { kId, kName, kActive, kPrice, kBorn, kQty, kPlot };
std::vector<Column> FilmColumns();
MemDataSet* MakeFilms(TComponent* owner, int rows);

}  // namespace vx::test
