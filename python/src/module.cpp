// vexel._vexel: the public API's tables, cursors and locks as Python objects. The package's
// Python code (vexel/__init__.py) builds the user-facing classes on these; this layer converts
// values, releases the GIL around every call that touches the files, and makes sure that no
// cursor or lock outlives the table it came from.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>
#include <vexel/indexing.hpp>
#include <vexel/vexel.hpp>

#include "frame.h"
#include "values.h"

namespace vexel::python {

namespace {

// The Python class of each kind of vexel::Error (set when the module loads).
py::object& ErrorType(ErrorKind kind) {
  static auto* types = new py::object[5];
  return types[static_cast<int>(kind)];
}

// The advice of an error in this module's words: its arguments and methods.
std::string PythonWords(Remedy remedy) {
  switch (remedy) {
    case Remedy::other_code_page:
      return "codepage=N";
    case Remedy::ignore_index:
      return "ignore_index=True";
    case Remedy::repair:
      return "Table.check(repair=True)";
    case Remedy::check:
      return "Table.check()";
    case Remedy::overwrite:
      return "overwrite=True";
    case Remedy::reindex:
      return "Table.reindex()";
    case Remedy::add_tag:
      return "Table.add_tag()";
    default:
      return remedy_words(remedy);  // what only the C++ library offers
  }
}

void RaiseEngineError(const py::object& type, const Error& error) {
  // Messages name files and fields as stored: bytes that are no UTF-8 become U+FFFD.
  const std::string said = advised(error.fault(), error.advice(), PythonWords);
  const std::string_view text = said;
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) throw py::error_already_set();
  py::object exception = type(py::reinterpret_steal<py::object>(message));
  exception.attr("code") = error.code();
  PyErr_SetObject(type.ptr(), exception.ptr());
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// Something made from a table that must let go of its engine object when the table closes.
class Dependent {
 public:
  virtual ~Dependent() = default;
  virtual void Drop() = 0;
  // Whether it holds a lock of the table.
  virtual bool Holds() const { return false; }
};

// One open table, shared by its Python Table object and every cursor and lock made from it.
// `file_work` serialises calls into the table; it is only ever taken with the GIL released, so
// that a thread waiting for it never blocks one that needs the GIL to finish.
struct TableState {
  std::optional<Table> table;
  OpenOptions options;  // as the table was opened: a check that closes it opens it so again
  std::vector<Field> fields;
  std::map<std::string, std::size_t> field_by_name;  // upper-case name -> index
  std::mutex file_work;
  std::set<Dependent*> dependents;  // changed with the GIL held
  Decimals decimals = Decimals::kFloat;
  int codepage = 0;

  TableState(Table opened, const OpenOptions& opened_with, Decimals wanted)
      : table(std::move(opened)), options(opened_with), decimals(wanted) {
    fields = table->fields();
    for (std::size_t i = 0; i < fields.size(); ++i) field_by_name[Upper(fields[i].name)] = i;
    codepage = table->codepage();
  }

  Table& Get() {
    if (!table) throw py::value_error("operation on a closed table");
    return *table;
  }

  const Field& FieldNamed(const std::string& name) const {
    auto found = field_by_name.find(Upper(name));
    if (found == field_by_name.end()) throw py::key_error("no field " + name);
    return fields[found->second];
  }

  // Runs `work` on the table with the GIL released and the table to itself.
  // Runs `work` on the table with the GIL released and the table to itself. The table is
  // looked at again once that is so: another thread may have closed it in between.
  template <typename Work>
  auto Run(Work&& work) {
    Get();
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(file_work);
    return work(Get());
  }

  void Close() {
    if (!table) return;
    std::set<Dependent*> dropped;
    dropped.swap(dependents);
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(file_work);
    for (Dependent* dependent : dropped) dependent->Drop();
    table.reset();
  }

  // A record as (recno, deleted, (values...)).
  py::tuple Row(const Record& record) const {
    const std::size_t count = std::min(record.size(), fields.size());
    py::tuple values(count);
    for (std::size_t i = 0; i < count; ++i) {
      values[i] = ToPython(record[i], fields[i], record, i, decimals);
    }
    return py::make_tuple(record.recno(), record.deleted(), std::move(values));
  }

