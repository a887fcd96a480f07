"""dBASE tables (.DBF with their .DBT/.FPT memos and .MDX indexes) from Python, on the Vexel engine.

Open a table, read its records, follow its index tags, edit it under record locks that other
programs respect (every tag and memo kept current), and load it into pandas in one call::

    import vexel
    with vexel.open("movie.DBF") as films:
        for film in films.order("TITLE", start="C"):
            print(film.recno, film.TITLE, film.YEAR)
        with films.lock(3) as film:
            film.RUNTIME = 103
        frame = films.to_pandas(columns=["TITLE", "YEAR"], where="YEAR < 1960")

Values are Python types: ``str`` (decoded through the table's code page), ``int`` for numbers
without decimals, ``float`` (or ``decimal.Decimal`` with ``decimal=True``) for the others,
``datetime.date``, ``bool`` and ``None`` for a blank date, number or logical; memo fields give
their text (binary memos and pictures bytes). Writing ``None`` blanks a field (a blank number
reads back as ``None``).

Errors: every engine failure is :class:`vexel.Error` with ``.code`` (the engine's error number)
and its message; a request the library refuses (a tag that is not there, a value that does not
fit) is :class:`vexel.InputError`, also a ``ValueError``; a lock another program holds, still
refused after the engine's retries, is :class:`vexel.LockError`. A value of the wrong Python
type is ``TypeError``, a value that does not fit its field ``ValueError``, an unknown field name
``KeyError``, and any use of a closed table ``ValueError``; none of them writes anything.

``vexel.__version__`` is the project's version. The guide, with more examples: python/README.md
in the project's repository.
"""

from __future__ import annotations

import collections.abc
import os
import warnings as _warnings
from typing import Any, Iterable, Iterator, Mapping, NamedTuple, Optional, Sequence, Union

from ._vexel import DataError, Error, InputError, LockError, NotSupportedError, __version__
from ._vexel import Table as _Handle

for _type in (Error, InputError, LockError, DataError, NotSupportedError):
    _type.__module__ = "vexel"
Error.__doc__ = """An engine failure: ``code`` is the engine's error number (2 file not found,
210 not a table, 220 a value that does not fit, 222 a damaged index, 351 an expression that does
not compile, ...) and ``str(error)`` its message, naming the file, record and field."""
InputError.__doc__ = """A request the library refuses, also a ``ValueError`` (code 220): a tag or
field that is not there, a value that does not fit, text the table's code page has no place
for; nothing was changed."""
LockError.__doc__ = """A record, append, file or memo lock another program holds, still refused
after the retries (``lock_retries``, ``lock_wait``); nothing was changed."""
DataError.__doc__ = """A file that cannot be read or written as asked: a memo that cannot be
read, text that is no text of the table's code page, a disk that refused a write."""
NotSupportedError.__doc__ = """What the package does not do with a table it otherwise reads: the
tags of a dBASE level 7 index, and edits that would leave that index stale; an ``InputError``;
nothing was changed."""
NotSupported = NotSupportedError  # the earlier name



class ReadWarning(UserWarning):
    """What a read went on without: a memo file that cannot be opened (memo fields read as
    None), a production index that cannot be read (no tags), a memo that cannot be read."""


__all__ = [
    "Error", "InputError", "LockError", "DataError", "NotSupportedError", "NotSupported", "ReadWarning", "Field", "Tag", "CheckReport", "Record", "LockedRecord", "Table",
    "open", "create", "read_dbf", "from_pandas",
]

# Records are fetched from the engine this many at a time (the GIL is released while they are
# read).
_BATCH = 1024


class Field(NamedTuple):
    """A field of a table.

    ``name``: upper case, as stored. ``type``: its letter: ``C`` text, ``N`` and ``F``
    numbers, ``D`` date, ``L`` logical, ``M`` memo; other programs' tables also have ``I``,
    ``B``, ``O``, ``Y`` (binary numbers), ``T`` and ``@`` (date-times), ``V``, ``Q``, ``G``,
    ``P`` and others. ``length``: its width in the record, in bytes. ``decimals``: digits after
    the point (numbers). ``nullable``: whether the field may hold .NULL. (Visual FoxPro; such a
    field reads None for .NULL. and takes a nullable pandas dtype). Tables made by
    :func:`create` have no nullable fields."""
    name: str
    type: str
    length: int
    decimals: int = 0
    nullable: bool = False


