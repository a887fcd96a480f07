"""Tables into pandas DataFrames and back: column dtypes, blanks, choosing columns, records,
order and deleted ones, and a round trip of the film table through from_pandas."""

import datetime
import decimal

import pytest

import vexel
from conftest import blank_numbers, dump, vxdbf

pandas = pytest.importorskip("pandas", reason="python3-pandas is not installed")
numpy = pytest.importorskip("numpy")


def test_film_frame_dtypes_and_values(film):
    frame = vexel.read_dbf(film)
    assert list(frame.columns) == ["TITLE", "YEAR", "COLOR", "RUNTIME", "STARS", "DIRECTOR",
                                   "PLOT", "PREMIERE"]
    assert list(frame.index) == list(range(1, 21)) and frame.index.name == "recno"
    dtypes = {c: str(t) for c, t in frame.dtypes.items()}
    assert dtypes["YEAR"] == "int64" and dtypes["PREMIERE"] == "datetime64[ns]"
    assert dtypes["COLOR"] == "boolean" and dtypes["TITLE"] == "object"
    film2 = frame.loc[2]
    assert (film2.TITLE, film2.YEAR, bool(film2.COLOR)) == ("City Lights", 1931, False)
    assert film2.PREMIERE == pandas.Timestamp("1931-01-30")
    assert frame.loc[1, "STARS"] == "Brigitte Helm, Gustav Fröhlich"
    # A text that comes again is one str object.
    assert frame.loc[7, "DIRECTOR"] is frame.loc[8, "DIRECTOR"]
    rows = dump(film)
    assert list(frame.PLOT) == [r["PLOT"] for r in rows]


def test_blanks_give_nullable_columns(tmp_path):
    path = tmp_path / "blank.dbf"
    with vexel.create(path, ["N,N,5", "P,N,8,2", "D,D,8", "L,L,1", "C,C,4"]) as t:
        t.append(N=1, P=1.5, D=datetime.date(2001, 2, 3), L=True, C="ab")
        t.append()
    blank_numbers(path, 2, [(1, 5), (6, 8)])  # N and P as other programs leave them
    with vexel.open(path) as t:
        frame = t.to_pandas()
    assert str(frame.N.dtype) == "Int64" and frame.N.isna().tolist() == [False, True]
    assert str(frame.P.dtype) == "float64" and numpy.isnan(frame.P.iloc[1])
    assert frame.D.isna().tolist() == [False, True]
    assert str(frame.L.dtype) == "boolean" and frame.L.isna().tolist() == [False, True]
    assert frame.C.tolist() == ["ab", ""]


def test_columns_where_order_and_deleted(indexed_film):
    with vexel.open(indexed_film) as t:
        t.delete(1)
        frame = t.to_pandas(columns=["year", "TITLE"], where="YEAR < 1960")
        assert list(frame.columns) == ["YEAR", "TITLE"]
        assert list(frame.index) == list(range(2, 10))
        assert list(t.to_pandas(where="YEAR < 1960", deleted=True).index) == list(range(1, 10))
        ordered = t.to_pandas(columns=["TITLE"], order="TITLE")
        assert ordered.TITLE.tolist() == sorted(ordered.TITLE, key=str.upper)
        assert len(ordered) == 19
        both = t.to_pandas(columns=["YEAR"], order="YEAR", where="COLOR")
        assert both.YEAR.tolist() == sorted(r.YEAR for r in t if r.COLOR and not r.deleted)
        with pytest.raises(KeyError):
            t.to_pandas(columns=["NOPE"])
        with pytest.raises(vexel.Error):
            t.to_pandas(order="NOTAG")