  // Row `row` of a block, the same way; the values of memo fields come from `memos` (row by
  // row, a field's place in each).
  py::tuple Row(const RecordBlock& block, std::size_t row,
                const std::vector<std::optional<Value>>& memos) const {
    const std::size_t count = std::min(block.fields().size(), fields.size());
    py::tuple values(count);
    const std::uint32_t recno = block.recno(row);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = row * fields.size() + i;
      const bool memo = at < memos.size() && memos[at].has_value();
      const Value value = memo ? *memos[at] : block.value(row, i);
      values[i] = ToPython(
          value, fields[i], recno, [&] { return block.text(row, i); }, decimals);
    }
    return py::make_tuple(recno, block.deleted(row), std::move(values));
  }

  std::vector<std::pair<std::string, Value>> Values(const py::dict& values) const {
    std::vector<std::pair<std::string, Value>> converted;
    converted.reserve(values.size());
    for (auto [key, value] : values) {
      if (!py::isinstance<py::str>(key)) throw py::type_error("field names are str");
      const Field& field = FieldNamed(key.cast<std::string>());
      converted.emplace_back(field.name, FromPython(value, field, codepage));
    }
    return converted;
  }
};

// Fields whose values a block decodes with the table (memos, the binary forms, .NULL. marks):
// they are read with the file work, the others from the block's bytes alone.
bool NeedsTable(const Field& field) {
  return field.nullable || std::string_view("CNFDL").find(field.type) == std::string_view::npos;
}

// A value to look for in a tag: text, a number, a date or a logical.
Value KeyValue(py::handle key) {
  static const Field kAny{"key", '?', 0, 0};
  return FromPython(key, kAny, 0);
}

// Text of the library as a Python str (a byte that is not UTF-8 shows U+FFFD).
py::str Text(const std::string& text) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

class CursorHandle : public Dependent {
 public:
  CursorHandle(std::shared_ptr<TableState> state, Cursor cursor)
      : state_(std::move(state)), cursor_(std::move(cursor)) {
    state_->dependents.insert(this);
  }
  ~CursorHandle() override { state_->dependents.erase(this); }
  void Drop() override { cursor_.reset(); }

  // Answers up to `count` rows; an empty list at the end.
  py::list Fetch(std::size_t count) {
    py::list rows;
    if (done_) return rows;
    if (!cursor_) throw py::value_error("operation on a closed table");
    RecordBlock block;
    std::vector<std::optional<Value>> memos;  // memo fields, read with the file work
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> hold(state_->file_work);
      if (!cursor_) throw py::value_error("operation on a closed table");
      if (cursor_->next(block, count) == 0) done_ = true;
      const std::size_t width = state_->fields.size();
      for (std::size_t i = 0; i < width; ++i) {
        if (!NeedsTable(state_->fields[i])) continue;
        memos.resize(block.size() * width);
        std::vector<Value> column;
        block.values(i, column);
        for (std::size_t row = 0; row < block.size(); ++row)
          memos[row * width + i] = std::move(column[row]);
      }
    }
    for (std::size_t row = 0; row < block.size(); ++row)
      rows.append(state_->Row(block, row, memos));
    return rows;
  }

  py::dict Columns(const std::vector<std::string>& names, bool deleted) {
    if (!cursor_) throw py::value_error("operation on a closed table");
    std::vector<std::size_t> columns;
    for (const std::string& name : names)
      columns.push_back(state_->field_by_name.count(Upper(name))
                            ? state_->field_by_name.at(Upper(name))
                            : throw py::key_error("no field " + name));
    done_ = true;
    return ReadColumns(cursor_, state_->fields, columns, deleted, state_->file_work);
  }

 private:
  std::shared_ptr<TableState> state_;
  std::optional<Cursor> cursor_;
  bool done_ = false;
};

class LockHandle : public Dependent {
 public:
  LockHandle(std::shared_ptr<TableState> state, std::uint32_t recno, RecordLock lock)
      : state_(std::move(state)), recno_(recno), lock_(std::move(lock)) {
    state_->dependents.insert(this);
  }
  ~LockHandle() override { state_->dependents.erase(this); }
  void Drop() override { lock_.reset(); }
  bool Holds() const override { return lock_.has_value(); }

