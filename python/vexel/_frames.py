"""pandas for vexel: tables into DataFrames (columns built by the engine as NumPy arrays) and
DataFrames into new tables. Imported only when used, so that pandas stays optional."""

from __future__ import annotations

import datetime
import decimal
import math
import os
import re

import numpy
import pandas

from ._vexel import Error, InputError

_NAME = re.compile(r"^[A-Za-z][A-Za-z0-9_]{0,9}$")
_LARGEST_NUMBER = 20  # the widest N field
_MOST_DECIMALS = 10


# pandas keeps dates as nanoseconds since 1970: the years 1678 to 2261 fit.
_EARLIEST = numpy.datetime64("1678-01-01")
_LATEST = numpy.datetime64("2261-12-31")


def _fits_nanoseconds(dates):
    present = dates[~numpy.isnat(dates)]
    return present.size == 0 or (present.min() >= _EARLIEST and present.max() <= _LATEST)


def _frame(table, cursor, columns, deleted):
    built = cursor.columns(list(columns), deleted)
    data = {}
    for name, kind, values, blank in built["columns"]:
        # A field that may be .NULL. (or, for numbers, holds blanks) gets a nullable type.
        if kind == "int" and blank is not None:
            data[name] = pandas.arrays.IntegerArray(values, blank)
        elif kind == "float" and blank is not None:
            data[name] = pandas.arrays.FloatingArray(values, blank)
        elif kind == "string":
            data[name] = pandas.array(values, dtype="string")
        elif kind == "datetime":
            try:
                data[name] = pandas.to_datetime(values).to_numpy()
            except (pandas.errors.OutOfBoundsDatetime, OverflowError):
                data[name] = values  # datetime.datetime, None for blank
        elif kind == "date" and not _fits_nanoseconds(values):
            data[name] = values.astype(object)  # datetime.date, None for blank
        elif kind == "bool":
            data[name] = pandas.arrays.BooleanArray(values, blank if blank is not None
                                                    else numpy.zeros(len(values), dtype=bool))
        else:
            data[name] = values
    index = pandas.Index(built["recno"], name="recno")
    return pandas.DataFrame(data, index=index, columns=list(columns))


def to_pandas(table, columns, where, order, deleted):
    if columns is None:
        columns = [f.name for f in table.fields]
    else:
        columns = [table.fields[table._layout.index[c.upper()]].name
                   if c.upper() in table._layout.index else _unknown(c) for c in columns]
    t = table._t
    if order is not None:
        frame = _frame(table, t.order(order, None, None), columns, deleted)
        if where is not None:
            chosen = set()
            cursor = t.where(where)
            while rows := cursor.fetch(4096):
                chosen.update(r[0] for r in rows)
            frame = frame[frame.index.isin(chosen)]
        return frame
    cursor = t.where(where) if where is not None else t.scan()
    return _frame(table, cursor, columns, deleted)


def _unknown(name):
    raise KeyError(f"no field {name}")


# -- DataFrames into tables ----------------------------------------------------------------------

def _decimals_needed(values):
    """The fewest decimals (up to 10) that write every float exactly as repr shows it."""
    most = 0
    for v in values:
        text = repr(float(v))
        if "e" in text or "E" in text:
            return _MOST_DECIMALS
        if "." in text:
            fraction = text.split(".")[1].rstrip("0")
            most = max(most, len(fraction))
    return min(most, _MOST_DECIMALS)


def _number_field(values, decimals):
    width = 1
    for v in values:
        whole = int(abs(v)) if math.isfinite(v) else 0
        width = max(width, len(str(whole)) + (1 if v < 0 else 0))
    width += decimals + 1 if decimals else 0
    if width > _LARGEST_NUMBER:
        decimals = max(0, decimals - (width - _LARGEST_NUMBER))
        width = _LARGEST_NUMBER
    return ("N", width, decimals)


def _stored_length(text, codepage):
    """The bytes `text` takes in a table of `codepage`: one a character, but in UTF-8 and the
    two-byte pages (932, 936, 949, 950) as many as that page stores it in."""
    if codepage == 65001:
        return len(text.encode("utf-8"))
    if codepage in (932, 936, 949, 950):
        try:
            return len(text.encode("cp%d" % codepage))
        except UnicodeEncodeError:  # the table refuses it, naming the character
            return len(text)
    return len(text)


