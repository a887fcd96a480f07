#pragma once
// TDataSet, the abstract dataset of the framework: states, the record-buffer ring, navigation,
// editing with before/after events, bookmarks, resynchronisation, fields and calculated fields,
// and notification of data sources. A store plugs in by overriding the protected virtual
// operations; the database errors and their texts live here.
//
// The buffer ring. A dataset keeps BufferCount record buffers, as many as the largest
// BufferCount of its data links (at least 1), plus one temporary buffer. Buffers 0 ..
// BufferedRecordCount()-1 hold consecutive records of the store (the window); ActiveRecord() is
// the current one. The ring fetches only at its edges: Next at the last buffer reads one more
// record and drops the first, so a grid of 20 rows over a million records touches 20 records
// per screen, never the rest. CurrentRecord() is the buffer whose record the store's cursor
// stands on (-1 when unknown); UpdateCursorPos() brings the store back to the active record.
//
// States:
//   dsInactive --Open--> dsBrowse --Edit--> dsEdit ------Post/Cancel--> dsBrowse
//                          |  ^----------------------------------------'
//                          +--Insert/Append--> dsInsert --Post/Cancel--> dsBrowse
//   any state --Close--> dsInactive
// dsCalcFields, dsFilter, dsNewValue and dsInternalCalc are entered temporarily (SetTempState)
// while calculated fields are computed or a filter runs; dsBlockRead holds while BlockReadSize
// is above 0. Invariants: in dsBrowse the active buffer holds a stored record or the window is
// empty; in dsEdit/dsInsert the active buffer holds the record being edited; Modified() is
// cleared by every state change.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dataset/component.h"
#include "platform/dataset/fields.h"
#include "platform/dataset/streams.h"
#include "platform/dataset/variant.h"
#include "platform/os/exception.h"

namespace vx {

class TDataSource;
class TDataLink;
class TStrings;

// The error texts of the framework ("%s" is filled by Format()).
inline constexpr char SNotEditing[] = "Dataset not in edit or insert mode";
inline constexpr char SFieldReadOnly[] = "Field '%s' cannot be modified";
inline constexpr char SDataSetClosed[] = "Cannot perform this operation on a closed dataset";
inline constexpr char SDataSetOpen[] = "Cannot perform this operation on an open dataset";
inline constexpr char SDataSetEmpty[] = "Cannot perform this operation on an empty dataset";
inline constexpr char SDataSetReadOnly[] = "Cannot modify a read-only dataset";
inline constexpr char SFieldNotFound[] = "Field '%s' not found";
inline constexpr char SFieldRequired[] = "Field '%s' must have a value";
inline constexpr char SRecordNotFound[] = "Record not found";
inline constexpr char SFieldAccessError[] = "Cannot access field '%s' as type %s";
inline constexpr char SInvalidFieldSize[] = "Invalid field size";
inline constexpr char SUnknownFieldType[] = "Field '%s' is of an unknown type";
inline constexpr char SFieldTypeMismatch[] =
    "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr char SNotABoolean[] = "'%s' is not a valid boolean value for field '%s'";
inline constexpr char SFieldRangeError[] =
    "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr char SDataSetMissing[] = "Field '%s' has no dataset";
inline constexpr char SCircularDataLink[] = "Circular datalinks are not allowed";
inline constexpr char SDuplicateFieldName[] = "Duplicate field name '%s'";

// The database error class of the framework.
class EDatabaseError : public os::Exception {
 public:
  using os::Exception::Exception;
};
// Raises EDatabaseError with `message`, prefixed by "<component name>: " when a named
// component is given.
[[noreturn]] void DatabaseError(const std::string& message, const TComponent* component = nullptr);

enum TDataSetState {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
};

// What data sources and links are told. `info` is a TField* (as an integer, FieldInfo) for
// deFieldChange and deRecordChange (0 for the whole record), a TField** for deFocusControl (the
// link that takes the focus sets the field to nullptr), the scroll distance for
// deDataSetScroll, 0 otherwise.
enum TDataEvent {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange,
  deFocusControl,
};
inline std::intptr_t FieldInfo(const TField* field) {
  return reinterpret_cast<std::intptr_t>(field);
}
inline TField* InfoField(std::intptr_t info) { return reinterpret_cast<TField*>(info); }

enum TGetMode { gmCurrent, gmNext, gmPrior };
enum TGetResult { grOK, grBOF, grEOF, grError };
// The record a buffer holds: a stored record, the crack before the first or after the last
// (an insert into an empty window or an append), or a record being inserted.
enum TBookmarkFlag { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TResyncModeFlag { rmExact, rmCenter };
using TResyncMode = TSet<TResyncModeFlag>;
enum TDataAction { daFail, daAbort, daRetry };
enum TLocateOption { loCaseInsensitive, loPartialKey };
using TLocateOptions = TSet<TLocateOption>;

// A record buffer of the ring; its layout belongs to the descendant.
using TRecordBuffer = std::byte*;
// The owning form in which a descendant hands out buffers (zero-filled by make_unique).
using RecordBlock = std::unique_ptr<std::byte[]>;
// A copy of a record's bookmark data (BookmarkSize bytes); empty = no bookmark.
using TBookmark = std::vector<std::byte>;

using TDataSetNotifyEvent = std::function<void(TDataSet* dataset)>;
using TDataSetErrorEvent =
    std::function<void(TDataSet* dataset, EDatabaseError& e, TDataAction& action)>;
using TFilterRecordEvent = std::function<void(TDataSet* dataset, bool& accept)>;

class TDataSet : public TComponent {
 public:
  explicit TDataSet(TComponent* owner);
  // A descendant's destructor must call Destroying() and Close() itself: the virtual close
  // operations cannot be reached from here. What is still open here is only released.
  ~TDataSet() override;