class Tag(NamedTuple):
    """A tag of the table's production index (.MDX)."""
    name: str
    key: str
    for_: str
    descending: bool
    unique: bool
    key_type: str


class CheckReport(NamedTuple):
    """What :meth:`Table.check` found: ``ok``, one line per problem ("WHERE: WHAT"), notes
    (not faults) and, after a repair, what was mended. A report is true when the table is
    sound."""
    ok: bool
    problems: list
    notes: list = []
    repaired: list = []

    def __bool__(self) -> bool:
        return self.ok


class _Layout:
    """The field names of one table and where each value sits in a record."""
    __slots__ = ("names", "index")

    def __init__(self, fields: Sequence[Field]):
        self.names = tuple(f.name for f in fields)
        self.index = {}
        for i, name in enumerate(self.names):
            self.index[name] = i
            self.index[name.upper()] = i


class Record(collections.abc.Mapping):
    """One record, as read: a mapping from field name (any case) to value, also readable as
    attributes (``rec.TITLE``), with ``recno`` (from 1) and ``deleted`` (the deletion mark).

    Field names that are also mapping methods (``keys``, ``items``, ``values``, ``get``) are
    read with ``rec["KEYS"]``."""
    __slots__ = ("_layout", "_values", "recno", "deleted")

    def __init__(self, layout: _Layout, recno: int, deleted: bool, values: Sequence[Any]):
        self._layout = layout
        self._values = values
        self.recno = recno
        self.deleted = deleted

    def __getitem__(self, name: str) -> Any:
        index = self._layout.index
        i = index.get(name)
        if i is None:
            i = index.get(name.upper()) if isinstance(name, str) else None
            if i is None:
                raise KeyError(name)
        return self._values[i]

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            raise AttributeError(name)
        try:
            return self[name]
        except KeyError:
            raise AttributeError(f"record has no field {name}") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._layout.names)

    def __len__(self) -> int:
        return len(self._layout.names)

    def as_dict(self) -> dict:
        """Answers the values as a dict keyed by field name (the fastest way to a plain dict)."""
        return dict(zip(self._layout.names, self._values))

    def __repr__(self) -> str:
        mark = ", deleted" if self.deleted else ""
        values = ", ".join(f"{n}={v!r}" for n, v in zip(self._layout.names, self._values))
        return f"<Record {self.recno}{mark}: {values}>"


class LockedRecord(Record):
    """A record held under its record lock: assign fields (``rec.TITLE = "..."`` or
    ``rec["TITLE"] = ...``), then :meth:`commit` or leave the ``with`` block, which writes the
    changes (every index tag and memo kept current) and releases the lock. A block left by an
    exception writes nothing. Each value is checked when it is assigned (TypeError, ValueError,
    KeyError)."""
    __slots__ = ("_lock", "_table")

    def __init__(self, table: "Table", lock: Any, row: tuple):
        recno, deleted, values = row
        super().__init__(table._layout, recno, deleted, list(values))
        object.__setattr__(self, "_lock", lock)
        object.__setattr__(self, "_table", table)

    def __setattr__(self, name: str, value: Any) -> None:
        if name in Record.__slots__:
            object.__setattr__(self, name, value)
            return
        try:
            self[name] = value
        except KeyError:
            raise AttributeError(f"record has no field {name}") from None

    def __setitem__(self, name: str, value: Any) -> None:
        i = self._layout.index.get(name.upper()) if isinstance(name, str) else None
        if i is None:
            raise KeyError(name)
        self._lock.set(name, value)
        self._values[i] = value

    def commit(self) -> None:
        """Writes the assigned values and releases the lock (also when the write fails)."""
        try:
            self._lock.commit()
        finally:
            self._lock.release()
        _, self.deleted, values = self._table._t.read(self.recno)
        self._values = list(values)

    def release(self) -> None:
        """Releases the lock without writing what was assigned since the last commit."""
        self._lock.release()

    @property
    def locked(self) -> bool:
        """Whether this record's lock is still held."""
        return self._lock.held

    def __enter__(self) -> "LockedRecord":
        return self

    def __exit__(self, kind, value, traceback) -> None:
        if kind is None and self._lock.held:
            self.commit()
        else:
            self.release()