def _infer(name, series, codepage=None):
    present = series.dropna()
    dtype = series.dtype
    if pandas.api.types.is_bool_dtype(dtype):
        return ("L", 1, 0)
    if pandas.api.types.is_integer_dtype(dtype):
        return _number_field([int(v) for v in present], 0)
    if pandas.api.types.is_float_dtype(dtype):
        finite = [float(v) for v in present if math.isfinite(v)]
        return _number_field(finite, _decimals_needed(finite))
    if pandas.api.types.is_datetime64_any_dtype(dtype):
        return ("D", 8, 0)
    values = list(present)
    if not values or all(isinstance(v, str) for v in values):
        longest = max((_stored_length(v, codepage) for v in values), default=1)
        return ("C", max(longest, 1), 0) if longest <= 254 else ("M", 10, 0)
    if all(isinstance(v, (bool, numpy.bool_)) for v in values):
        return ("L", 1, 0)
    if all(isinstance(v, datetime.date) for v in values):
        return ("D", 8, 0)
    if all(isinstance(v, (int, numpy.integer)) and not isinstance(v, bool) for v in values):
        return _number_field([int(v) for v in values], 0)
    if all(isinstance(v, (int, float, decimal.Decimal, numpy.number)) for v in values):
        if all(isinstance(v, decimal.Decimal) for v in values):
            decimals = min(max(max(-v.as_tuple().exponent, 0) for v in values), _MOST_DECIMALS)
        else:
            decimals = _decimals_needed(values)
        return _number_field([float(v) for v in values], decimals)
    kinds = sorted({type(v).__name__ for v in values})
    raise TypeError(f"column {name!r} holds values of types {', '.join(kinds)}: give its field "
                    f"in fields=")


def _native(value):
    """A value as the table takes it: None for every kind of missing, Python numbers and dates."""
    if value is None or value is pandas.NA or value is pandas.NaT:
        return None
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, pandas.Timestamp):
        return value.date()
    if isinstance(value, numpy.generic):
        return value.item()
    return value


def _check_days(name, series):
    """Refuses a time of day in a column bound for a date field (it would be lost)."""
    if not pandas.api.types.is_datetime64_any_dtype(series.dtype):
        return
    present = series.dropna()
    timed = present[present != present.dt.normalize()]
    if len(timed):
        raise ValueError(f"row {timed.index[0]!r}, column {name} ({timed.iloc[0]!r}): a date "
                         f"field holds no time of day")


def _refusal(error, frame, written):
    """The error `error` again, naming the frame's row (by its index label) and column: a row
    refused while the rows were checked says its number; one the table refused as it was
    written is the one after the `written` rows."""
    text = str(error)
    checked = re.match(r"row (\d+): (.*)", text, re.S)
    position = int(checked.group(1)) - 1 if checked else written
    if checked:
        text = checked.group(2)
    said = re.search(r"field (\w+)", text)
    columns = {str(c).upper(): c for c in frame.columns}
    where = f"row {frame.index[position]!r}" if position < len(frame) else f"row {position + 1}"
    if said and said.group(1).upper() in columns:
        column = columns[said.group(1).upper()]
        value = repr(frame[column].iloc[position]) if position < len(frame) else "?"
        where += f", column {column} ({value if len(value) <= 40 else value[:37] + '...'})"
    kind = InputError if isinstance(error, Error) else type(error)
    refusal = kind(f"{where}: {text}")
    if hasattr(error, "code"):
        refusal.code = error.code
    return refusal


def from_pandas(frame, path, fields, version, codepage):
    from . import create
    given = {str(k).upper(): v for k, v in (fields or {}).items()}
    definitions = []
    for column in frame.columns:
        name = str(column)
        if not _NAME.match(name):
            raise ValueError(f"column {name!r} is no dBASE field name (a letter, then up to 9 "
                             f"letters, digits or _): rename it")
        declared = given.pop(name.upper(), None)
        kind = tuple(declared) if declared is not None else _infer(name, frame[column], codepage)
        definitions.append((name.upper(),) + kind + ((0,) if len(kind) == 2 else ()))
        if str(kind[0]).upper() == "D":
            _check_days(name, frame[column])
    if given:
        raise KeyError(f"fields= names columns the frame does not have: {', '.join(given)}")
    names = [d[0] for d in definitions]
    columns = [[_native(v) for v in frame[c].astype(object)] for c in frame.columns]
    rows = [dict(zip(names, values)) for values in zip(*columns)]
    path = os.fspath(path)
    folder = os.path.dirname(path) or "."
    before = set(os.listdir(folder))
    table = create(path, definitions, version, codepage)
    try:
        with table:
            try:
                if rows:
                    table.append_many(rows)
            except (ValueError, TypeError, Error) as refused:
                # Code 220: a value the table refused as it was written (text its code page
                # lacks); other engine failures pass as they are.
                if isinstance(refused, Error) and refused.code != 220:
                    raise
                raise _refusal(refused, frame, len(table)) from None
    except BaseException:
        # A value the table refused: the new files go again, so that nothing half-written stays.
        table.close()
        stem = os.path.splitext(os.path.basename(path))[0].upper()
        for name in set(os.listdir(folder)) - before:
            if os.path.splitext(name)[0].upper() == stem:
                os.remove(os.path.join(folder, name))
        raise
    return len(rows)