  void Set(const std::string& name, py::handle value) {
    Held();
    const Field& field = state_->FieldNamed(name);
    Value converted = FromPython(value, field, state_->codepage);
    changes_.emplace_back(field.name, std::move(converted));
  }

  void Commit() {
    Held();
    auto changes = std::move(changes_);
    changes_.clear();
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(state_->file_work);
    if (!lock_) throw py::value_error("the table of this record lock is closed");
    for (auto& [name, value] : changes) lock_->set(name, value);
    lock_->commit();
  }

  void Release() {
    changes_.clear();
    if (!lock_) return;
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(state_->file_work);
    lock_.reset();
  }

  bool held() const { return lock_.has_value(); }

 private:
  void Held() const {
    if (!lock_)
      throw py::value_error("the lock on record " + std::to_string(recno_) +
                            " is released (or its table closed)");
  }

  std::shared_ptr<TableState> state_;
  std::uint32_t recno_;
  std::optional<RecordLock> lock_;
  std::vector<std::pair<std::string, Value>> changes_;
};

SeekMode SeekModeNamed(const std::string& how) {
  return how == "soft" ? SeekMode::soft : how == "exact" ? SeekMode::exact : SeekMode::prefix;
}

OpenMode ModeNamed(const std::string& mode) {
  if (mode == "shared") return OpenMode::shared;
  if (mode == "exclusive") return OpenMode::exclusive;
  if (mode == "readonly" || mode == "read_only") return OpenMode::read_only;
  throw py::value_error("mode is \"shared\", \"exclusive\" or \"readonly\", not \"" + mode + "\"");
}

class TableHandle {
 public:
  explicit TableHandle(std::shared_ptr<TableState> state) : state_(std::move(state)) {}
  ~TableHandle() {
    if (state_->table) state_->Close();
  }

  static OpenOptions Options(const std::string& mode, int codepage, bool ignore_index,
                             int lock_retries, int lock_wait_ms,
                             const std::vector<std::string>& ndx_files) {
    OpenOptions options;
    options.mode = ModeNamed(mode);
    options.codepage = codepage;
    options.ignore_index = ignore_index;
    options.lock_retries = lock_retries;
    options.lock_wait_ms = lock_wait_ms;
    options.ndx_files.assign(ndx_files.begin(), ndx_files.end());
    return options;
  }

  static std::unique_ptr<TableHandle> Open(const std::string& path, const OpenOptions& options,
                                           bool decimal) {
    std::optional<Table> table;
    {
      py::gil_scoped_release release;
      table.emplace(vexel::open(path, options));
    }
    return Wrap(std::move(*table), options, decimal);
  }

  static std::unique_ptr<TableHandle> Create(const std::string& path, const py::list& field_list,
                                             const std::string& kind, int codepage, bool overwrite,
                                             const OpenOptions& open_options, bool decimal) {
    std::vector<Field> fields;
    for (py::handle item : field_list) {
      auto [name, type, length, decimals] =
          item.cast<std::tuple<std::string, std::string, int, int>>();
      if (type.size() != 1) throw py::value_error("field " + name + ": a type is one letter");
      fields.push_back(Field{name, type[0], length, decimals});
    }
    CreateOptions options;
    // Each kind with its memo file; a table without memo fields gets the plain byte.
    options.version = kind == "dbase3"   ? 0x83
                      : kind == "foxpro" ? 0xF5
                      : kind == "level7" ? 0x8C
                                         : 0x8B;
    options.codepage = codepage;
    options.overwrite = overwrite;
    options.national_names = true;  // Python's names have always taken the page's letters
    options.open = open_options;
    std::optional<Table> table;
    {
      py::gil_scoped_release release;
      table.emplace(vexel::create(path, fields, options));
    }
    return Wrap(std::move(*table), open_options, decimal);
  }

  py::list Fields() const {
    py::list out;
    for (const Field& f : state_->fields)
      out.append(py::make_tuple(f.name, std::string(1, f.type), f.length, f.decimals, f.nullable));
    return out;
  }
  std::uint32_t Size() {
    return state_->Run([](Table& t) { return t.size(); });
  }
  int Codepage() { return state_->codepage; }
  std::string Path() { return state_->Get().path().string(); }
  std::vector<std::string> Warnings() { return state_->Get().warnings(); }
  bool Closed() const { return !state_->table; }
  void Close() { state_->Close(); }

