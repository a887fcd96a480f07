#pragma once
// Conversions between the public API's field values and Python objects: what a record's value
// becomes in Python (str, int, float or decimal.Decimal, datetime.date, bool, None) and which
// Python values a field takes, checked against the field's type and width before anything is
// written.

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vexel/vexel.hpp>

namespace vexel::python {

namespace py = pybind11;

// How numbers with decimals come back.
enum class Decimals { kFloat, kDecimal };

// Imports datetime's C API and decimal.Decimal; called once when the module loads.
void InitValueTypes();

// Answers the Python object for `value`, the value of field `field` (of record `record`, whose
// stored text gives decimal.Decimal its exact digits).
py::object ToPython(const Value& value, const Field& field, const Record& record, std::size_t i,
                    Decimals decimals);
// The same for a value whose stored text `text` gives when asked.
py::object ToPython(const Value& value, const Field& field, std::uint32_t recno,
                    const std::function<std::string()>& text, Decimals decimals);
// Answers a value without a record to take text from (expression results): as stored.
py::object ToPython(const Value& value);
// Answers the value of field `field` without its stored text: memo types holding bytes
// (pictures, objects, binary memos) as bytes, numbers as float.
py::object ToPython(const Value& value, const Field& field);

// Answers the value `object` stands for in `field`. Raises TypeError for a Python type the field
// does not take and ValueError for a number too wide for the field, a date Python cannot hold or
// text longer than the field (counted in characters of a one-byte code page, else in bytes).
Value FromPython(py::handle object, const Field& field, int codepage);

// The number of days from 1970-01-01 to `date` (datetime64[D]'s unit).
std::int64_t DaysSinceEpoch(const Date& date);

}  // namespace vexel::python
