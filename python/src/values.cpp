#include "values.h"

#include <datetime.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

namespace vexel::python {

namespace {

py::object& DecimalType() {
  // Leaked on purpose: the interpreter may be gone when static destructors run.
  static auto* type = new py::object(py::module_::import("decimal").attr("Decimal"));
  return *type;
}

bool IsNumberField(char type) { return type == 'N' || type == 'F'; }

// Memo types whose memos are bytes (pictures, OLE objects, binary memos).
bool IsBinaryField(char type) {
  return type == 'B' || type == 'G' || type == 'P' || type == 'W' || type == 'Q';
}

std::string Describe(const Field& field) {
  std::string text = field.name + " (" + field.type + "," + std::to_string(field.length);
  if (field.decimals > 0) text += "," + std::to_string(field.decimals);
  return text + ")";
}

[[noreturn]] void WrongType(const Field& field, const char* wanted, py::handle object) {
  throw py::type_error("field " + field.name + " takes " + wanted + ", not " +
                       std::string(Py_TYPE(object.ptr())->tp_name));
}

// Whether `text`, a number as it would be stored, fits the field's width.
void CheckWidth(const Field& field, const std::string& text) {
  if (field.type != 'N' && field.type != 'F') return;
  if (static_cast<int>(text.size()) > field.length)
    throw py::value_error(text + " does not fit field " + Describe(field));
}

Value FromInteger(std::int64_t value, const Field& field) {
  std::string text = std::to_string(value);
  if (field.decimals > 0) text += "." + std::string(field.decimals, '0');
  CheckWidth(field, text);
  return value;
}

Value FromDouble(double value, const Field& field) {
  // NaN is no number a field can hold (None leaves a field blank; from_pandas passes pandas'
  // missing values as None).
  if (std::isnan(value)) throw py::value_error("field " + field.name + " cannot hold NaN");
  if (!std::isfinite(value)) throw py::value_error("field " + field.name + " cannot hold infinity");
  // Checked by the rule the library stores numbers by (rounded half away from zero).
  if (IsNumberField(field.type) && !number_field_text(value, field.length, field.decimals)) {
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    throw py::value_error(std::string(text) + " does not fit field " + Describe(field));
  }
  return value;
}

bool IsOneBytePage(int codepage) {
  return codepage != 65001 && codepage != 932 && codepage != 936 && codepage != 949 &&
         codepage != 950;
}

}  // namespace

void InitValueTypes() {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw py::error_already_set();
  DecimalType();
}

py::object ToPython(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    PyObject* str =
        PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace");
    if (str == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(str);
  }
  if (const auto* number = std::get_if<std::int64_t>(&value)) return py::int_(*number);
  if (const auto* number = std::get_if<double>(&value)) return py::float_(*number);
  if (const auto* flag = std::get_if<bool>(&value)) return py::bool_(*flag);
  if (const auto* t = std::get_if<DateTime>(&value)) {
    PyObject* object = PyDateTime_FromDateAndTime(t->date.year, t->date.month, t->date.day, t->hour,
                                                  t->minute, t->second, t->millisecond * 1000);
    if (object == nullptr) {
      PyErr_Clear();
      throw py::value_error("no calendar date: " + std::to_string(t->date.year) + "-" +
                            std::to_string(t->date.month) + "-" + std::to_string(t->date.day));
    }
    return py::reinterpret_steal<py::object>(object);
  }
  if (const auto* date = std::get_if<Date>(&value)) {
    PyObject* object = PyDate_FromDate(date->year, date->month, date->day);
    if (object == nullptr) {
      PyErr_Clear();
      throw py::value_error("no calendar date: " + std::to_string(date->year) + "-" +
                            std::to_string(date->month) + "-" + std::to_string(date->day));
    }
    return py::reinterpret_steal<py::object>(object);
  }
  return py::none();
}

py::object ToPython(const Value& value, const Field& field) {
  if (IsBinaryField(field.type) || field.binary) {
    if (const auto* bytes = std::get_if<std::string>(&value)) return py::bytes(*bytes);
  }
  return ToPython(value);
}

py::object ToPython(const Value& value, const Field& field, const Record& record, std::size_t i,
                    Decimals decimals) {
  return ToPython(
      value, field, record.recno(), [&] { return record.text(i); }, decimals);
}

py::object ToPython(const Value& value, const Field& field, std::uint32_t recno,
                    const std::function<std::string()>& text, Decimals decimals) {
  if (decimals == Decimals::kDecimal && field.decimals > 0 && IsNumberField(field.type) &&
      !std::holds_alternative<std::monostate>(value)) {
    try {
      return DecimalType()(text());
    } catch (py::error_already_set&) {
      // Stored text Decimal does not read (overflow stars): the engine's value stands.
    }
  }
  try {
    return ToPython(value, field);
  } catch (py::value_error& e) {
    throw py::value_error("record " + std::to_string(recno) + ", field " + field.name + ": " +
                          e.what());
  }
}

Value FromPython(py::handle handle, const Field& field, int codepage) {
  const auto object = py::reinterpret_borrow<py::object>(handle);
  PyObject* o = object.ptr();
  if (o == Py_None) return std::monostate{};
  const char type = field.type;
  if (field.binary && PyBytes_Check(o)) return object.cast<std::string>();
  if (type == 'C' || type == 'M' || type == 'V') {
    if (!PyUnicode_Check(o)) WrongType(field, "str", object);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (utf8 == nullptr) throw py::error_already_set();
    // In a page of one byte to a character the count tells at once; in UTF-8 or a two-byte
    // page the library counts the stored bytes (and refuses with InputError).
    if (type == 'C' && IsOneBytePage(codepage)) {
      const Py_ssize_t count = PyUnicode_GetLength(o);
      if (count > field.length)
        throw py::value_error("text of " + std::to_string(count) +
                              " characters does not fit field " + Describe(field));
    }
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  if (type == 'L') {
    if (PyBool_Check(o)) return o == Py_True;
    if (std::string_view(Py_TYPE(o)->tp_name) == "numpy.bool_") return PyObject_IsTrue(o) == 1;
    WrongType(field, "bool or None", object);
  }
  if (type == 'D') {
    if (!PyDate_Check(o)) WrongType(field, "datetime.date or None", object);
    return Date{PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o)};
  }
  if (IsNumberField(type)) {
    if (PyBool_Check(o) || PyUnicode_Check(o)) WrongType(field, "a number", object);
    if (PyFloat_Check(o)) return FromDouble(PyFloat_AS_DOUBLE(o), field);
    if (PyIndex_Check(o)) {
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(py::int_(object).ptr(), &overflow);
      if (overflow != 0)
        throw py::value_error(py::str(object).cast<std::string>() + " does not fit field " +
                              Describe(field));
      if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
      return FromInteger(value, field);
    }
    if (py::isinstance(object, DecimalType())) {
      if (!object.attr("is_finite")().cast<bool>()) {
        return FromDouble(py::float_(object).cast<double>(), field);
      }
      if (field.decimals == 0 &&
          object.attr("__eq__")(object.attr("to_integral_value")()).cast<bool>())
        return FromPython(py::int_(object), field, codepage);
      return FromDouble(py::float_(object).cast<double>(), field);
    }
    if (PyNumber_Check(o)) return FromDouble(py::float_(object).cast<double>(), field);
    WrongType(field, "a number", object);
  }
  // A Visual FoxPro B field holds a double: a number goes on to the fields below.
  if (IsBinaryField(type) && (type != 'B' || PyBytes_Check(o) || !PyNumber_Check(o))) {
    if (!PyBytes_Check(o)) WrongType(field, "bytes", object);
    return object.cast<std::string>();
  }
  if (PyDateTime_Check(o)) {
    return DateTime{{PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o)},
                    PyDateTime_DATE_GET_HOUR(o),
                    PyDateTime_DATE_GET_MINUTE(o),
                    PyDateTime_DATE_GET_SECOND(o),
                    PyDateTime_DATE_GET_MICROSECOND(o) / 1000};
  }
  // Field types with no Python type of their own take what the engine accepts for them.
  if (PyBool_Check(o)) return o == Py_True;
  if (PyLong_Check(o)) return static_cast<std::int64_t>(py::int_(object).cast<long long>());
  if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
  if (PyUnicode_Check(o)) return object.cast<std::string>();
  if (PyDate_Check(o))
    return Date{PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o)};
  WrongType(field, "str, a number, datetime.date or bool", object);
}

std::int64_t DaysSinceEpoch(const Date& date) {
  // Days from civil (proleptic Gregorian calendar).
  const std::int64_t y = date.year - (date.month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t m = date.month;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + date.day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace vexel::python