  // --- Opening and closing ------------------------------------------------------------------
  bool Active() const { return state_ != dsInactive; }
  // While the component is loading the value is kept and applied by Loaded().
  void SetActive(bool value);
  // BeforeOpen, OpenCursor, dsBrowse, AfterOpen, and AfterScroll when not empty. A failure
  // closes the cursor again and propagates.
  void Open() { SetActive(true); }
  // BeforeClose, dsInactive, CloseCursor, AfterClose (no events while destroying).
  void Close() { SetActive(false); }
  TDataSetState State() const { return state_; }
  bool Modified() const { return modified_; }

  // --- Navigation -----------------------------------------------------------------------------
  // Each posts or cancels pending edits first (CheckBrowseMode) and fires BeforeScroll and
  // AfterScroll.
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves by up to `distance` records; answers the distance moved. Sets Eof (Bof) when the
  // end (start) was met.
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  int RecNo() const { return GetRecNo(); }
  virtual void SetRecNo(int value) {}
  int RecordCount() const { return GetRecordCount(); }
  // True when the window holds no record (and when inactive).
  bool IsEmpty() const { return active_record_ >= record_count_; }
  // Whether RecNo and RecordCount describe the records as the dataset shows them.
  virtual bool IsSequenced() const { return true; }
  // Re-reads the window around the active record from the store.
  void Refresh();
  // Re-fills the window from the store's current record. rmExact: that record must exist
  // (EDatabaseError "Record not found" otherwise); rmCenter: it is placed in the middle of the
  // window, else at the position of the old active record. Without rmExact a missing current
  // record is replaced by the next or prior one, and an empty store empties the window.
  void Resync(TResyncMode mode);
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }
  bool Found() const { return found_; }

