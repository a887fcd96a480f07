#!/usr/bin/python3
"""One table, one answer: every corpus table read through each door gives the same records.

The doors: `vxdbf dump` (JSON lines, deletion marks), the C++ library (library_rows, a reader
on the public API), Python (`vexel.read_dbf` and iterating `vexel.open(...)`), SQL
(`SELECT _recno, _deleted, * ...` through `vxdbf sql`) and `vxdbf export --sqlite` (its
records not marked deleted). Values are compared per field type: numbers by value, dates and
date-times as text, logicals as truth values, bytes in hexadecimal, text exactly; .NULL. and
blank values as null. Each door must give the same record numbers (export: the ones not
marked deleted) and, where it shows them, the same deletion marks.

Then tables written through each writing door (vxdbf append, the library, Python, SQL
INSERT) read back the same through every reading door.

First, every code page: a table in each page the language driver table names and in pages only
a .cpg names (855, 1258, ISO 8859-1, -2, -5, KOI8-R, UTF-8), holding words of the page's language (written through the
writing doors in turn) and, where Python has
the page's codec, every byte from 0x80 to 0xFF the page reads as a printable character, is read
as created (with its mark, or the .cpg create writes), without its mark beside a .cpg naming the
page, and without either with the page told to each door (`--codepage`, the library's and
Python's open options, the module's `codepage=`, the browser's View > Code page entry; there a
writing door told the page adds a record first). Each
door must read the words and bytes as written; the browser (browser_rows, its window offscreen)
is one of the doors there.

A door that refuses a table `vxdbf dump` reads is a difference too. Differences an open item
covers are listed in EXPECTED with that item; they are reported, not counted as failures (and a
listed difference that no longer occurs is reported so that its mark is removed).

usage: check_conformance.py VXDBF LIBRARY_ROWS SQLITE_MODULE PYTHON_DIR CORPUS_DIR
                            [--browser=BROWSER_ROWS]
Exit 77 when the corpus or a door (Python package, pandas) is absent.
"""

import datetime
import decimal
import json
import math
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import warnings

from page_texts import MULTI_BYTE, PAGE_WORDS, PYTHON_CODECS

VXDBF, LIBRARY, MODULE, PYTHON_DIR, CORPUS = sys.argv[1:6]
# --browser=PATH: the browser's door (browser_rows), in a build with the browser.
BROWSER = next((a.split("=", 1)[1] for a in sys.argv[6:] if a.startswith("--browser=")), None)
ENV = {**os.environ, "LC_ALL": "C"}
os.environ["LC_ALL"] = "C"

# (table, door) -> the issue item whose fix removes the difference.
EXPECTED = {
    # One decoder for every door: 10-byte dates.
    **{("ndbfreader/10BytesDates.dbf", door): "43.4"
       for door in ("library", "python-iter", "read_dbf", "sql", "export")},
    # A memo that cannot be read as None in pandas.
    **{(table, "read_dbf"): "43.3"
       for table in ("infused-dbf/dbase_83_missing_memo.dbf", "infused-dbf/dbase_8c.dbf",
                     "dbfread/no_memofile.dbf", "dbffile/dbase_8b_missing_memo.dbf",
                     "javadbf/books.dbf", "javadbf/bug-102/bug102.dbf",
                     "javadbf/bug-49/student.dbf", "javadbf/fixtures/dbase_7.dbf")},
    # SQL's NULL stored as .NULL. (the other doors are compared with dump, and agree).
    ("vfp table written by sql insert", "dump"): "43.3",
}

NUMERIC = set("NFIBYO+")
# Memo kinds: the library (and every door on it) drops a memo's trailing blanks and NULs, dump
# prints the memo as stored; compared without them.
MEMO = set("MGPBW")


def run(*args, stdin=None):
    return subprocess.run(list(args), input=stdin, capture_output=True, env=ENV)


def jsonl(data):
    return [json.loads(line) for line in data.decode("utf-8", "replace").splitlines() if line]


class Refused(Exception):
    pass


