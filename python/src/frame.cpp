#include "frame.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

#include "values.h"

namespace vexel::python {

namespace {

// Records read from the table at a time.
constexpr std::size_t kBlockRecords = 4096;
// Distinct texts of a column whose str objects are shared.
constexpr std::size_t kMostShared = 4096;

py::array NewArray(const char* dtype, std::size_t size) {
  return py::array(py::dtype(dtype), std::vector<py::ssize_t>{static_cast<py::ssize_t>(size)});
}

// One column's values as they are read, in the representation its array will have.
class ColumnBuffer {
 public:
  enum class Kind { kText, kNumber, kDate, kLogical, kOther };

  explicit ColumnBuffer(const Field& field) : field_(field), nullable_(field.nullable) {
    switch (field.type) {
      case 'C':
      case 'M':
      case 'V':
        // A binary memo holds bytes: made one value at a time, as iteration makes them.
        kind_ = field.binary ? Kind::kOther : Kind::kText;
        break;
      case 'N':
      case 'F':
      case 'I':  // the binary numbers: integers (I, +), doubles (B, O) and currency (Y)
      case '+':
      case 'O':
      case 'Y':
        kind_ = Kind::kNumber;
        break;
      case 'B':  // a Visual FoxPro double; dBASE's binary memo holds bytes
        kind_ = field.binary ? Kind::kOther : Kind::kNumber;
        break;
      case 'D':
        kind_ = Kind::kDate;
        break;
      case 'L':
        kind_ = Kind::kLogical;
        break;
      default:
        kind_ = Kind::kOther;
        break;
    }
    whole_ = kind_ == Kind::kNumber && field.decimals == 0 && field.type != 'B' &&
             field.type != 'O' && field.type != 'Y';
  }

  // Takes field `field` of every row of the block.
  void Add(const RecordBlock& block, std::size_t field) {
    const std::size_t n = block.size();
    const std::size_t at = rows_;
    rows_ += n;
    switch (kind_) {
      case Kind::kText:
        if (!nullable_) {
          block.texts(field, joined_, ends_);
          return;
        }
        // .NULL. is no text: a mask beside the texts.
        blank_.resize(rows_);
        others_.clear();
        block.values(field, others_);
        for (std::size_t row = 0; row < n; ++row) {
          const auto* text = std::get_if<std::string>(&others_[row]);
          if (text != nullptr) joined_ += *text;
          blank_[at + row] = text == nullptr ? 1 : 0;
          ends_.push_back(joined_.size());
        }
        others_.clear();
        return;
      case Kind::kNumber:
        blank_.resize(rows_);
        if (whole_) {
          whole_numbers_.resize(rows_);
          if (block.whole_numbers(field, whole_numbers_.data() + at, blank_.data() + at)) return;
          // A number that is no whole one of 64 bits: the column becomes float64.
          whole_ = false;
          reals_.assign(whole_numbers_.begin(), whole_numbers_.begin() + at);
          for (std::size_t i = 0; i < at; ++i)
            if (blank_[i]) reals_[i] = std::numeric_limits<double>::quiet_NaN();
          whole_numbers_.clear();
        }
        reals_.resize(rows_);
        block.numbers(field, reals_.data() + at, blank_.data() + at);
        return;
      case Kind::kDate:
        whole_numbers_.resize(rows_);
        block.days(field, whole_numbers_.data() + at, nullptr);
        return;
      case Kind::kLogical:
        flags_.resize(rows_);
        blank_.resize(rows_);
        block.logicals(field, flags_.data() + at, blank_.data() + at);
        return;
      case Kind::kOther:
        for (std::size_t row = 0; row < n; ++row) others_.push_back(block.value(row, field));
        return;
    }
  }

