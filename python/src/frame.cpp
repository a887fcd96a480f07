#include "frame.h"

#include <pybind11/numpy.h>

#include <limits>
#include <string>

#include "values.h"

namespace vexel::python {

namespace {

py::array NewArray(const char* dtype, std::size_t size) {
  return py::array(py::dtype(dtype), std::vector<py::ssize_t>{static_cast<py::ssize_t>(size)});
}

// One column's values as they are read, in the representation its array will have.
class ColumnBuffer {
 public:
  enum class Kind { kText, kNumber, kDate, kLogical, kOther };

  explicit ColumnBuffer(const Field& field) : field_(field) {
    switch (field.type) {
      case 'C':
      case 'M':
      case 'V':
        kind_ = Kind::kText;
        break;
      case 'N':
      case 'F':
        kind_ = Kind::kNumber;
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
    whole_ = kind_ == Kind::kNumber && field.decimals == 0;
  }

  void Add(const Record& record, std::size_t i) {
    const Value& value = record[i];
    const bool blank = std::holds_alternative<std::monostate>(value);
    switch (kind_) {
      case Kind::kText:
        if (const auto* text = std::get_if<std::string>(&value)) {
          text_.push_back(*text);
        } else {
          text_.push_back(blank ? std::string() : record.text(i));
        }
        return;
      case Kind::kNumber:
        AddNumber(value);
        break;
      case Kind::kDate: {
        const auto* date = std::get_if<Date>(&value);
        whole_numbers_.push_back(date ? DaysSinceEpoch(*date)
                                      : std::numeric_limits<std::int64_t>::min());
        return;
      }
      case Kind::kLogical: {
        const auto* flag = std::get_if<bool>(&value);
        flags_.push_back(flag && *flag ? 1 : 0);
        PushBlank(flag == nullptr);
        return;
      }
      case Kind::kOther:
        others_.push_back(value);
        return;
    }
  }

  // Answers (kind, values, blank mask or None); needs the GIL.
  py::tuple ToArrays() const {
    switch (kind_) {
      case Kind::kText: {
        py::array values = NewArray("O", text_.size());
        auto** data = static_cast<PyObject**>(values.mutable_data());
        for (std::size_t i = 0; i < text_.size(); ++i) {
          PyObject* str = PyUnicode_DecodeUTF8(text_[i].data(),
                                               static_cast<Py_ssize_t>(text_[i].size()), "replace");
          if (str == nullptr) throw py::error_already_set();
          Py_XDECREF(data[i]);
          data[i] = str;
        }
        return py::make_tuple(field_.name, "text", values, py::none());
      }
      case Kind::kNumber:
        if (whole_) {
          return py::make_tuple(field_.name, "int", ToArray(whole_numbers_), Mask());
        }
        return py::make_tuple(field_.name, "float", ToArray(reals_), py::none());
      case Kind::kDate: {
        py::array values = NewArray("datetime64[D]", whole_numbers_.size());
        std::copy(whole_numbers_.begin(), whole_numbers_.end(),
                  static_cast<std::int64_t*>(values.mutable_data()));
        return py::make_tuple(field_.name, "date", values, py::none());
      }
      case Kind::kLogical: {
        py::array_t<bool> values(static_cast<py::ssize_t>(flags_.size()));
        std::copy(flags_.begin(), flags_.end(), values.mutable_data());
        return py::make_tuple(field_.name, "bool", values, Mask());
      }
      case Kind::kOther:
        break;
    }
    py::array values = NewArray("O", others_.size());
    auto** data = static_cast<PyObject**>(values.mutable_data());
    for (std::size_t i = 0; i < others_.size(); ++i) {
      Py_XDECREF(data[i]);
      data[i] = ToPython(others_[i], field_).release().ptr();
    }
    return py::make_tuple(field_.name, "object", values, py::none());
  }

 private:
  void AddNumber(const Value& value) {
    if (const auto* whole = std::get_if<std::int64_t>(&value)) {
      if (whole_) {
        whole_numbers_.push_back(*whole);
      } else {
        reals_.push_back(static_cast<double>(*whole));
      }
      PushBlank(false);
      return;
    }
    if (const auto* real = std::get_if<double>(&value)) {
      if (whole_) {
        // A number the engine gives as a double (too large, or with a fraction): the column
        // becomes float64 from here on.
        whole_ = false;
        reals_.assign(whole_numbers_.begin(), whole_numbers_.end());
        for (std::size_t i = 0; i < blank_.size(); ++i)
          if (blank_[i]) reals_[i] = std::numeric_limits<double>::quiet_NaN();
        whole_numbers_.clear();
      }
      reals_.push_back(*real);
      PushBlank(false);
      return;
    }
    if (whole_) {
      whole_numbers_.push_back(0);
    } else {
      reals_.push_back(std::numeric_limits<double>::quiet_NaN());
    }
    PushBlank(true);
  }

  void PushBlank(bool blank) {
    blank_.push_back(blank ? 1 : 0);
    any_blank_ = any_blank_ || blank;
  }

  py::object Mask() const {
    if (!any_blank_) return py::none();
    py::array_t<bool> mask(static_cast<py::ssize_t>(blank_.size()));
    std::copy(blank_.begin(), blank_.end(), mask.mutable_data());
    return mask;
  }

  template <typename T>
  static py::array_t<T> ToArray(const std::vector<T>& values) {
    py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), array.mutable_data());
    return array;
  }

  const Field& field_;
  Kind kind_;
  bool whole_ = false;
  bool any_blank_ = false;
  std::vector<std::string> text_;
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
  {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(file_work);
    if (!cursor) throw py::value_error("operation on a closed table");
    while (cursor->next()) {
      const Record& record = cursor->record();
      if (!deleted && record.deleted()) continue;
      recnos.push_back(record.recno());
      for (std::size_t c = 0; c < columns.size(); ++c) buffers[c].Add(record, columns[c]);
    }
  }
  py::list arrays;
  for (const ColumnBuffer& buffer : buffers) arrays.append(buffer.ToArrays());
  py::array_t<std::int64_t> recno_array(static_cast<py::ssize_t>(recnos.size()));
  std::copy(recnos.begin(), recnos.end(), recno_array.mutable_data());
  py::dict result;
  result["recno"] = recno_array;
  result["columns"] = arrays;
  return result;
}

}  // namespace vexel::python