def canonical(ftype, binary, value):
    """A value as every door should agree on it."""
    try:
        import pandas
        if value is pandas.NA or value is pandas.NaT:
            return None
    except ImportError:  # pragma: no cover
        pass
    if value is None:
        return None
    if isinstance(value, float) and math.isnan(value):
        return None
    if hasattr(value, "item") and not isinstance(value, (bytes, str)):  # numpy scalars
        value = value.item()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if hasattr(value, "to_pydatetime"):  # pandas Timestamp
        value = value.to_pydatetime()
    if isinstance(value, datetime.datetime):
        text = value.strftime("%Y-%m-%dT%H:%M:%S")
        if value.microsecond:
            text += ".%03d" % (value.microsecond // 1000)
        return text if ftype in "T@" else text[:10]
    if isinstance(value, datetime.date):
        return value.isoformat()
    if ftype == "L":
        if isinstance(value, str):
            return value in ("T", "t", "Y", "y", "1")
        return bool(value)
    if ftype in NUMERIC and not binary:
        if isinstance(value, str):
            try:
                value = float(value)
            except ValueError:
                return ("text", value)
        if isinstance(value, bool):
            value = int(value)
        if isinstance(value, (int, float, decimal.Decimal)):
            return float(value)
    if ftype in "T@" and isinstance(value, str):
        return value.replace(" ", "T")
    if ftype in MEMO and isinstance(value, str) and not binary:
        return value.rstrip(" \x00")
    return value


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-12)
    return a == b


class Rows:
    """The records one door gave: recno -> (deleted or None, {field: canonical value})."""

    def __init__(self, fields):
        self.fields = fields
        self.rows = {}

    def add(self, recno, deleted, values):
        self.rows[int(recno)] = (deleted, {
            name: canonical(t, b, values.get(name)) for name, t, b in self.fields})


def page_args(page):
    """A door's command-line words naming the page the text is in (none: the table's own)."""
    return ["--codepage", str(page)] if page else []


def door_dump(path, fields, names, page=0):
    r = run(VXDBF, "dump", path, "--format", "jsonl", "--deleted", "--lossy", *page_args(page))
    if r.returncode not in (0, 1) or (r.returncode == 1 and not r.stdout):
        raise Refused(r.stderr.decode("utf-8", "replace").strip())
    rows = Rows(fields)
    for n, row in enumerate(jsonl(r.stdout), 1):
        rows.add(n, row.pop("_deleted"), row)
    return rows


def program_rows(program, path, fields, page):
    """The JSON lines a door's program (library_rows, browser_rows) prints for the table."""
    r = run(program, path, *page_args(page))
    out = jsonl(r.stdout)
    if r.returncode != 0:
        raise Refused(out[-1]["message"] if out and "message" in out[-1] else r.stderr.decode())
    rows = Rows(fields)
    for row in out:
        rows.add(row.pop("_recno"), row.pop("_deleted", None), row)
    return rows


def door_library(path, fields, names, page=0):
    return program_rows(LIBRARY, path, fields, page)


def door_python_iter(path, fields, names, page=0):
    import vexel
    rows = Rows(fields)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with vexel.open(path, mode="readonly", codepage=page or None) as t:
                for r in t:
                    rows.add(r.recno, r.deleted, dict(zip(names, r.values())))
    except vexel.Error as e:
        raise Refused(str(e))
    return rows


def door_read_dbf(path, fields, names, page=0):
    import vexel
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            frame = vexel.read_dbf(path, deleted=True, codepage=page or None)
    except vexel.Error as e:
        raise Refused(str(e))
    rows = Rows(fields)
    for recno, row in zip(frame.index, frame.to_dict("records")):
        rows.add(recno, None, row)
    return rows


def module_table(path, options=""):
    """An in-memory connection with the table declared through the module as t."""
    con = sqlite3.connect(":memory:")
    con.enable_load_extension(True)
    con.load_extension(MODULE)
    con.execute("CREATE VIRTUAL TABLE t USING vexel(%s%s)" % (sql_quote(path), options))
    return con


def door_sql(path, fields, names, page=0):
    con = None
    try:
        con = module_table(path, ", mode=read_only" + (", codepage=%d" % page if page else ""))
        rows = Rows(fields)
        # Reading every column hides deleted records (as an UPDATE does): a constraint on
        # _deleted asks for them.
        for row in con.execute("SELECT _recno, _deleted, * FROM t WHERE _deleted IN (0, 1)"):
            rows.add(row[0], bool(row[1]), dict(zip(names, row[2:])))
        return rows
    except sqlite3.Error as e:
        raise Refused(str(e))
    finally:
        if con is not None:
            con.close()