  // Answers (kind, values, blank mask or None) of the rows `kept` names (every row when it is
  // null); needs the GIL.
  py::tuple ToArrays(const std::vector<std::size_t>* kept) const {
    const std::size_t n = kept == nullptr ? rows_ : kept->size();
    const auto row = [&](std::size_t i) { return kept == nullptr ? i : (*kept)[i]; };
    switch (kind_) {
      case Kind::kText: {
        py::array values = NewArray("O", n);
        auto** data = static_cast<PyObject**>(values.mutable_data());
        // A text that comes again is the same str object: columns of few distinct values
        // (names, codes, memos written alike) cost one object each, not one per row. A column
        // of mostly distinct values stops looking once the map is full.
        std::unordered_map<std::string_view, PyObject*> made;
        bool sharing = true;
        for (std::size_t i = 0; i < n; ++i) {
          const std::size_t r = row(i);
          PyObject* str = nullptr;
          if (nullable_ && blank_[r] != 0) {
            str = Py_NewRef(Py_None);
          } else {
            const std::size_t start = r == 0 ? 0 : ends_[r - 1];
            const std::string_view text(joined_.data() + start, ends_[r] - start);
            const auto found = sharing ? made.find(text) : made.end();
            if (found != made.end()) {
              str = Py_NewRef(found->second);
            } else {
              str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                         "replace");
              if (str == nullptr) throw py::error_already_set();
              if (sharing && made.size() < kMostShared) {
                made.emplace(text, str);  // the array holds the reference
              } else {
                sharing = false;
              }
            }
          }
          Py_XDECREF(data[i]);
          data[i] = str;
        }
        return py::make_tuple(field_.name, nullable_ ? "string" : "text", values, Mask(kept));
      }
      case Kind::kNumber:
        if (whole_) {
          return py::make_tuple(field_.name, "int", ToArray(whole_numbers_, kept), Mask(kept));
        }
        return py::make_tuple(field_.name, "float", ToArray(reals_, kept),
                              nullable_ ? Mask(kept) : py::none());
      case Kind::kDate: {
        py::array values = NewArray("datetime64[D]", n);
        auto* out = static_cast<std::int64_t*>(values.mutable_data());
        for (std::size_t i = 0; i < n; ++i) out[i] = whole_numbers_[row(i)];
        return py::make_tuple(field_.name, "date", values, py::none());
      }
      case Kind::kLogical:
        return py::make_tuple(field_.name, "bool", ToArray<bool>(flags_, kept), Mask(kept));
      case Kind::kOther:
        break;
    }
    py::array values = NewArray("O", n);
    auto** data = static_cast<PyObject**>(values.mutable_data());
    for (std::size_t i = 0; i < n; ++i) {
      Py_XDECREF(data[i]);
      data[i] = ToPython(others_[row(i)], field_).release().ptr();
    }
    const bool datetime = field_.type == 'T' || field_.type == '@';
    return py::make_tuple(field_.name, datetime ? "datetime" : "object", values, py::none());
  }

 private:
  // The blank (or .NULL.) rows as a mask; None when there are none, unless the field may be
  // .NULL. (its column then always takes a nullable type).
  py::object Mask(const std::vector<std::size_t>* kept) const {
    if (blank_.size() != rows_) return py::none();
    bool any = nullable_;
    if (kept == nullptr) {
      any = any || std::find(blank_.begin(), blank_.end(), 1) != blank_.end();
    } else {
      for (std::size_t r : *kept) any = any || blank_[r] != 0;
    }
    if (!any) return py::none();
    return ToArray<bool>(blank_, kept);
  }

  template <typename T, typename From>
  static py::array_t<T> ToArray(const std::vector<From>& values,
                                const std::vector<std::size_t>* kept) {
    const std::size_t n = kept == nullptr ? values.size() : kept->size();
    py::array_t<T> array(static_cast<py::ssize_t>(n));
    T* out = array.mutable_data();
    if (kept == nullptr) {
      std::copy(values.begin(), values.end(), out);
    } else {
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<T>(values[(*kept)[i]]);
    }
    return array;
  }
  template <typename T>
  static py::array_t<T> ToArray(const std::vector<T>& values,
                                const std::vector<std::size_t>* kept) {
    return ToArray<T, T>(values, kept);
  }

  const Field& field_;
  bool nullable_;
  Kind kind_;
  bool whole_ = false;
  std::size_t rows_ = 0;
  std::string joined_;  // text: every row's UTF-8, one after the other
  std::vector<std::size_t> ends_;
  std::vector<std::int64_t> whole_numbers_;  // whole numbers, or dates as days since 1970
  std::vector<double> reals_;
  std::vector<std::uint8_t> flags_;
  std::vector<std::uint8_t> blank_;
  std::vector<Value> others_;
};

}  // namespace

py::dict ReadColumns(std::optional<Cursor>& cursor, const std::vector<Field>& fields,
                     const std::vector<std::size_t>& columns, bool deleted, std::mutex& file_work) {
  std::vector<ColumnBuffer> buffers;
  buffers.reserve(columns.size());
  for (std::size_t i : columns) buffers.emplace_back(fields.at(i));
  std::vector<std::int64_t> recnos;
  std::vector<std::size_t> kept;  // the rows to keep when some are left out
  bool all = true;
  {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(file_work);
    if (!cursor) throw py::value_error("operation on a closed table");
    RecordBlock block;
    std::size_t rows = 0;
    bool leaving_out = false;
    while (cursor->next(block, kBlockRecords) > 0) {
      for (std::size_t row = 0; row < block.size(); ++row) {
        const bool keep = deleted || !block.deleted(row);
        if (!keep && !leaving_out) {
          leaving_out = true;
          for (std::size_t r = 0; r < rows + row; ++r) kept.push_back(r);
        }
        if (keep) {
          recnos.push_back(block.recno(row));
          if (leaving_out) kept.push_back(rows + row);
        }
      }
      rows += block.size();
      for (std::size_t c = 0; c < columns.size(); ++c) buffers[c].Add(block, columns[c]);
    }
    all = !leaving_out;
  }
  py::list arrays;
  for (const ColumnBuffer& buffer : buffers) arrays.append(buffer.ToArrays(all ? nullptr : &kept));
  py::array_t<std::int64_t> recno_array(static_cast<py::ssize_t>(recnos.size()));
  std::copy(recnos.begin(), recnos.end(), recno_array.mutable_data());
  py::dict result;
  result["recno"] = recno_array;
  result["columns"] = arrays;
  return result;
}

}  // namespace vexel::python