def _check_recno(recno: Any) -> int:
    if isinstance(recno, bool) or not isinstance(recno, int):
        raise TypeError(f"record numbers are int, not {type(recno).__name__}")
    return recno


def _values(values: Optional[Mapping[str, Any]], fields: Mapping[str, Any]) -> dict:
    merged = dict(values or {})
    merged.update(fields)
    return merged


class Table:
    """An open table. Use it as a context manager (closed at the end of the block), or call
    :meth:`close`.

    ``len(table)`` is the record count (it follows other programs' appends), iteration gives
    every record in file order (deleted ones too, with ``rec.deleted`` set) and ``table[recno]``
    one record (numbers from 1)."""

    def __init__(self, handle: _Handle):
        self._t = handle
        self._fields = tuple(Field(*f) for f in handle.fields())
        self._layout = _Layout(self._fields)
        self._warned = 0

    def _warn(self, stacklevel: int = 3) -> None:
        """Passes on the engine's new warnings (see :class:`ReadWarning`)."""
        if self._t.closed():
            return
        said = self._t.warnings()
        for text in said[self._warned:]:
            _warnings.warn(text, ReadWarning, stacklevel=stacklevel)
        self._warned = len(said)

    # -- the table ---------------------------------------------------------------------------

    @property
    def fields(self) -> tuple:
        """The fields, as :class:`Field` (name, type, length, decimals)."""
        return self._fields

    @property
    def path(self) -> str:
        """The table's file."""
        return self._t.path()

    @property
    def codepage(self) -> int:
        """The code page the table's text is read and written in."""
        return self._t.codepage()

    @property
    def closed(self) -> bool:
        """Whether the table is closed (by :meth:`close` or the end of its ``with`` block)."""
        return self._t.closed()

    def close(self) -> None:
        """Closes the table; its iterators and locks end with it. Closing twice does nothing."""
        self._t.close()

    def __enter__(self) -> "Table":
        return self

    def __exit__(self, kind, value, traceback) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.closed:
            return "<vexel.Table closed>"
        return f"<vexel.Table {self.path!r}, {len(self)} records>"

    # -- reading -----------------------------------------------------------------------------

    def __len__(self) -> int:
        return self._t.size()

    def _records(self, cursor: Any) -> Iterator[Record]:
        layout = self._layout
        while True:
            rows = cursor.fetch(_BATCH)
            self._warn()
            if not rows:
                return
            for recno, deleted, values in rows:
                yield Record(layout, recno, deleted, values)

    def __iter__(self) -> Iterator[Record]:
        return self._records(self._t.scan())

    def __getitem__(self, recno: int) -> Record:
        _check_recno(recno)
        if not 1 <= recno <= len(self):
            raise IndexError(f"no record {recno} (the table has {len(self)})")
        return Record(self._layout, *self._t.read(recno))

    def order(self, tag: str, start: Any = None, stop: Any = None) -> Iterator[Record]:
        """Answers the records of index tag ``tag`` in its order: only those its FOR condition
        holds, from the first key at or after ``start`` up to the last key at or before
        ``stop`` (both optional; a str is compared as a key's beginning)."""
        return self._records(self._t.order(tag, start, stop))

    def where(self, condition: str) -> Iterator[Record]:
        """Answers the records, in file order, for which the dBASE ``condition`` is true
        (e.g. ``'YEAR < 1960 .AND. COLOR'``); the engine evaluates it over blocks of records.
        Deleted records are included unless the condition says ``.NOT. DELETED()``. A
        condition that does not compile is :class:`Error` 351 (or another in the 300s)."""
        return self._records(self._t.where(condition))

    def seek(self, tag: str, key: Any, soft: bool = False, exact: bool = False) -> Optional[Record]:
        """Answers the first record whose key in ``tag`` matches ``key``, or None.

        A str key matches the keys that begin with it (as dBASE's SEEK does), or the whole key
        with ``exact=True``; with ``soft=True`` a key that is not there gives the record of the
        next higher key (None past the last)."""
        how = "soft" if soft else ("exact" if exact or not isinstance(key, str) else "prefix")
        row = self._t.find(tag, key, how)
        return None if row is None else Record(self._layout, *row)

    def eval(self, expression: str, recno: int = 1) -> Any:
        """Answers the value of the dBASE ``expression`` over record ``recno`` (from 1), e.g.
        ``table.eval("UPPER(TITLE) + STR(YEAR, 5)", 6)``."""
        return self._t.eval(expression, _check_recno(recno))

    @property
    def tags(self) -> tuple:
        """The tags of the production index, as :class:`Tag`."""
        return tuple(Tag(*t) for t in self._t.tags())

    def to_pandas(self, columns: Optional[Sequence[str]] = None, where: Optional[str] = None,
                  order: Optional[str] = None, deleted: bool = False):
        """Answers a pandas DataFrame of the table (its index the record numbers).

        ``columns`` chooses and orders the fields; ``where`` a dBASE condition the records must
        meet; ``order`` a tag whose order (and FOR condition) to follow; ``deleted=True`` keeps
        records marked deleted. Text is ``str``, dates ``datetime64[D]`` with ``NaT`` for blank,
        whole numbers ``int64`` (``Int64`` when blanks occur), other numbers ``float64``,
        logicals the nullable ``boolean``, date-times ``datetime64[ns]``. A field that may be
        .NULL. (Visual FoxPro) always takes a nullable type: ``string``, ``Int64``, ``Float64``,
        ``boolean``, ``NaT`` in dates, with ``<NA>`` for .NULL."""
        from . import _frames
        frame = _frames.to_pandas(self, columns, where, order, deleted)
        self._warn()
        return frame

    # -- indexes and checks ------------------------------------------------------------------

    def add_tag(self, name: str, key: str, for_: Optional[str] = None, descending: bool = False,
                unique: bool = False, fill_percent: int = 100) -> None:
        """Adds the tag ``name`` to the production index (creating the index when there is
        none), or replaces the tag of that name. ``key``: the dBASE key expression (e.g.
        ``"UPPER(TITLE)"``); ``for_``: a condition only the records in the tag meet;
        ``descending``: keys from the highest; ``unique``: one record per key;
        ``fill_percent`` (1 to 100): how full the build leaves each leaf, the rest kept for later
        keys. Needs the table opened ``mode="exclusive"``."""
        self._t.add_tag(name, key, for_ or "", descending, unique, fill_percent)

    def reindex(self, fill_percent: int = 100) -> None:
        """Rebuilds every tag of the production index from its definition (exclusive use),
        filling each leaf ``fill_percent`` (1 to 100) full."""
        self._t.reindex(fill_percent)

    def check(self, repair: bool = False) -> CheckReport:
        """Checks the table header, memo pointers and every index tag; with ``repair=True``
        (exclusive use) rebuilds the tags that failed, and ``ok`` says whether the table is
        sound afterwards. A repair, or a check of a table opened exclusively, closes the table
        and opens it again: iterations begun before it end."""
        ok, problems, notes, repaired = self._t.check(repair)
        return CheckReport(ok, list(problems), list(notes), list(repaired))

    # -- edits -------------------------------------------------------------------------------

    def lock(self, recno: int) -> LockedRecord:
        """Locks record ``recno`` and answers it for editing (see :class:`LockedRecord`)::

            with table.lock(3) as rec:
                rec.TITLE = "Casablanca"

        Raises LockError when another program holds the lock after the engine's retries."""
        return LockedRecord(self, self._t.lock(_check_recno(recno)), self._t.read(recno))

    def update(self, recno: int, values: Optional[Mapping[str, Any]] = None, **fields: Any) -> None:
        """Writes fields of record ``recno`` under its lock: ``values`` (a mapping of field
        name to value) and ``fields`` (the same as keywords, ``update(3, YEAR=1950)``)."""
        self._t.update(_check_recno(recno), _values(values, fields))

    def append(self, values: Optional[Mapping[str, Any]] = None, **fields: Any) -> int:
        """Appends one record and answers its number: ``values`` (a mapping of field name to
        value) and ``fields`` (keywords, ``append(TITLE="Zulu")``); fields not given stay
        blank."""
        return self._t.append(_values(values, fields))

    def append_many(self, rows: Iterable[Mapping[str, Any]]) -> range:
        """Appends ``rows`` (each a mapping of field name to value) under one append lock and
        answers their record numbers as a ``range``. Every row is checked before any is
        written; a refused one is named by its number (from 1)."""
        checked = []
        for row in rows:
            if not isinstance(row, collections.abc.Mapping):
                raise TypeError(f"row {len(checked) + 1} is no mapping but a "
                                f"{type(row).__name__}")
            checked.append(dict(row))
        return self._t.append_many(checked)

    def delete(self, recno: int) -> None:
        """Marks record ``recno`` deleted (under its lock)."""
        self._t.delete(_check_recno(recno))

    def recall(self, recno: int) -> None:
        """Takes the deletion mark off record ``recno`` (under its lock)."""
        self._t.recall(_check_recno(recno))