  py::object Read(std::uint32_t recno) {
    Record record = state_->Run([&](Table& t) { return t.read(recno); });
    return state_->Row(record);
  }

  std::unique_ptr<CursorHandle> Scan() {
    return MakeCursor([](Table& t) { return t.scan(); });
  }
  std::unique_ptr<CursorHandle> Order(const std::string& tag, py::object start, py::object stop) {
    std::optional<Value> from, to;
    if (!start.is_none()) from = KeyValue(start);
    if (!stop.is_none()) to = KeyValue(stop);
    return MakeCursor([&](Table& t) { return t.order(tag, from, to); });
  }
  std::unique_ptr<CursorHandle> Where(const std::string& condition) {
    return MakeCursor([&](Table& t) { return t.where(condition); });
  }

  std::optional<std::uint32_t> Seek(const std::string& tag, py::handle key,
                                    const std::string& how) {
    const Value value = KeyValue(key);
    return state_->Run([&](Table& t) { return t.seek(tag, value, SeekModeNamed(how)); });
  }

  // The record a seek finds, as (recno, deleted, values), or None.
  py::object Find(const std::string& tag, py::handle key, const std::string& how) {
    const Value value = KeyValue(key);
    std::optional<Record> record =
        state_->Run([&](Table& t) { return t.find(tag, value, SeekModeNamed(how)); });
    if (!record) return py::none();
    return state_->Row(*record);
  }

  py::object Eval(const std::string& expression, std::uint32_t recno) {
    Value value = state_->Run([&](Table& t) { return t.eval(expression, recno); });
    return ToPython(value);
  }

  py::list Tags() {
    std::vector<TagInfo> tags = state_->Run([](Table& t) { return t.tags(); });
    py::list out;
    for (const TagInfo& tag : tags)
      out.append(py::make_tuple(tag.name, tag.key, tag.for_expr, tag.descending, tag.unique,
                                std::string(1, tag.key_type)));
    return out;
  }

  void AddTag(const std::string& name, const std::string& key, const std::string& for_expr,
              bool descending, bool unique, int fill_percent) {
    const NewTag tag{name, key, for_expr, descending, unique};
    state_->Run([&](Table& t) { t.add_tag(tag, fill_percent); });
  }
  void Reindex(int fill_percent) {
    state_->Run([&](Table& t) { t.reindex(fill_percent); });
  }
  // (ok, problems, notes, repaired): the findings as "WHERE: WHAT"; with a repair, ok tells
  // whether the table is sound afterwards.
  py::tuple Check(bool repair) {
    const TableCheck report = CheckOpenTable(repair);
    const auto lines = [](const std::vector<CheckFinding>& findings) {
      py::list out;
      for (const CheckFinding& f : findings) out.append(Text(f.where + ": " + f.what));
      return out;
    };
    py::list problems = lines(report.findings());
    py::list repaired;
    bool ok = report.ok;
    if (const std::optional<IndexRepair>& r = report.repair) {
      if (r->counted > 0) {
        repaired.append(Text("the header now counts the " + std::to_string(r->counted) +
                             " record(s) past its old count"));
      }
      for (const std::string& tag : r->rebuilt) {
        repaired.append(Text("rebuilt tag " + tag + " of " + report.index_path +
                             "; the old file is " + r->backup));
      }
      for (const std::string& what : r->not_repaired)
        problems.append(Text("not repaired: " + what));
      ok = r->sound;
    }
    return py::make_tuple(ok, problems, lines(report.all_notes()), repaired);
  }

  std::unique_ptr<LockHandle> Lock(std::uint32_t recno) {
    std::optional<RecordLock> lock;
    state_->Run([&](Table& t) { lock.emplace(t.lock(recno)); });
    return std::make_unique<LockHandle>(state_, recno, std::move(*lock));
  }