def sql_quote(text):
    return "'" + text.replace("'", "''") + "'"


def door_export(path, fields, names, scratch, page=0):
    db = os.path.join(scratch, "export.db")
    if os.path.exists(db):
        os.remove(db)
    r = run(VXDBF, "export", path, "--sqlite", db, *page_args(page))
    if r.returncode != 0:
        raise Refused(r.stderr.decode("utf-8", "replace").strip())
    con = sqlite3.connect(db)
    try:
        (name,) = con.execute("SELECT name FROM sqlite_master WHERE type = 'table'").fetchone()
        rows = Rows(fields)
        for row in con.execute('SELECT rowid, * FROM "%s"' % name.replace('"', '""')):
            rows.add(row[0], None, dict(zip(names, row[1:])))
        return rows
    finally:
        con.close()


def compare(reference, other, only_undeleted=False, rowid_order=False):
    """The first difference between two doors' records, or None."""
    want = {n: r for n, r in reference.rows.items() if not (only_undeleted and r[0])}
    got = other.rows
    if rowid_order:  # export numbers its rows 1..n in file order
        got = dict(zip(sorted(want), (got[k] for k in sorted(got))))
        if len(other.rows) != len(want):
            return "%d records, not %d" % (len(other.rows), len(want))
    if sorted(got) != sorted(want):
        missing = sorted(set(want) - set(got))[:5]
        extra = sorted(set(got) - set(want))[:5]
        return "record set differs (missing %s, extra %s)" % (missing, extra)
    for recno in sorted(want):
        wd, wv = want[recno]
        gd, gv = got[recno]
        if gd is not None and wd is not None and bool(gd) != bool(wd):
            return "record %d: deleted %r, not %r" % (recno, gd, wd)
        for name, _, _ in reference.fields:
            if not same(gv[name], wv[name]):
                return "record %d field %s: %r, not %r" % (recno, name, gv[name], wv[name])
    return None


def corpus_tables():
    for root, _, files in sorted(os.walk(CORPUS)):
        for f in sorted(files):
            if f.lower().endswith(".dbf"):
                yield os.path.join(root, f)


def table_fields(path):
    r = run(VXDBF, "info", path, "--json")
    if r.returncode != 0:
        return None
    info = json.loads(r.stdout)
    foxpro = info["version"] in ("0x30", "0x31", "0x32")
    return [(f["name"], f["type"], f["type"] in "QGPW" or (f["type"] == "B" and not foxpro))
            for f in info["fields"]]


class Report:
    def __init__(self):
        self.failures = []
        self.expected = []
        self.fixed = []

    def result(self, table, door, difference):
        key = (table, door)
        item = EXPECTED.get(key)
        if difference is None:
            if item:
                self.fixed.append("%s via %s: listed for %s but now the same" % (table, door, item))
            return
        line = "%s via %s: %s" % (table, door, difference)
        if item:
            self.expected.append(line + " [expected until %s]" % item)
        else:
            self.failures.append(line)

    def finish(self, what):
        for line in self.expected:
            print("expected difference: " + line)
        for line in self.fixed:
            print("note: " + line + " (remove its mark)")
        for line in self.failures:
            print("FAIL: " + line)
        print("%s: %d differences, %d expected" % (what, len(self.failures), len(self.expected)))
        return not self.failures


READ_DOORS = [("library", door_library), ("python-iter", door_python_iter),
              ("read_dbf", door_read_dbf), ("sql", door_sql)]


def read_through_doors(report, label, path, fields, scratch, reference=None, page=0,
                       doors=READ_DOORS):
    """Reads the table through every door (in `page` when one is given: each door told it
    its own way) and reports where a door differs from dump, and dump from `reference`."""
    names = [f[0] for f in fields]
    try:
        dump = door_dump(path, fields, names, page)
    except Refused as e:
        if reference is None:
            return 0
        report.result(label, "dump", "refused: " + str(e)[:200])
        return 0
    if reference is not None:
        report.result(label, "dump", compare(reference, dump))
    for door, read in doors:
        try:
            report.result(label, door, compare(dump, read(path, fields, names, page)))
        except Refused as e:
            report.result(label, door, "refused: " + str(e)[:200])
    try:
        report.result(label, "export",
                      compare(dump, door_export(path, fields, names, scratch, page),
                              only_undeleted=True, rowid_order=True))
    except Refused as e:
        report.result(label, "export", "refused: " + str(e)[:200])
    return 1