_MODES = ("shared", "exclusive", "readonly")


def _options(mode: str, codepage: Optional[int], ignore_index: bool, lock_retries: int,
             lock_wait: float, ndx_files: Sequence[Union[str, os.PathLike]] = ()) -> Any:
    if mode not in _MODES:
        raise ValueError(f"mode is one of {', '.join(_MODES)}, not {mode!r}")
    if lock_retries < 0 or lock_wait < 0:
        raise ValueError("lock_retries and lock_wait are not negative")
    if isinstance(ndx_files, (str, bytes, os.PathLike)):
        raise TypeError("ndx_files is a list of file names")
    return _Handle.options(mode, codepage or 0, ignore_index, lock_retries,
                           int(round(lock_wait * 1000)), [os.fspath(f) for f in ndx_files])


def open(path: Union[str, os.PathLike], mode: str = "shared", codepage: Optional[int] = None,
         *, decimal: bool = False, ignore_index: bool = False, lock_retries: int = 2,
         lock_wait: float = 0.1, ndx_files: Sequence[Union[str, os.PathLike]] = ()) -> Table:
    """Opens the table at ``path`` (a ``.dbf`` file; its memo file and production index are
    found beside it).

    ``mode``: ``"shared"`` (other programs may open and edit it too; edits take record and
    append locks), ``"exclusive"`` (no other program may open it; needed for add_tag and
    reindex) or ``"readonly"``. ``codepage``: the page the table's text is in (e.g. 1252, 866);
    by default the table's language driver mark says, else the locale's DOS page.
    ``decimal=True`` gives numbers with decimals as ``decimal.Decimal`` (their exact stored
    digits) instead of ``float``. ``ignore_index=True`` does not open the production index (it
    goes stale if you then edit). A lock another program holds is tried again
    ``lock_retries`` times, ``lock_wait`` seconds apart, before LockError.

    ``mode="readonly"`` needs neither the memo file nor the production index to be sound: a
    memo file that cannot be opened makes the memo fields None, an index that cannot be read
    leaves the table without tags, and each is said in a :class:`ReadWarning`.

    ``ndx_files``: dBASE III index files (``.NDX``; the extension and the table's folder are
    added to a bare name) that every edit keeps current; one that is missing, damaged or does
    not agree with the table refuses the edit."""
    options = _options(mode, codepage, ignore_index, lock_retries, lock_wait, ndx_files)
    table = Table(_Handle.open(os.fspath(path), options, decimal))
    table._warn()
    return table