  void Update(std::uint32_t recno, const py::dict& values) {
    auto converted = state_->Values(values);
    state_->Run([&](Table& t) { t.update(recno, converted); });
  }
  std::uint32_t Append(const py::dict& values) {
    auto converted = state_->Values(values);
    return state_->Run([&](Table& t) { return t.append(converted); });
  }
  // Converts and checks every row first; then appends them all under one append lock.
  py::object AppendMany(py::iterable rows) {
    std::vector<std::vector<std::pair<std::string, Value>>> converted;
    std::size_t row_number = 0;
    for (py::handle row : rows) {
      ++row_number;
      if (!py::isinstance<py::dict>(row))
        throw py::type_error("row " + std::to_string(row_number) + " is no dict");
      const std::string where = "row " + std::to_string(row_number) + ": ";
      try {
        converted.push_back(state_->Values(py::reinterpret_borrow<py::dict>(row)));
      } catch (const py::type_error& e) {
        throw py::type_error(where + e.what());
      } catch (const py::value_error& e) {
        throw py::value_error(where + e.what());
      } catch (const py::key_error& e) {
        throw py::key_error(where + e.what());
      }
    }
    if (converted.empty()) return py::module_::import("builtins").attr("range")(0);
    std::uint32_t first = state_->Run([&](Table& t) {
      AppendLock lock = t.lock_append();
      return lock.append_many(converted);
    });
    return py::module_::import("builtins").attr("range")(first, first + converted.size());
  }

  void Delete(std::uint32_t recno) {
    state_->Run([&](Table& t) { t.remove(recno); });
  }
  void Recall(std::uint32_t recno) {
    state_->Run([&](Table& t) { t.recall(recno); });
  }

 private:
  static std::unique_ptr<TableHandle> Wrap(Table table, const OpenOptions& options, bool decimal) {
    return std::make_unique<TableHandle>(std::make_shared<TableState>(
        std::move(table), options, decimal ? Decimals::kDecimal : Decimals::kFloat));
  }

  template <typename Make>
  std::unique_ptr<CursorHandle> MakeCursor(Make&& make) {
    std::optional<Cursor> cursor;
    state_->Run([&](Table& t) { cursor.emplace(make(t)); });
    return std::make_unique<CursorHandle>(state_, std::move(*cursor));
  }

  // Checks the table with vexel::check_table, which opens it itself. This open would refuse the
  // checker's when it is exclusive, or when a repair needs the table to itself: the table is
  // then closed meanwhile (its cursors end) and opened again as it was.
  TableCheck CheckOpenTable(bool repair) {
    const OpenMode mode = state_->Run([](Table& t) { return t.mode(); });
    const std::string path = Path();
    for (const Dependent* dependent : state_->dependents) {
      if (dependent->Holds())
        throw Error(220, "release the locks held on " + path + " before checking it");
    }
    if (repair && mode == OpenMode::read_only) throw Error(5, path + " was opened read-only");
    // The table as it is open: its mode (a shared open this user may only read is read_only)
    // and the page its text is read in.
    OpenOptions options = state_->options;
    options.mode = mode;
    options.codepage = state_->codepage;
    const bool aside = repair || mode == OpenMode::exclusive;
    if (!aside) return state_->Run([&](Table&) { return check_table(path, false, options); });
    std::set<Dependent*> dropped;
    dropped.swap(state_->dependents);
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(state_->file_work);
    for (Dependent* dependent : dropped) dependent->Drop();
    if (!state_->table) throw py::value_error("operation on a closed table");
    state_->table->close();
    std::optional<TableCheck> report;
    try {
      report = check_table(path, repair, options);
    } catch (...) {
      state_->table = vexel::open(path, state_->options);
      throw;
    }
    state_->table = vexel::open(path, state_->options);
    return std::move(*report);
  }

  std::shared_ptr<TableState> state_;
};

}  // namespace

}  // namespace vexel::python