# ---------------------------------------------------------------------------------------------
# Writing through each door

WRITTEN_KINDS = {
    # kind: (create arguments, fields as NAME,TYPE,LEN,DEC, rows as JSON values)
    "dbase3": (["--version", "0x83"],
               ["NAME,C,12,0", "QTY,N,6,0", "PRICE,N,9,2", "WHEN,D,8,0", "OK,L,1,0",
                "NOTE,M,10,0"],
               [{"NAME": "Äpfel", "QTY": 12, "PRICE": 3.25, "WHEN": "1999-12-31", "OK": True,
                 "NOTE": "eins\nzwei"},
                {"NAME": "", "QTY": 0, "PRICE": -0.5, "WHEN": None, "OK": False,
                 "NOTE": ""}]),
    "dbase4": (["--version", "0x8B"],
               ["NAME,C,20,0", "RATE,F,10,3", "WHEN,D,8,0", "NOTE,M,10,0"],
               [{"NAME": "zürich", "RATE": 1.125, "WHEN": "2024-02-29", "NOTE": "x" * 700},
                {"NAME": "b", "RATE": 0, "WHEN": None, "NOTE": ""}]),
    "foxpro": (["--version", "0xF5"],
               ["NAME,C,10,0", "QTY,N,4,0", "NOTE,M,10,0"],
               [{"NAME": "fox", "QTY": 7, "NOTE": "pro"}]),
    "vfp": (["--version", "0x30"],
            ["NAME,C,10,0", "N,I,4,0", "AMT,Y,8,4", "DBL,B,8,2", "AT,T,8,0", "V,V,10,0,NULL",
             "NOTE,M,4,0"],
            [{"NAME": "vfp", "N": -5, "AMT": 12.5, "DBL": 2.25, "AT": "2020-01-02T03:04:05",
              "V": "var", "NOTE": "memo"},
             {"NAME": "two", "N": 0, "AMT": 0, "DBL": 0, "AT": None, "V": None, "NOTE": ""}]),
    # The same text in a UTF-8 table (a .cpg) and a 1252 one: bytes, not characters, fill a
    # field ("ÄÖÜäö" is the whole 10 bytes of the UTF-8 field).
    "utf8": (["--version", "0x83", "--codepage", "65001"],
             ["NAME,C,10,0", "NOTE,M,10,0"],
             [{"NAME": "Zoë Ærø", "NOTE": "Привет, 日本, Crème brûlée"},
              {"NAME": "日本語", "NOTE": ""}, {"NAME": "ÄÖÜäö", "NOTE": "€"}]),
    "cp1252": (["--version", "0x83", "--codepage", "1252"],
               ["NAME,C,10,0", "NOTE,M,10,0"],
               [{"NAME": "Zoë Ærø", "NOTE": "Crème brûlée, € 5"},
                {"NAME": "ÄÖÜäöüÄÖÜä", "NOTE": ""}, {"NAME": "ÄÖÜäö", "NOTE": "€"}]),
    # Pages of a mark, a two-byte page and one only a .cpg names (855 has no driver byte).
    "cp852": (["--version", "0x83", "--codepage", "852"], ["NAME,C,10,0", "NOTE,M,10,0"],
              [{"NAME": "Zażółć", "NOTE": "gęślą jaźń, Příliš žluťoučký"}]),
    "cp866": (["--version", "0x83", "--codepage", "866"], ["NAME,C,10,0", "NOTE,M,10,0"],
              [{"NAME": "Привет", "NOTE": "Съешь же ещё этих булок"}]),
    "cp932": (["--version", "0x83", "--codepage", "932"], ["NAME,C,10,0", "NOTE,M,10,0"],
              [{"NAME": "日本語です", "NOTE": "ポンプの故障"}, {"NAME": "abc", "NOTE": ""}]),
    "cp855": (["--version", "0x83", "--codepage", "855"], ["NAME,C,10,0", "NOTE,M,10,0"],
              [{"NAME": "Ђорђе", "NOTE": "Љубљана, Њујорк"}]),
    "level7": (["--version", "0x8C"],
               ["NAME,C,10,0", "N,I,4,0", "D,O,8,0", "AT,@,8,0", "NOTE,M,10,0"],
               [{"NAME": "seven", "N": 7, "D": 0.5, "AT": "2001-02-03T04:05:06",
                 "NOTE": "level"}]),
}


