"""Reading through the package: Python values, orders, seeks, conditions and expressions, checked
against what vxdbf prints for the same files (the demo film table and the corpus of other
programs' tables and indexes), and against dbfread, an independent reader."""

import datetime
import decimal
import json
import math
import warnings

import pytest

import vexel
from conftest import blank_numbers, corpus_tables, dump, vxdbf


def test_film_table_values_are_python_types(film):
    with vexel.open(film, "readonly") as t:
        assert [f.name for f in t.fields] == ["TITLE", "YEAR", "COLOR", "RUNTIME", "STARS",
                                              "DIRECTOR", "PLOT", "PREMIERE"]
        assert t.fields[0] == vexel.Field("TITLE", "C", 20, 0)
        assert len(t) == 20
        rec = t[2]
        assert rec.recno == 2 and rec.deleted is False
        assert rec.TITLE == "City Lights" and rec["title"] == "City Lights"
        assert rec.YEAR == 1931 and type(rec.YEAR) is int
        assert rec.COLOR is False
        assert rec.PREMIERE == datetime.date(1931, 1, 30)
        assert rec.PLOT.startswith("The Tramp befriends")
        assert rec.STARS == "Charlie Chaplin, Virginia Cherrill"
        assert t[1].STARS == "Brigitte Helm, Gustav Fröhlich"
        assert dict(rec) == rec.as_dict() and list(rec) == [f.name for f in t.fields]
        assert [r.recno for r in t] == list(range(1, 21))
        for bad in (0, 21, -1):
            with pytest.raises(IndexError):
                t[bad]
        with pytest.raises(TypeError):
            t["1"]
        with pytest.raises(KeyError):
            rec["NOPE"]
        with pytest.raises(AttributeError):
            rec.NOPE


def test_every_record_equals_vxdbf_dump(film):
    with vexel.open(film, "readonly") as t:
        ours = [r for r in t]
        types = _types(t)
    theirs = dump(film)
    assert len(ours) == len(theirs)
    for rec, row in zip(ours, theirs):
        assert _same(rec, row, types), (rec, row)


def test_blank_values_are_none_and_decimals_as_chosen(tmp_path):
    path = tmp_path / "blank.dbf"
    with vexel.create(path, ["NAME,C,10", "PRICE,N,8,2", "WHEN,D,8", "OK,L,1", "QTY,N,5"]) as t:
        t.append(NAME="full", PRICE=decimal.Decimal("12.30"), WHEN=datetime.date(2020, 2, 29),
                 OK=True, QTY=-7)
        t.append()
    blank_numbers(path, 2, [(11, 8), (28, 5)])  # PRICE and QTY as other programs leave them
    with vexel.open(path) as t:
        full, blank = t[1], t[2]
        assert full.PRICE == 12.3 and type(full.PRICE) is float and full.QTY == -7
        assert (blank.NAME, blank.PRICE, blank.WHEN, blank.OK, blank.QTY) == ("", None, None,
                                                                                None, None)
    with vexel.open(path, decimal=True) as t:
        assert t[1].PRICE == decimal.Decimal("12.30") and str(t[1].PRICE) == "12.30"
        assert t[1].QTY == -7 and t[2].PRICE is None