def _field_tuple(field: Any) -> tuple:
    if isinstance(field, str):
        parts = [p.strip() for p in field.split(",")]
        if len(parts) not in (3, 4):
            raise ValueError(f"a field is NAME,TYPE,LENGTH[,DECIMALS], not {field!r}")
        return (parts[0], parts[1].upper(), int(parts[2]), int(parts[3]) if len(parts) == 4 else 0)
    field = tuple(field)
    if len(field) == 3:
        field += (0,)
    if len(field) == 5:
        if field[4]:
            raise ValueError(f"field {field[0]}: new tables have no fields that may be .NULL.")
        field = field[:4]
    if len(field) != 4:
        raise ValueError(f"a field is (name, type, length, decimals), not {field!r}")
    return (str(field[0]), str(field[1]).upper(), int(field[2]), int(field[3]))


_KINDS = {0x03: "dbase3", 0x83: "dbase3", 0x8B: "dbase4", 0xF5: "foxpro", 0x04: "level7",
          0x8C: "level7", "dbase3": "dbase3", "dbase4": "dbase4", "foxpro": "foxpro",
          "level7": "level7"}


def create(path: Union[str, os.PathLike], fields: Iterable[Any],
           version: Union[int, str, None] = None, codepage: Optional[int] = None, *,
           overwrite: bool = False, mode: str = "shared", decimal: bool = False,
           lock_retries: int = 2, lock_wait: float = 0.1) -> Table:
    """Creates an empty table at ``path`` (and its memo file when a field is a memo) and
    answers it, open.

    ``fields``: :class:`Field` values, ``(name, type, length, decimals)`` tuples or
    ``"NAME,TYPE,LENGTH,DECIMALS"`` strings. ``version``: the table kind, by its version byte
    or name: 0x83 or ``"dbase3"`` (.DBT), 0x8B or ``"dbase4"`` (the default, .DBT), 0xF5 or
    ``"foxpro"`` (.FPT), 0x8C or ``"level7"``; a table without memo fields gets 0x03 (0x04 for
    level 7). ``codepage``: the page of the table's text, written as its language driver mark.
    An existing table is refused unless ``overwrite=True`` (which replaces its memo file and
    index too). The table is opened in ``mode``; ``decimal``, ``lock_retries`` and
    ``lock_wait`` as in :func:`open`."""
    if version not in (None, *_KINDS):
        raise ValueError(f"no table kind {version!r}")
    options = _options(mode, codepage, False, lock_retries, lock_wait)
    return Table(_Handle.create(os.fspath(path), [_field_tuple(f) for f in fields],
                                _KINDS.get(version, "dbase4"), codepage or 0, overwrite, options,
                                decimal))