def create(path, kind):
    args, defs, _ = WRITTEN_KINDS[kind]
    cmd = [VXDBF, "create", path, "--overwrite", *args]
    for d in defs:
        cmd += ["--field", d]
    r = run(*cmd)
    if r.returncode != 0:
        raise Refused("create: " + r.stderr.decode())


def write_vxdbf(path, rows, page=0):
    data = "".join(json.dumps(row) + "\n" for row in rows).encode()
    r = run(VXDBF, "append", path, "--format", "jsonl", *page_args(page), stdin=data)
    if r.returncode != 0:
        raise Refused(r.stderr.decode().strip())


def write_library(path, rows, page=0):
    data = "".join(json.dumps(row) + "\n" for row in rows).encode()
    r = run(LIBRARY, path, "--append", *page_args(page), stdin=data)
    if r.returncode != 0:
        raise Refused((r.stdout + r.stderr).decode().strip())


def python_value(ftype, value):
    if value is None:
        return None
    if ftype == "D":
        return datetime.date.fromisoformat(value)
    if ftype in "T@":
        return datetime.datetime.fromisoformat(value)
    return value


def write_python(path, rows, types, page=0):
    import vexel
    try:
        with vexel.open(path, codepage=page or None) as t:
            for row in rows:
                t.append({k: python_value(types[k], v) for k, v in row.items()})
    except vexel.Error as e:
        raise Refused(str(e))


def write_sql(path, rows, types, page=0):
    con = None
    try:
        con = module_table(path, ", codepage=%d" % page if page else "")
        for row in rows:
            names = list(row)
            values = [(1 if v else 0) if types[k] == "L" and v is not None else v
                      for k, v in row.items()]
            con.execute("INSERT INTO t (%s) VALUES (%s)" % (
                ", ".join('"%s"' % n for n in names), ", ".join("?" for _ in names)), values)
        con.commit()
    except sqlite3.Error as e:
        raise Refused(str(e))
    finally:
        if con is not None:
            con.close()


def writing_doors(rows, types, page=0):
    """Each writing door as (name, write(path)), told `page` when one is given."""
    return [("vxdbf append", lambda p: write_vxdbf(p, rows, page)),
            ("library append", lambda p: write_library(p, rows, page)),
            ("python append", lambda p: write_python(p, rows, types, page)),
            ("sql insert", lambda p: write_sql(p, rows, types, page))]


# Values a field holds as characters but not as bytes: each writing door refuses them, and the
# table keeps no record (no value cut inside a character).
TOO_LONG = {"utf8": [{"NAME": "ÄÖÜäöüÄÖÜä"}, {"NAME": "aÄÖÜäö"}, {"NAME": "日本語日"}],
            "cp932": [{"NAME": "a日本語です"}]}


def check_too_long(report, scratch):
    for kind, values in TOO_LONG.items():
        defs = WRITTEN_KINDS[kind][1]
        types = {d.split(",")[0]: d.split(",")[1] for d in defs}
        for value in values:
            for door, write in writing_doors([value], types):
                path = os.path.join(scratch, "long_%s.dbf" % kind)
                label = "%s table, %s written by %s" % (kind, value["NAME"], door)
                create(path, kind)
                try:
                    write(path)
                    report.result(label, "writing", "not refused")
                except Refused:
                    pass
                r = run(VXDBF, "dump", path, "--format", "jsonl")
                if r.returncode != 0 or jsonl(r.stdout):
                    report.result(label, "writing", "the table holds %r" % r.stdout[:80])


def check_written(report, scratch):
    check_too_long(report, scratch)
    for kind, (_, defs, rows) in WRITTEN_KINDS.items():
        types = {d.split(",")[0]: d.split(",")[1] for d in defs}
        fields = [(d.split(",")[0], d.split(",")[1], d.split(",")[1] == "Q") for d in defs]
        want = Rows(fields)
        for n, row in enumerate(rows, 1):
            want.add(n, False, row)
        for door, write in writing_doors(rows, types):
            path = os.path.join(scratch, "w_%s.dbf" % kind)
            label = "%s table written by %s" % (kind, door)
            try:
                create(path, kind)
                write(path)
            except Refused as e:
                report.result(label, "writing", "refused: " + str(e)[:300])
                continue
            read_through_doors(report, label, path, fields, scratch, reference=want)