def test_film_round_trip_through_from_pandas(film, tmp_path):
    frame = vexel.read_dbf(film)
    copy = tmp_path / "copy.dbf"
    assert vexel.from_pandas(frame, copy) == 20
    with vexel.open(copy) as t:
        kinds = {f.name: (f.type, f.length, f.decimals) for f in t.fields}
        assert kinds["YEAR"] == ("N", 4, 0) and kinds["COLOR"] == ("L", 1, 0)
        assert kinds["PREMIERE"] == ("D", 8, 0) and kinds["TITLE"][0] == "C"
    again = vexel.read_dbf(copy)
    pandas.testing.assert_frame_equal(frame, again, check_dtype=False)
    # Given widths and types win over the guessed ones.
    wide = tmp_path / "wide.dbf"
    vexel.from_pandas(frame, wide, fields={"title": ("C", 40, 0), "PLOT": ("M", 10, 0)},
                      version="dbase4")
    with vexel.open(wide) as t:
        assert t.fields[0] == vexel.Field("TITLE", "C", 40, 0)
        assert t[3].PLOT == frame.loc[3, "PLOT"]
    vxdbf("check", wide)


def test_from_pandas_infers_numbers_and_blanks(tmp_path):
    # Missing numbers are stored blank and read back as None.
    frame = pandas.DataFrame({
        "I": pandas.array([1, None, -300], dtype="Int64"),
        "F": [0.25, float("nan"), -12.5],
        "D": [decimal.Decimal("1.10"), None, decimal.Decimal("-2.05")],
        "B": pandas.array([True, None, False], dtype="boolean"),
        "T": pandas.to_datetime(["2020-01-02", None, "1999-12-31"]),
        "S": ["a", None, "ccc"],
    })
    path = tmp_path / "infer.dbf"
    vexel.from_pandas(frame, path)
    with vexel.open(path, decimal=True) as t:
        kinds = {f.name: (f.type, f.length, f.decimals) for f in t.fields}
        assert kinds == {"I": ("N", 4, 0), "F": ("N", 6, 2), "D": ("N", 5, 2),
                         "B": ("L", 1, 0), "T": ("D", 8, 0), "S": ("C", 3, 0)}
        assert [tuple(r.values()) for r in t] == [
            (1, decimal.Decimal("0.25"), decimal.Decimal("1.10"), True,
             datetime.date(2020, 1, 2), "a"),
            (None, None, None, None, None, ""),
            (-300, decimal.Decimal("-12.50"), decimal.Decimal("-2.05"), False,
             datetime.date(1999, 12, 31), "ccc")]


def test_from_pandas_sizes_text_fields_in_the_pages_bytes(tmp_path):
    # A field is as wide as its longest value is in the table's page: bytes, not characters
    # (UTF-8 through a .cpg, the two-byte 936), and the values go in and come back whole.
    cases = [(65001, ["Zoë Ærø", "日本語", "a"], 10, "Ä"), (936, ["中文文本", "ab"], 8, "中"),
             (1252, ["Zoë Ærø", "€ 5"], 7, None)]
    for codepage, values, width, wide in cases:
        path = tmp_path / ("t%d.dbf" % codepage)
        vexel.from_pandas(pandas.DataFrame({"S": values}), path, codepage=codepage)
        with vexel.open(path) as t:
            assert t.codepage == codepage
            assert [(f.type, f.length) for f in t.fields] == [("C", width)]
            assert [r["S"] for r in t] == values
            # A value of as many characters but more bytes is refused, and nothing is cut.
            if wide:
                with pytest.raises(vexel.InputError, match="bytes in the table's code page"):
                    t.append({"S": wide * width})
                assert len(t) == len(values)


def test_from_pandas_refuses_bad_frames_and_leaves_no_files(tmp_path):
    # A refused value names its row (by the frame's index) and column, found while the rows
    # are checked or (text the code page lacks) by the table as it is written.
    cases = [
        (pandas.DataFrame({"a long column name": [1]}), ValueError, "rename it", {}),
        (pandas.DataFrame({"X": [object()]}), TypeError, "column 'X'", {}),
        (pandas.DataFrame({"X": ["abc"]}), KeyError, "Y", {"fields": {"Y": ("C", 3, 0)}}),
        (pandas.DataFrame({"X": ["ok", "too long"]}, index=["a", "b"]), ValueError,
         r"^row 'b', column X \('too long'\): .*does not fit", {"fields": {"X": ("C", 3, 0)}}),
        (pandas.DataFrame({"X": [1, 2, 123456]}), ValueError, r"^row 2, column X \(123456\)",
         {"fields": {"x": ("N", 3, 0)}}),
        (pandas.DataFrame({"n": [1], "X": [5]}), TypeError, r"^row 0, column X \(5\): .*takes str",
         {"fields": {"X": ("C", 3, 0)}}),
        (pandas.DataFrame({"T": ["abc", "de", "Ωx"]}, index=[10, 20, 30]), vexel.InputError,
         r"^row 30, column T \('Ωx'\): .*no place in code page 1252", {"codepage": 1252}),
    ]
    for frame, error, message, options in cases:
        with pytest.raises(error, match=message):
            vexel.from_pandas(frame, tmp_path / "bad.dbf", **options)
        assert list(tmp_path.iterdir()) == []
    assert issubclass(vexel.InputError, ValueError) and issubclass(vexel.InputError, vexel.Error)