  // --- Editing --------------------------------------------------------------------------------
  // Edit: BeforeEdit, InternalEdit (OnEditError on failure), dsEdit, AfterEdit. An empty
  // dataset inserts instead.
  void Edit();
  // Insert: BeforeInsert, BeforeScroll, a new record before the active one, dsInsert,
  // OnNewRecord, AfterInsert, AfterScroll. Append puts it after the last record.
  void Insert();
  void Append();
  // Post: UpdateRecord, BeforePost, InternalPost (OnPostError on failure), dsBrowse, Resync,
  // AfterPost. Outside dsEdit/dsInsert/dsSetKey it raises "Dataset not in edit or insert mode";
  // in dsSetKey it only returns to dsBrowse.
  virtual void Post();
  // Cancel: BeforeCancel (and BeforeScroll for an insert), InternalCancel, dsBrowse, Resync,
  // AfterCancel (and AfterScroll). Does nothing in dsBrowse; dsSetKey returns to dsBrowse.
  virtual void Cancel();
  // Delete: BeforeDelete, BeforeScroll, InternalDelete (OnDeleteError on failure), Resync,
  // AfterDelete, AfterScroll. Cancels an insert instead; raises on an empty dataset.
  void Delete();
  // Posts or cancels (when nothing was modified) a pending edit or insert.
  void CheckBrowseMode();
  // Asks the data links to write their pending edits into the fields; raises "Dataset not in
  // edit or insert mode" outside dsEdit, dsInsert and dsSetKey.
  void UpdateRecord();
  // A new record with the values in field order (null values are left empty), posted at once.
  void InsertRecord(const std::vector<Variant>& values);
  void AppendRecord(const std::vector<Variant>& values);
  // Sets the fields in order from `values` (null entries are skipped).
  void SetFields(const std::vector<Variant>& values);
  // Clears every field of the record being edited.
  void ClearFields();
  virtual bool CanModify() const { return true; }

  // --- Bookmarks ------------------------------------------------------------------------------
  bool BookmarkAvailable() const;
  // The active record's bookmark, or an empty one when none is available.
  TBookmark GetBookmark() const;
  // Moves to the bookmarked record and re-centres the window around it. An empty bookmark is
  // ignored; one the store rejects raises.
  void GotoBookmark(const TBookmark& bookmark);
  void FreeBookmark(TBookmark& bookmark) { bookmark.clear(); }
  // Answers -1, 0 or 1. Two empty bookmarks compare 0, empty before non-empty; the default
  // compares the bytes.
  virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b) const;
  // Whether the bookmark names a record of the store; the default answers false.
  virtual bool BookmarkValid(const TBookmark& bookmark) { return false; }

  // --- Searching ------------------------------------------------------------------------------
  // `key_fields` names fields separated by ";", `key_values` has one value per field (an array
  // for several). The defaults find nothing and answer null.
  virtual bool Locate(const std::string& key_fields, const Variant& key_values,
                      TLocateOptions options);
  virtual Variant Lookup(const std::string& key_fields, const Variant& key_values,
                         const std::string& result_fields);