# ---------------------------------------------------------------------------------------------
# Every code page through every door

# The byte record of a single-byte page (Python's codec of the page lists its bytes): every byte
# from 0x80 to 0xFF the codec reads as a printable character (not a combining mark), put into the
# table as raw bytes; every door must read them as the codec does. Mazovia and Kamenický have no
# Python codec (their tables are checked byte for byte in the engine's own tests), the two-byte
# pages and UTF-8 no single bytes to list.
# Bytes a Macintosh page reads otherwise in another edition of its set: the character this system
# reads (the C library's table, the edition Windows numbers the page by) where Python's codec
# follows Apple's later edition.
PAGE_EDITIONS = {10000: {0xC6: "\u0394"},  # Δ; Apple's 1998 edition reads ∆ (U+2206)
                 10007: {0xA2: "\u00A2", 0xFF: "\u00A4"}}  # ¢ ¤; Apple's Ukrainian edition: Ґ €
PAGE_FIELDS = [("NAME", "C", False), ("BYTES", "C", False), ("NOTES", "M", False)]
PAGE_TYPES = {name: ftype for name, ftype, _ in PAGE_FIELDS}
WINDOWS_PAGES = {874, 932, 936, 949, 950, *range(1250, 1259)}


def page_bytes(page):
    """The bytes 0x80-0xFF of the page read as printable characters, and the text they make."""
    import unicodedata
    raw, text = b"", ""
    for byte in range(0x80, 0x100):
        try:
            ch = PAGE_EDITIONS.get(page, {}).get(byte) or bytes([byte]).decode(PYTHON_CODECS[page])
        except UnicodeDecodeError:
            continue
        if ch.isprintable() and not unicodedata.combining(ch):
            raw += bytes([byte])
            text += ch
    return raw, text


def cpg_text(n, page):
    """A .cpg text naming the page, in one of the spellings GIS programs and users write."""
    if page == 65001:
        return "utf-8"
    if page > 28590:  # ISO 8859: ESRI's "88591", GDAL's "ISO-8859-1", ...
        part = page - 28590
        return ("ISO-8859-%d", "8859_%d", "iso 8859-%d")[n % 3] % part
    if page == 20866:
        return "KOI8-R"
    if page in WINDOWS_PAGES:
        forms = ("%d", "ANSI %d", "CP%d", "windows-%d")
    elif page < 1000:
        forms = ("%d", "OEM %d", "cp%d", "IBM%d")
    else:
        forms = ("%d", "CP%d")
    return forms[n % len(forms)] % page + ("\r\n" if n % 3 == 0 else "")


def make_page_table(folder, page, door):
    """A table created in `page` holding its words (written through writing door number
    `door`), and its bytes when a codec lists them; the rows it should read as."""
    os.makedirs(folder)
    path = os.path.join(folder, "t.dbf")
    run(VXDBF, "create", path, "--version", "0x83", "--codepage", str(page),
        "--field", "NAME,C,60", "--field", "BYTES,C,128", "--field", "NOTES,M")
    words = PAGE_WORDS[page]
    want = [{"NAME": words, "BYTES": "-", "NOTES": words + " " + words}]
    single = page in PYTHON_CODECS and page not in MULTI_BYTE
    raw, text = page_bytes(page) if single else (b"", "")
    if raw:
        want.append({"NAME": "bytes", "BYTES": "x" * len(raw), "NOTES": "bytes"})
    name, write = writing_doors(want, PAGE_TYPES)[door]
    try:
        write(path)
    except Refused as e:
        raise Refused("%s: %s" % (name, e))
    if raw:  # the placeholder of record 2's BYTES replaced by the page's bytes
        with open(path, "r+b") as f:
            header = f.read(12)
            f.seek(int.from_bytes(header[8:10], "little") + int.from_bytes(header[10:12], "little")
                   + 1 + 60)
            f.write(raw)
        want[1]["BYTES"] = text
    rows = Rows(PAGE_FIELDS)
    for n, row in enumerate(want, 1):
        rows.add(n, False, row)
    return path, rows