def read_dbf(path: Union[str, os.PathLike], columns: Optional[Sequence[str]] = None,
             where: Optional[str] = None, order: Optional[str] = None, deleted: bool = False,
             codepage: Optional[int] = None, ignore_index: bool = False):
    """Answers the table at ``path`` as a pandas DataFrame in one call, indexed by record
    number; the table is opened read-only and closed again.

    ``columns``: the fields to read, in that order (all by default); ``where``: a dBASE
    condition the records must meet; ``order``: a tag whose order (and FOR condition) to
    follow; ``deleted=True`` keeps records marked deleted; ``codepage``: the page the text is
    in (by default the table's language driver mark says); ``ignore_index=True`` does not open
    the production index (needed only for ``order``). A memo file or production index that
    cannot be read is gone without (a :class:`ReadWarning` says so). The dtypes are those of
    :meth:`Table.to_pandas`::

        frame = vexel.read_dbf("movie.DBF", columns=["TITLE", "YEAR"], where="YEAR < 1960")
    """
    with open(path, "readonly", codepage, ignore_index=ignore_index) as table:
        return table.to_pandas(columns=columns, where=where, order=order, deleted=deleted)


def from_pandas(frame, path: Union[str, os.PathLike], fields: Optional[Any] = None,
                version: Optional[int] = None, codepage: Optional[int] = None) -> int:
    """Writes the DataFrame ``frame`` as a new table at ``path`` (refused when one is there)
    and answers the number of records written.

    Each column becomes a field named after it (upper case; a name must be a valid dBASE field
    name of at most 10 characters). Its type and width come from the data: text ``C`` as wide
    as the longest value in bytes (one a character, more in UTF-8 or a two-byte page; a memo
    ``M`` past 254 bytes), whole numbers ``N`` with no
    decimals, other numbers ``N`` with the decimals their values need, dates ``D``, logicals
    ``L``. ``fields`` gives some or all of them instead: a mapping of column name to
    ``(type, length, decimals)``. Missing values (None, NaN, NaT, NA) are stored blank (and read
    back missing); a time of day in a date column is refused, not cut off.
    ``version`` and ``codepage``: the table kind and the page its text is written in, as in
    :func:`create`. A value that does not fit its field is refused with ``ValueError`` (text
    the code page lacks with :class:`InputError`, also a ``ValueError``) naming the frame's row (its index label) and
    column, and no file is left behind."""
    from . import _frames
    return _frames.from_pandas(frame, path, fields, version, codepage)