def test_example_opens_seeks_and_loads_the_film_table(film):
    import os
    import pathlib
    import subprocess
    import sys
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "python" / "film_example.py"
    run = subprocess.run([sys.executable, str(example), str(film), "Vertigo"], capture_output=True,
                         text=True, env=os.environ)
    assert run.returncode == 0, run.stderr
    assert "found record 8: Vertigo (1958), directed by Alfred Hitchcock" in run.stdout
    assert "average running time by decade" in run.stdout
    vxdbf("check", film)


@pytest.mark.parametrize("blank_at, fraction_at, deleted_at", [
    (None, 5000, None),    # a fraction in a later block of reads turns the column float64
    (3, 9000, 4200),       # with a blank before it and a deleted record between
    (8000, None, 1),       # a blank in a later block gives Int64; the first record deleted
])
def test_columns_across_blocks(tmp_path, blank_at, fraction_at, deleted_at):
    path = tmp_path / "many.dbf"
    count = 9000
    with vexel.create(path, ["N,N,10", "TXT,C,8"], mode="exclusive") as t:
        t.append_many({"N": i, "TXT": f"t{i}"} for i in range(1, count + 1))
        if deleted_at:
            t.delete(deleted_at)
    data = bytearray(path.read_bytes())
    header, length = int.from_bytes(data[8:10], "little"), int.from_bytes(data[10:12], "little")
    if fraction_at:
        at = header + (fraction_at - 1) * length + 1
        data[at:at + 10] = b"      12.5"
    path.write_bytes(bytes(data))
    if blank_at:
        blank_numbers(path, blank_at, [(1, 10)])
    frame = vexel.read_dbf(path)
    kept = [n for n in range(1, count + 1) if n != deleted_at]
    assert list(frame.index) == kept and frame.TXT.tolist() == [f"t{n}" for n in kept]
    with vexel.open(path, "readonly") as t:
        want = [t[n].N for n in kept]
    got = [None if pandas.isna(v) else v for v in frame.N.tolist()]
    assert got == want
    assert str(frame.N.dtype) == ("float64" if fraction_at else "Int64" if blank_at else "int64")