  // --- Fields ---------------------------------------------------------------------------------
  TFields& Fields() { return fields_; }
  const TFields& Fields() const { return fields_; }
  int FieldCount() const { return fields_.Count(); }
  TFieldDefs& FieldDefs() { return field_defs_; }
  TField* FindField(const std::string& name) const { return fields_.FindField(name); }
  TField* FieldByName(const std::string& name) const { return fields_.FieldByName(name); }
  TField* FieldByNumber(int field_no) const { return fields_.FieldByNumber(field_no); }
  // The value of one field, or an array of the values of several separated by ";".
  Variant FieldValues(const std::string& field_names) const;
  void GetFieldNames(TStrings& list) const;
  // Whether the fields were created from the field definitions at open (no persistent
  // fields), and are destroyed at close.
  bool DefaultFields() const { return default_fields_; }
  // Rebuilds FieldDefs from the store, opening it briefly (info only) when closed.
  void InitFieldDefs();
  bool AutoCalcFields() const { return auto_calc_fields_; }
  void SetAutoCalcFields(bool value) { auto_calc_fields_ = value; }
  // A stream over the blob field's value in the active record; the default has none.
  virtual std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode);

  // Field values for TField: read (answering whether there is a value; a null buffer only
  // tests) and write (a null buffer clears) the native value of `field` in the buffer the
  // state selects. The defaults hold no data: false and nothing.
  virtual bool GetFieldData(TField* field, void* buffer);
  virtual void SetFieldData(TField* field, const void* buffer);
  // Copies the active record into `buffer`; the default answers false.
  virtual bool GetCurrentRecord(TRecordBuffer buffer) { return false; }
  // The active record's buffer, laid out by the descendant (nullptr while closed). A grid
  // reads the descendant's own marks from it (e.g. a deletion flag).
  TRecordBuffer ActiveBuffer() const;

  // --- Filtering ------------------------------------------------------------------------------
  // Descendants that filter ask OnFilterRecord (in dsFilter) for each record they read while
  // Filtered is set. Changing Filtered on an open dataset re-reads from the first record.
  bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool value);
  const std::string& Filter() const { return filter_text_; }
  virtual void SetFilter(const std::string& value) { filter_text_ = value; }
  TFilterRecordEvent OnFilterRecord;

  // --- Controls -------------------------------------------------------------------------------
  // While disabled, data sources hear nothing; EnableControls reports one change (and the
  // state when it changed) when the count returns to 0.
  // (DisabledControls holds them disabled for a scope.)
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disable_count_ > 0; }
  // A block size above 0 enters dsBlockRead, in which navigation does not notify data sources.
  int BlockReadSize() const { return block_read_size_; }
  void SetBlockReadSize(int value);

  // Tells the dataset and its data sources about a change (see TDataEvent). Descendants and the
  // blob streams they hand out call it with deFieldChange after writing a field.
  virtual void DataEvent(TDataEvent event, std::intptr_t info);

  // --- Events ---------------------------------------------------------------------------------
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
  TDataSetNotifyEvent OnCalcFields, OnNewRecord;
  // Called when InternalPost / InternalDelete / InternalEdit raise EDatabaseError: daFail
  // re-raises, daAbort aborts silently (EAbort), daRetry runs the operation again.
  TDataSetErrorEvent OnPostError, OnDeleteError, OnEditError;

 protected:
  // --- What a store overrides -----------------------------------------------------------------
  virtual RecordBlock AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(RecordBlock& buffer) { buffer.reset(); }
  // Reads the record at, after or before the store's cursor into `buffer` and moves the cursor
  // there. grBOF / grEOF when there is none; grError on failure (raising instead when
  // `do_check` is set). Descendants compute calculated fields with GetCalcFields(buffer).
  virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool do_check) = 0;
  virtual int GetRecordSize() const { return 0; }
  // Opens the store: builds FieldDefs (InternalInitFieldDefs), CreateFields when
  // DefaultFields(), BindFields(true), sets BookmarkSize, and leaves the cursor before the
  // first record.
  virtual void InternalOpen() = 0;
  // Closes the store: BindFields(false), DestroyFields when DefaultFields(), release.
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual void InternalInitFieldDefs() = 0;
  // Hands the exception being caught to the application; called inside a catch block.
  virtual void InternalHandleException();
  // Positions the cursor before the first / after the last record.
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  // Blanks a new record buffer.
  virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
  // Stores `buffer` as a new record (used by InsertRecord/AppendRecord).
  virtual void InternalAddRecord(TRecordBuffer buffer, bool append) = 0;
  // Writes the active buffer (edit) or adds it (insert). The base checks required fields;
  // descendants call it first.
  virtual void InternalPost();
  virtual void InternalDelete() = 0;
  virtual void InternalCancel() {}
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalRefresh() {}
  virtual void InternalGotoBookmark(const void* bookmark) = 0;
  // Positions the store's cursor on the record that `buffer` holds.
  virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
  virtual void GetBookmarkData(TRecordBuffer buffer, void* data) const {}
  virtual void SetBookmarkData(TRecordBuffer buffer, const void* data) {}
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) const { return bfCurrent; }
  virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {}
  // 1-based number of the active record, or -1 when unknown; the count of records, or -1.
  virtual int GetRecNo() const { return -1; }
  virtual int GetRecordCount() const { return -1; }
  // The field class for a data type: TStringField for ftString, TIntegerField for ftInteger,
  // ... and nullptr for types without one.
  virtual TFieldClass GetFieldClass(TFieldType type) const;
  // Zeroes the calculated-fields area of `buffer`.
  virtual void ClearCalcFields(TRecordBuffer buffer) {}
  // Computes the calculated and lookup fields into `buffer` (which becomes CalcBuffer()):
  // clears the area, fetches lookup values, fires OnCalcFields.
  virtual void CalculateFields(TRecordBuffer buffer);
  // Moves to the next/prior record (restart: from the first/last) that the dataset's search
  // accepts; the default finds nothing.
  virtual bool FindRecord(bool restart, bool go_forward) { return false; }
  // Opens the store and completes the open (InternalOpen, buffers). With `info_query` only the
  // field definitions are read.
  virtual void OpenCursor(bool info_query);
  virtual void CloseCursor();
  // Initialises a buffer for a new record: InternalInitRecord, ClearCalcFields, bfInserted.
  virtual void InitRecord(TRecordBuffer buffer);

  virtual void DoBeforeOpen() { Fire(BeforeOpen); }
  virtual void DoAfterOpen() { Fire(AfterOpen); }
  virtual void DoBeforeClose() { Fire(BeforeClose); }
  virtual void DoAfterClose() { Fire(AfterClose); }
  virtual void DoBeforeInsert() { Fire(BeforeInsert); }
  virtual void DoAfterInsert() { Fire(AfterInsert); }
  virtual void DoBeforeEdit() { Fire(BeforeEdit); }
  virtual void DoAfterEdit() { Fire(AfterEdit); }
  virtual void DoBeforePost() { Fire(BeforePost); }
  virtual void DoAfterPost() { Fire(AfterPost); }
  virtual void DoBeforeCancel() { Fire(BeforeCancel); }
  virtual void DoAfterCancel() { Fire(AfterCancel); }
  virtual void DoBeforeDelete() { Fire(BeforeDelete); }
  virtual void DoAfterDelete() { Fire(AfterDelete); }
  virtual void DoBeforeScroll() { Fire(BeforeScroll); }
  virtual void DoAfterScroll() { Fire(AfterScroll); }
  virtual void DoBeforeRefresh() { Fire(BeforeRefresh); }
  virtual void DoAfterRefresh() { Fire(AfterRefresh); }
  virtual void DoOnCalcFields() { Fire(OnCalcFields); }
  virtual void DoOnNewRecord() { Fire(OnNewRecord); }

  // --- Fields ---------------------------------------------------------------------------------
  // Creates a field for every field definition (owned by this dataset).
  virtual void CreateFields();
  // Binding ties data fields to their definitions (field number, type check: EDatabaseError
  // "Type mismatch ..." or "Field '%s' not found") and lays out the calculated-fields area.
  virtual void BindFields(bool binding);
  // Destroys every field in Fields().
  virtual void DestroyFields();
  void SetDefaultFields(bool value) { default_fields_ = value; }
  // Computes the calculated fields of `buffer` in dsCalcFields when there are any.
  void GetCalcFields(TRecordBuffer buffer);
  // Raises EDatabaseError "Field '%s' must have a value" for the first empty required data
  // field, after asking its control to take the focus.
  void CheckRequiredFields();

  // --- Buffers and cursor ---------------------------------------------------------------------
  int BookmarkSize() const { return bookmark_size_; }
  void SetBookmarkSize(int size) { bookmark_size_ = size; }
  // Bytes of the calculated-fields area: for each calculated or lookup field one has-value
  // byte and its DataSize(). Known after BindFields(true).
  int CalcFieldsSize() const { return calc_fields_size_; }
  // The buffer whose calculated fields are being computed.
  TRecordBuffer CalcBuffer() const { return calc_buffer_; }
  // The spare buffer after the window.
  TRecordBuffer TempBuffer() const;
  TRecordBuffer Buffers(int index) const { return buffers_.at(index).get(); }
  int BufferCount() const { return buffer_count_; }
  // Records in the window, the active one's index, the one the store's cursor is on.
  int BufferedRecordCount() const { return record_count_; }
  int ActiveRecord() const { return active_record_; }
  int CurrentRecord() const { return current_record_; }
  // Marks the store's cursor as somewhere unknown.
  void CursorPosChanged() { current_record_ = -1; }
  // Brings the store's cursor to the active record.
  void UpdateCursorPos();
  // Positions the store's cursor on buffer `index`'s record (by its bookmark flag).
  void SetCurrentRecord(int index);
  // Empties the window (the buffers stay allocated).
  void ClearBuffers();
  // First (to_first) or Last: the window refilled from that end of the store.
  void MoveToEnd(bool to_first);
  // Reads one record after the window / before it; answers whether there was one.
  bool GetNextRecord();
  bool GetPriorRecord();
  // Fill the window forwards / backwards; answer the records read.
  int GetNextRecords();
  int GetPriorRecords();

  // --- State ----------------------------------------------------------------------------------
  // Enters `value` and tells the data sources (deUpdateState); clears Modified.
  void SetState(TDataSetState value);
  // Enters `value` without telling anyone and answers the state to RestoreState() to.
  TDataSetState SetTempState(TDataSetState value);
  void RestoreState(TDataSetState value);
  void SetModified(bool value) { modified_ = value; }
  void SetBof(bool value) { bof_ = value; }
  void SetEof(bool value) { eof_ = value; }
  void SetFound(bool value) { found_ = value; }
  void CheckActive() const;
  void CheckInactive() const;
  // Raises "Cannot modify a read-only dataset" unless CanModify().
  void CheckCanModify() const;
  // Runs `operation` (after UpdateCursorPos) until it succeeds; an EDatabaseError goes to
  // `error_event`, whose action decides: daFail re-raises, daAbort raises EAbort, daRetry
  // repeats.
  void CheckOperation(const std::function<void()>& operation,
                      const TDataSetErrorEvent& error_event);

  void Loaded() override;

 private:
  friend class TDataSource;
  friend class TDataLink;
  friend class TField;
  friend class TFieldDef;

  void Fire(const TDataSetNotifyEvent& event) {
    if (event) event(this);
  }
  void DoInternalOpen();
  void OpenCursorComplete();
  void SetBufferCount(int value);
  void SetBufListSize(int value);
  void FreeAllBuffers();
  void ActivateBuffers();
  void MoveBuffer(int from, int to);
  void UpdateBufferCount();
  void BeginInsertAppend();
  void EndInsertAppend();
  void InsertRecordValues(const std::vector<Variant>& values, bool append);
  void UpdateCalcFields();
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);
  void AdjustFirstRecords(int delta);
  void FreeFieldBuffers();

  TDataSetState state_ = dsInactive;
  TDataSetState disable_state_ = dsInactive;
  TDataEvent enable_event_ = deDataSetChange;
  int disable_count_ = 0;
  bool modified_ = false;
  bool bof_ = true;
  bool eof_ = true;
  bool found_ = false;
  bool streamed_active_ = false;
  bool internal_open_complete_ = false;
  bool default_fields_ = false;
  bool auto_calc_fields_ = true;
  bool filtered_ = false;
  std::string filter_text_;
  int block_read_size_ = 0;

  std::vector<RecordBlock> buffers_;  // buffer_count_ + 1 once open
  int buffer_count_ = 0;
  int record_count_ = 0;
  int active_record_ = 0;
  int current_record_ = -1;
  TRecordBuffer calc_buffer_ = nullptr;
  RecordBlock calc_block_;
  int bookmark_size_ = 0;
  int calc_fields_size_ = 0;

  TFieldDefs field_defs_{this};
  TFields fields_{this};
  std::vector<TDataSource*> data_sources_;
};

// The end of a scope's work, from its destructor: `end` runs; a fault in it reaches the caller
// when the scope ends normally (`exceptions`: std::uncaught_exceptions() when the scope began),
// and is dropped when the scope is left by another exception.
template <class End>
void EndScope(int exceptions, End&& end) {
  if (std::uncaught_exceptions() == exceptions) {
    end();
    return;
  }
  try {
    end();
  } catch (...) {
  }
}

// Holds a dataset's controls disabled for a scope (DisableControls), enabled again however the
// scope ends (EndScope: enabling reports the change to the data sources).
class DisabledControls {
 public:
  explicit DisabledControls(TDataSet& dataset)
      : dataset_(dataset), exceptions_(std::uncaught_exceptions()) {
    dataset_.DisableControls();
  }
  ~DisabledControls() noexcept(false) {
    EndScope(exceptions_, [this] { dataset_.EnableControls(); });
  }
  DisabledControls(const DisabledControls&) = delete;
  DisabledControls& operator=(const DisabledControls&) = delete;

 private:
  TDataSet& dataset_;
  int exceptions_;
};

}  // namespace vx