def test_orders_seeks_and_conditions(indexed_film):
    with vexel.open(indexed_film, "readonly") as t:
        assert [tag.name for tag in t.tags] == ["TITLE", "YEAR", "COLOR_T"]
        assert t.tags[2].for_.upper() == "COLOR" and t.tags[1].key_type == "N"
        titles = [r.TITLE for r in t.order("TITLE")]
        assert titles == sorted(titles, key=str.upper) and len(titles) == 20
        assert [r.TITLE for r in t.order("TITLE", start="C", stop="D")] == [
            "Casablanca", "Citizen Kane", "City Lights", "Dr. Strangelove"]
        assert [r.YEAR for r in t.order("YEAR", start=1970, stop=1979)] == [1972, 1975, 1977,
                                                                            1979]
        colour = [r.recno for r in t.order("COLOR_T")]
        assert colour == [r.recno for r in sorted((r for r in t if r.COLOR),
                                                  key=lambda r: r.TITLE)]
        assert t.seek("TITLE", "CASA").TITLE == "Casablanca"
        assert t.seek("TITLE", "CASA", exact=True) is None
        assert t.seek("TITLE", "CASABLANCA", exact=True).recno == 6
        assert t.seek("TITLE", "CASAZ") is None
        assert t.seek("TITLE", "CASAZ", soft=True).TITLE == "Citizen Kane"
        assert t.seek("YEAR", 1939).TITLE == "The Wizard of Oz"
        assert t.seek("YEAR", 2000, soft=True) is None
        assert [r.recno for r in t.where("YEAR < 1935")] == [1, 2]
        assert t.eval("UPPER(LEFT(TITLE, 4))", 1) == "METR"
        assert t.eval("YEAR + 1", 2) == 1932 and t.eval("COLOR", 3) is True
        assert t.eval("PREMIERE + 1", 1) == datetime.date(1927, 1, 11)
        for call, code in ((lambda: t.order("NOTAG"), None), (lambda: t.where("YEAR >"), 351),
                           (lambda: t.eval("NOPE(1)", 1), 351)):
            with pytest.raises(vexel.Error) as raised:
                call()
            assert raised.value.code == code or code is None
            assert str(raised.value)


def test_open_refuses_bad_arguments(film, tmp_path):
    with pytest.raises(ValueError):
        vexel.open(film, mode="write")
    with pytest.raises(vexel.Error) as raised:
        vexel.open(tmp_path / "missing.dbf")
    assert raised.value.code != 0
    not_a_table = tmp_path / "text.dbf"
    not_a_table.write_bytes(b"hello, this is no table at all" * 10)
    with pytest.raises(vexel.Error):
        vexel.open(not_a_table)


def test_closed_table_refuses_every_use(film):
    t = vexel.open(film)
    records = iter(t)
    t.close()
    t.close()
    assert t.closed and "closed" in repr(t)
    for call in (lambda: len(t), lambda: t[1], lambda: list(t), lambda: t.seek("X", "Y"),
                 lambda: t.append(TITLE="x"), lambda: t.lock(1), lambda: t.tags,
                 lambda: next(records)):
        with pytest.raises(ValueError, match="closed"):
            call()


# -- the corpus ----------------------------------------------------------------------------------

def test_readonly_reads_need_neither_index_nor_memo_file(indexed_film):
    """A reader goes on without what it cannot read and says so in a ReadWarning; the other
    modes refuse, naming the Python parameter."""
    mdx = indexed_film.with_suffix(".MDX")
    damaged = bytearray(mdx.read_bytes())
    damaged[512:1024] = b"\xff" * 512
    mdx.write_bytes(bytes(damaged))
    with pytest.raises(vexel.Error) as refused:
        vexel.open(indexed_film)
    assert "ignore_index" in str(refused.value) and "OpenOptions" not in str(refused.value)
    with pytest.warns(vexel.ReadWarning, match="production index"):
        frame = vexel.read_dbf(indexed_film)
    assert list(frame["TITLE"]) == [row["TITLE"] for row in dump(indexed_film)]
    with pytest.warns(vexel.ReadWarning, match="production index"):
        table = vexel.open(indexed_film, "readonly")
    with table:
        assert table.tags == ()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # asked to go without it: nothing to say
        vexel.read_dbf(indexed_film, ignore_index=True)

    mdx.unlink()
    indexed_film.with_suffix(".DBT").unlink()
    with pytest.raises(vexel.Error):
        vexel.open(indexed_film)
    with pytest.warns(vexel.ReadWarning, match="memo fields read as blank"):
        frame = vexel.read_dbf(indexed_film)
    # No memo text (None, or "" while a text column cannot hold None).
    assert (frame["PLOT"].isna() | (frame["PLOT"] == "")).all() and len(frame) == 20
    with pytest.warns(vexel.ReadWarning):
        with vexel.open(indexed_film, "readonly") as table:
            assert [r.PLOT for r in table] == [None] * 20