PYBIND11_MODULE(_vexel, m) {
  using namespace vexel::python;
  m.doc() = "The engine's tables as Python objects; use the package vexel, not this module.";
  InitValueTypes();
  m.attr("__version__") = VX_VERSION;

  // One Python class per kind of vexel::Error, in the same hierarchy as the C++ classes; a
  // request the library refuses (InputError: a value that does not fit, a tag that is not there;
  // NotSupportedError, one kind of it) is both a vexel.Error and a ValueError.
  const auto make = [&m](const char* name, py::object bases) {
    py::object type = py::reinterpret_steal<py::object>(
        PyErr_NewException((std::string("vexel._vexel.") + name).c_str(), bases.ptr(), nullptr));
    if (!type) throw py::error_already_set();
    m.attr(name) = type;
    return type;
  };
  const py::object error = make("Error", py::reinterpret_borrow<py::object>(PyExc_Exception));
  const py::object input = make("InputError", py::make_tuple(error, py::handle(PyExc_ValueError)));
  ErrorType(vexel::ErrorKind::engine) = error;
  ErrorType(vexel::ErrorKind::lock) = make("LockError", error);
  ErrorType(vexel::ErrorKind::data) = make("DataError", error);
  ErrorType(vexel::ErrorKind::input) = input;
  ErrorType(vexel::ErrorKind::not_supported) = make("NotSupportedError", input);
  m.attr("NotSupported") = ErrorType(vexel::ErrorKind::not_supported);  // the earlier name
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const vexel::Error& e) {
      RaiseEngineError(ErrorType(e.kind()), e);
    }
  });

  py::class_<vexel::OpenOptions>(m, "OpenOptions");

  py::class_<CursorHandle>(m, "Cursor")
      .def("fetch", &CursorHandle::Fetch, py::arg("count"))
      .def("columns", &CursorHandle::Columns, py::arg("names"), py::arg("deleted"));

  py::class_<LockHandle>(m, "RecordLock")
      .def("set", &LockHandle::Set, py::arg("name"), py::arg("value"))
      .def("commit", &LockHandle::Commit)
      .def("release", &LockHandle::Release)
      .def_property_readonly("held", &LockHandle::held);

  py::class_<TableHandle>(m, "Table")
      .def_static("options", &TableHandle::Options, py::arg("mode"), py::arg("codepage"),
                  py::arg("ignore_index"), py::arg("lock_retries"), py::arg("lock_wait_ms"),
                  py::arg("ndx_files"))
      .def_static("open", &TableHandle::Open, py::arg("path"), py::arg("options"),
                  py::arg("decimal"))
      .def_static("create", &TableHandle::Create, py::arg("path"), py::arg("fields"),
                  py::arg("kind"), py::arg("codepage"), py::arg("overwrite"), py::arg("options"),
                  py::arg("decimal"))
      .def("fields", &TableHandle::Fields)
      .def("size", &TableHandle::Size)
      .def("codepage", &TableHandle::Codepage)
      .def("path", &TableHandle::Path)
      .def("warnings", &TableHandle::Warnings)
      .def("closed", &TableHandle::Closed)
      .def("close", &TableHandle::Close)
      .def("read", &TableHandle::Read, py::arg("recno"))
      .def("scan", &TableHandle::Scan)
      .def("order", &TableHandle::Order, py::arg("tag"), py::arg("start"), py::arg("stop"))
      .def("where", &TableHandle::Where, py::arg("condition"))
      .def("seek", &TableHandle::Seek, py::arg("tag"), py::arg("key"), py::arg("how"))
      .def("find", &TableHandle::Find, py::arg("tag"), py::arg("key"), py::arg("how"))
      .def("eval", &TableHandle::Eval, py::arg("expression"), py::arg("recno"))
      .def("tags", &TableHandle::Tags)
      .def("add_tag", &TableHandle::AddTag, py::arg("name"), py::arg("key"), py::arg("for_expr"),
           py::arg("descending"), py::arg("unique"), py::arg("fill_percent"))
      .def("reindex", &TableHandle::Reindex, py::arg("fill_percent"))
      .def("check", &TableHandle::Check, py::arg("repair"))
      .def("lock", &TableHandle::Lock, py::arg("recno"))
      .def("update", &TableHandle::Update, py::arg("recno"), py::arg("values"))
      .def("append", &TableHandle::Append, py::arg("values"))
      .def("append_many", &TableHandle::AppendMany, py::arg("rows"))
      .def("delete", &TableHandle::Delete, py::arg("recno"))
      .def("recall", &TableHandle::Recall, py::arg("recno"));
}
