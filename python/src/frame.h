#pragma once
// Reads the chosen fields of every record a cursor yields into column buffers (the file work,
// without the GIL), then hands them to Python as NumPy arrays for pandas: text as str objects,
// whole numbers as int64 with a blank mask, other numbers as float64 (NaN for blank), dates as
// datetime64[D] (NaT for blank), logicals as bool with a blank mask.

#include <pybind11/pybind11.h>

#include <mutex>
#include <optional>
#include <vector>
#include <vexel/vexel.hpp>

namespace vexel::python {

namespace py = pybind11;

// Answers {"recno": int64 array, "columns": [(name, kind, values, blank mask or None), ...]} with
// kind one of "text", "int", "float", "date", "bool", "object". `columns` are field indexes.
// Records marked deleted are left out unless `deleted`. `file_work` is held (and the GIL
// released) while the records are read; a cursor dropped by then (its table closed) is a
// ValueError.
py::dict ReadColumns(std::optional<Cursor>& cursor, const std::vector<Field>& fields,
                     const std::vector<std::size_t>& columns, bool deleted, std::mutex& file_work);

}  // namespace vexel::python