def test_null_marks_are_missing_values_in_every_door(tmp_path, corpus_or_none):
    """.NULL. in a Visual FoxPro table is NA in pandas (every field that may be null takes a
    nullable dtype), None in records, NULL through SQL and in an export; a blank value (an empty
    text) stays a value."""
    import sqlite3
    path = tmp_path / "nulls.dbf"
    vxdbf("create", path, "--version", "0x30", "--field", "C,C,4,0,NULL", "--field", "I,I,4,0,NULL",
          "--field", "Y,Y,8,4,NULL", "--field", "N,N,6,2,NULL", "--field", "W,N,4,0,NULL",
          "--field", "L,L,1,0,NULL", "--field", "D,D,8,0,NULL", "--field", "T,T,8,0,NULL",
          "--field", "K,C,3")
    nullable = ["C", "I", "Y", "N", "W", "L", "D", "T"]
    with vexel.open(path) as t:
        t.append(C="ab", I=1, Y=1.5, N=2.25, W=3, L=True, D=datetime.date(2001, 2, 3),
                 T=datetime.datetime(2001, 2, 3, 4, 5, 6), K="x")
        t.append({**{name: None for name in nullable}, "K": "y"})
        t.append(C="", I=2, Y=0, N=0, W=0, L=False, D=datetime.date(2002, 1, 1),
                 T=datetime.datetime(2002, 1, 1), K="")
        assert [t[2][name] for name in nullable] == [None] * len(nullable)
    with vexel.open(path) as t:
        assert [f.nullable for f in t.fields] == [True] * len(nullable) + [False]
        with pytest.raises(ValueError, match="may be .NULL."):
            vexel.create(tmp_path / "copy.dbf", t.fields)
    frame = vexel.read_dbf(path)
    assert {c: str(d) for c, d in frame.dtypes.items()} == {
        "C": "string", "I": "Int64", "Y": "Float64", "N": "Float64", "W": "Int64",
        "L": "boolean", "D": "datetime64[ns]", "T": "datetime64[ns]", "K": "object"}
    assert frame.isna().loc[2].tolist() == [True] * len(nullable) + [False]
    assert not frame.loc[[1, 3]].isna().any().any()
    assert (frame.C[3], frame.K[3], frame.I[1], frame.Y[1]) == ("", "", 1, 1.5)
    assert frame["T"][1] == pandas.Timestamp("2001-02-03 04:05:06")

    sql = vxdbf("sql", "SELECT _recno FROM t WHERE C IS NULL AND I IS NULL AND L IS NULL",
                "--table", f"t={path}").stdout.split()
    assert sql == ["_recno", "2"]
    out = tmp_path / "out.db"
    vxdbf("export", path, "--sqlite", out)
    with sqlite3.connect(out) as db:
        rows = db.execute("SELECT C, I, Y, N, W, L, D, T, K FROM nulls").fetchall()
    assert rows[1] == (None,) * len(nullable) + ("y",)
    assert rows[2][0] == "" and None not in rows[0] + rows[2]

    if corpus_or_none is not None:
        table = corpus_or_none / "javadbf" / "bug93_null_field" / "testfile.dbf"
        nulls = sum(1 for r in dump(table) if r["D_FLAG"] is None)
        assert nulls == 11
        assert vexel.read_dbf(table).D_FLAG.isna().sum() == nulls


@pytest.fixture
def corpus_or_none():
    from conftest import CORPUS
    return CORPUS if CORPUS.is_dir() else None


def test_nullable_frames_round_trip_and_read_options(tmp_path):
    # pandas' nullable dtypes choose their fields; their NA values are stored blank and come
    # back missing.
    frame = pandas.DataFrame({
        "I": pandas.array([7, None, -12], dtype="Int64"),
        "F": pandas.array([0.5, None, 2.25], dtype="Float64"),
        "B": pandas.array([None, True, False], dtype="boolean"),
        "S": pandas.array(["café", None, "x"], dtype="string"),
        "D": pandas.to_datetime(["2001-02-03", None, "1999-12-31"]),
    }, index=[5, 6, 7])
    path = tmp_path / "nullable.dbf"
    assert vexel.from_pandas(frame, path, codepage=1252) == 3
    with vexel.open(path) as t:
        assert [(f.type, f.length, f.decimals) for f in t.fields] == [
            ("N", 3, 0), ("N", 4, 2), ("L", 1, 0), ("C", 4, 0), ("D", 8, 0)]
        assert t.codepage == 1252
    back = vexel.read_dbf(path)
    assert str(back.I.dtype) == "Int64" and back.I.isna().tolist() == [False, True, False]
    assert back.I[1] == 7 and back.F[3] == 2.25 and numpy.isnan(back.F[2])
    assert back.B.isna().tolist() == [True, False, False] and back.S.tolist() == ["café", "", "x"]
    assert back.D.isna().tolist() == [False, True, False]
    # codepage= reads the text in another page than the table's mark; columns= chooses.
    assert vexel.read_dbf(path, columns=["s"], codepage=437).S[1] == "caf\u0398"

    # A time of day has no place in a date field: refused, not cut off.
    timed = pandas.DataFrame({"T": pandas.to_datetime(["2001-02-03", "2001-02-03 10:30"])})
    with pytest.raises(ValueError, match=r"^row 1, column T \(Timestamp\('2001-02-03 10:30:00'\)\)"):
        vexel.from_pandas(timed, tmp_path / "timed.dbf")
    assert not (tmp_path / "timed.dbf").exists()