def _types(table):
    return {f.name: f.type for f in table.fields}


def _as_dumped(value):
    """A value as vxdbf dump writes it in JSON: date-times and dates in ISO form, bytes in hex."""
    if isinstance(value, datetime.datetime):
        text = value.strftime("%Y-%m-%dT%H:%M:%S")
        return text + ".%03d" % (value.microsecond // 1000) if value.microsecond else text
    if isinstance(value, datetime.date):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.hex()
    return value


def _same(rec, row, types, codepage=437):
    """Whether a record read by the package equals vxdbf dump's row for it."""
    if rec.deleted != row["_deleted"]:
        return False
    for name, value in rec.items():
        expected = row.get(name)
        kind = types[name]
        if isinstance(value, bytes) and isinstance(expected, str):
            # dump writes a Visual FoxPro picture in hexadecimal, a dBASE one as text.
            try:
                text = value.decode("cp%d" % codepage).rstrip(" \0")
            except (LookupError, UnicodeDecodeError):
                text = None
            if expected in (value.hex(), text) or expected.rstrip(" \0") == text:
                continue
            return False
        value = _as_dumped(value)
        if kind in "MBGP" and value is None:
            value = expected if expected in ("", None) else value
        if isinstance(value, str) and isinstance(expected, str):
            # The library drops a memo's trailing NULs as well as its blanks.
            value, expected = value.rstrip(" \0"), expected.rstrip(" \0")
        if isinstance(value, float) or isinstance(expected, float):
            if value is None or expected is None:
                if value != expected:
                    return False
            elif not math.isclose(float(value), float(expected), rel_tol=1e-12, abs_tol=1e-12):
                return False
        elif value != expected:
            return False
    return True


# Tables where the library and vxdbf read a value differently, and why.
KNOWN_DIFFERENCES = {
    # vxdbf reads a number padded with NULs as no number; the library reads 1234.
    "dbase-rs/contain_null_padded_numeric.dbf",
    # Date fields 10 bytes wide: vxdbf reads their dates, the library none.
    "ndbfreader/10BytesDates.dbf",
}


def _open_any(path):
    """The table read-only, without its index when that cannot be read; None when refused."""
    for ignore_index in (False, True):
        try:
            return vexel.open(path, "readonly", ignore_index=ignore_index)
        except vexel.Error:
            pass
    return None


def test_corpus_tables_read_as_vxdbf_dumps_them(corpus):
    compared = 0
    for path in corpus_tables(corpus):
        if path.relative_to(corpus).as_posix() in KNOWN_DIFFERENCES:
            continue
        run = vxdbf("dump", path, "--format", "jsonl", "--deleted", check=False)
        if run.returncode != 0:
            continue
        table = _open_any(path)
        if table is None:
            continue
        rows = [json.loads(line) for line in run.stdout.splitlines()]
        with table:
            records = list(table)
            types = _types(table)
            codepage = table.codepage
        assert len(records) == len(rows), path
        for rec, row in zip(records, rows):
            assert _same(rec, row, types, codepage), (path, rec, row)
        compared += 1
    assert compared >= 100, f"only {compared} corpus tables compared"


def test_corpus_tags_iterate_in_vxdbf_order(corpus):
    walked = 0
    for mdx in sorted(p for p in corpus.rglob("*") if p.suffix.lower() == ".mdx"):
        tables = [p for p in mdx.parent.iterdir()
                  if p.stem.lower() == mdx.stem.lower() and p.suffix.lower() == ".dbf"]
        if not tables:
            continue
        try:
            table = vexel.open(tables[0], "readonly")
        except vexel.Error:
            continue
        with table:
            try:
                tags = table.tags
            except vexel.Error:
                continue
            for tag in tags:
                run = vxdbf("dump", tables[0], "--tag", tag.name, "--recno", "--format", "jsonl",
                            check=False)
                if run.returncode != 0:
                    continue
                expected = [json.loads(line)["_recno"] for line in run.stdout.splitlines()]
                assert [r.recno for r in table.order(tag.name)] == expected, (mdx, tag.name)
                walked += 1
    assert walked >= 20, f"only {walked} corpus tags walked"


DBFREAD_TABLES = ["dbfread/people.dbf", "infused-dbf/dbase_03.dbf", "infused-dbf/dbase_83.dbf",
                  "infused-dbf/dbase_8b.dbf", "infused-dbf/dbase_f5.dbf", "dbd-xbase/test.dbf"]


@pytest.mark.parametrize("name", DBFREAD_TABLES)
def test_corpus_values_equal_dbfreads(corpus, name):
    dbfread = pytest.importorskip("dbfread", reason="python3-dbfread is not installed")
    path = corpus / name
    if not path.exists():
        pytest.skip(f"{name} is not in the corpus")
    with vexel.open(path, "readonly") as t:
        ours = [r for r in t if not r.deleted]
        page = t.codepage
        # dbfread reads a dBASE IV memo one byte past the length its block header gives.
        skipped = {f.name for f in t.fields if f.type == "M"} if path.read_bytes()[0] == 0x8B else set()
    theirs = list(dbfread.DBF(str(path), encoding=f"cp{page}", char_decode_errors="replace",
                              ignore_missing_memofile=True))
    assert len(ours) == len(theirs)
    for rec, row in zip(ours, theirs):
        for name, expected in row.items():
            if name in skipped:
                continue
            value = rec[name]
            if isinstance(expected, str) or (expected is None and value == ""):
                # Both readers drop trailing blanks; an empty memo is "" here, None there.
                expected = (expected or "").rstrip()
                value = (value or "").rstrip()
            if isinstance(expected, float) and value is not None:
                assert math.isclose(value, expected), (path, rec.recno, name)
            elif isinstance(expected, bytes):
                continue  # a field type dbfread leaves undecoded
            else:
                assert value == expected, (path, rec.recno, name, value, expected)


def test_level7_table_reads_and_its_index_is_not_supported(corpus, tmp_path):
    """A level 7 table with its level 7 .MDX: its records read (read_dbf, iteration, a shared
    open); its tags and edits raise NotSupportedError, and nothing changes."""
    import shutil
    for name in ("qaid.DBF", "qaid.DBT", "qaid.MDX"):
        shutil.copy(corpus / "gettingstarted-samples" / "Data" / name, tmp_path / name)
        (tmp_path / name).chmod(0o644)
    path = tmp_path / "qaid.DBF"
    rows = dump(path)
    try:
        import pandas  # noqa: F401 (read_dbf needs it)
    except ImportError:
        pandas = None
    if pandas is not None:
        frame = vexel.read_dbf(path)
        assert len(frame) == len(rows) and list(frame.SUMMARY) == [r["SUMMARY"] for r in rows]
    before = [(tmp_path / n).read_bytes() for n in ("qaid.DBF", "qaid.DBT", "qaid.MDX")]
    with vexel.open(path) as t:
        assert [r.SUMMARY for r in t] == [r["SUMMARY"] for r in rows]
        for call in (lambda: t.update(1, SUMMARY="x"), lambda: t.append(SUMMARY="x"),
                     lambda: t.delete(1), lambda: list(t.order("QAID_NO")),
                     lambda: t.seek("QAID_NO", 1)):
            with pytest.raises(vexel.NotSupportedError, match="dBASE level 7 index") as raised:
                call()
            # The C++ hierarchy: a kind of InputError (so a ValueError too); the earlier name
            # still catches it.
            assert isinstance(raised.value, (vexel.InputError, ValueError, vexel.NotSupported))
            assert isinstance(raised.value, vexel.Error) and "repair" not in str(raised.value)
    assert [(tmp_path / n).read_bytes() for n in ("qaid.DBF", "qaid.DBT", "qaid.MDX")] == before