def page_forms(n, page, made):
    """The table in each form a reader meets it in: (form, path, page the doors are told). As
    created (its mark, or the .cpg create writes for a page without a driver byte), without the
    mark beside a .cpg naming the page, and without mark or .cpg with the page told."""
    yield "as created", made, 0
    for form, cpg, told in (("no mark, .cpg %r" % cpg_text(n, page), cpg_text(n, page), 0),
                            ("no mark, page told", None, page)):
        folder = os.path.join(os.path.dirname(os.path.dirname(made)), "%d %s" % (page, told))
        os.makedirs(folder)
        for name in ("t.dbf", "t.dbt"):
            shutil.copyfile(os.path.join(os.path.dirname(made), name), os.path.join(folder, name))
        path = os.path.join(folder, "t.dbf")
        with open(path, "r+b") as f:
            f.seek(29)
            f.write(b"\0")
        if cpg is not None:
            with open(os.path.join(folder, "t.CPG" if n % 2 else "t.cpg"), "w", newline="") as f:
                f.write(cpg)
        yield form, path, told


def door_browser(path, fields, names, page=0):
    return program_rows(BROWSER, path, fields, page)


def door_vxdbf_sql(path, fields, names, page=0):
    r = run(VXDBF, "sql", "SELECT _recno, * FROM t", "--table", "t=" + path, "--format", "jsonl",
            *page_args(page))
    if r.returncode != 0:
        raise Refused(r.stderr.decode("utf-8", "replace").strip())
    rows = Rows(fields)
    for row in jsonl(r.stdout):
        rows.add(row.pop("_recno"), None, row)
    return rows


def check_pages(report, scratch):
    """Every page's table in every form read right through every door."""
    doors = READ_DOORS + [("vxdbf sql", door_vxdbf_sql)] + (
        [("browser", door_browser)] if BROWSER else [])
    checked = 0
    for n, page in enumerate(sorted(PAGE_WORDS)):
        # Each page's words written through one of the writing doors in turn (every door gets
        # single-byte and two-byte pages; all of them write UTF-8 in check_written).
        doors_w = writing_doors([], PAGE_TYPES)
        door = n % len(doors_w)
        label = "cp%d table written by %s" % (page, doors_w[door][0])
        try:
            made, want = make_page_table(os.path.join(scratch, "pages", str(page)), page, door)
        except Refused as e:
            report.result(label, "writing", str(e)[:300])
            continue
        for form, path, told in page_forms(n, page, made):
            form_want = want
            if told:  # the next writing door, told the page too, adds a record
                row = {"NAME": PAGE_WORDS[page], "BYTES": "told", "NOTES": "told"}
                name, write = writing_doors([row], PAGE_TYPES, told)[(door + 1) % len(doors_w)]
                form += ", a record added by %s told the page" % name
                try:
                    write(path)
                except Refused as e:
                    report.result("%s, %s" % (label, form), "writing", str(e)[:300])
                    continue
                form_want = Rows(PAGE_FIELDS)
                form_want.rows = dict(want.rows)
                form_want.add(len(want.rows) + 1, False, row)
            read_through_doors(report, "%s, %s" % (label, form), path, PAGE_FIELDS, scratch,
                               reference=form_want, page=told, doors=doors)
            checked += 1
    print("pages: %d pages in %d tables read through %d doors" % (
        len(PAGE_WORDS), checked, len(doors) + 2))


def main():
    if not os.path.isdir(CORPUS):
        print("corpus not found at %s: skipped" % CORPUS)
        return 77
    sys.path.insert(0, PYTHON_DIR)
    try:
        import pandas  # noqa: F401
        import vexel  # noqa: F401
    except ImportError as e:
        print("the Python package or pandas is not available (%s): skipped" % e)
        return 77
    if not hasattr(sqlite3.Connection, "enable_load_extension"):
        print("this Python's sqlite3 cannot load extensions: skipped")
        return 77
    report = Report()
    read = 0
    with tempfile.TemporaryDirectory() as scratch:
        ENV["XDG_CONFIG_HOME"] = os.path.join(scratch, "config")  # the browser's settings
        check_pages(report, scratch)
        for path in corpus_tables():
            label = os.path.relpath(path, CORPUS)
            fields = table_fields(path)
            if fields is None:
                continue
            read += read_through_doors(report, label, path, fields, scratch)
        print("corpus: %d tables read through every door" % read)
        check_written(report, scratch)
    return 0 if report.finish("conformance") else 1


if __name__ == "__main__":
    sys.exit(main())
