#!/usr/bin/python3
"""Visual FoxPro tables written by vxdbf, read by independent readers, and the other way round.

1. `vxdbf create --version 0x30|0x31` in every new type, rows appended and edited with vxdbf:
   python3-dbf and python3-dbfread must read the values written (dbfread ignores null flags
   and varying lengths: for it only the fields that are neither).
2. A table python3-dbf writes (nullable fields, .NULL. values): vxdbf reads the same values,
   appends a row and edits one, and python3-dbf reads all of them back.
3. `vxdbf copy` of such tables (all fields, and some in another order): python3-dbf and dbfread
   read the copy's values, .NULL. included, equal to the original's; an autoincrement field
   goes on numbering where the original stopped.
Level 7 tables have no reader on this machine (dbfread and Perl XBase refuse their headers);
their bytes are pinned by the C++ tests.

Usage: check_foxpro_tables.py VXDBF
Closes with a line "N passed, N failed".
"""

import datetime
import decimal
import json
import os
import subprocess
import sys
import tempfile

try:
    import dbf
    import dbfread
except ImportError:  # pragma: no cover
    print("python3-dbf or python3-dbfread is missing")
    sys.exit(77)


def vxdbf(tool, *args, stdin=""):
    run = subprocess.run([tool, *args], input=stdin.encode("utf-8"), capture_output=True,
                         env={**os.environ, "LC_ALL": "C"})
    if run.returncode != 0:
        raise RuntimeError("vxdbf %s: %s" % (" ".join(args), run.stderr.decode()))
    return run.stdout.decode("utf-8")


ROWS = [
    {"I": -7, "B": 2.5, "Y": "12.3456", "T": "2024-02-29T13:14:15", "V": "ab", "C": "x",
     "D": "2001-02-03", "M": "a memo", "N": None},
    {"I": 2147483647, "B": -1e-300, "Y": "-0.0001", "T": "1900-01-01T00:00:00.5",
     "V": "0123456789", "C": "yz", "D": None, "M": "", "N": 5},
]


def expected(row, field):
    value = row.get(field)
    if field == "Y":
        return decimal.Decimal(value)
    if field == "T":
        return datetime.datetime.fromisoformat(value)
    if field == "D":
        return datetime.date.fromisoformat(value) if value else None
    return value


def check_written(tool, folder):
    problems = []
    for version in ("0x30", "0x31"):
        path = os.path.join(folder, "w%s.dbf" % version)
        # N may be .NULL.: its null bit is bit 0, as Visual FoxPro numbers the bits over the
        # fields that may be null (corpus foxref_ref.dbf: 20 fields, 2 of them nullable, one byte
        # of null flags). python3-dbf numbers them by field position instead, so the field comes
        # first here, where both numberings agree.
        fields = ["N,I,4,0,NULL", "I,I", "B,B,8,2", "Y,Y", "T,T", "C,C,3", "D,D", "M,M"]
        if version == "0x31":
            fields.insert(1, "ID,+")
        args = ["create", path, "--version", version]
        for f in fields:
            args += ["--field", f]
        vxdbf(tool, *args)
        vxdbf(tool, "append", path, "--format", "jsonl",
              stdin="".join(json.dumps({k: v for k, v in r.items() if k != "V"}) + "\n"
                            for r in ROWS))
        vxdbf(tool, "set", path, "2", "C=yz")
        table = dbf.Table(path)
        table.open(dbf.READ_ONLY)
        try:
            records = list(table)
            if len(records) != len(ROWS):
                problems.append("%s: python3-dbf reads %d records" % (version, len(records)))
            for n, (record, row) in enumerate(zip(records, ROWS), 1):
                for field in ("N", "I", "B", "Y", "T", "C", "D", "M"):
                    theirs = record[field.lower()]
                    if type(theirs).__name__ in ("NullType", "Null"):
                        theirs = None
                    if isinstance(theirs, str):
                        theirs = theirs.rstrip()
                    if field == "T" and theirs is not None:
                        theirs = theirs.replace(tzinfo=None)
                    want = expected(row, field)
                    if field == "B":
                        ok = theirs == want
                    elif field == "D" and want is None:
                        ok = theirs in (None, "") or not theirs
                    else:
                        ok = theirs == want
                    if not ok:
                        problems.append("%s record %d %s: python3-dbf %r, written %r"
                                        % (version, n, field, theirs, want))
                if version == "0x31" and record["id"] != n:
                    problems.append("%s record %d: ID %r" % (version, n, record["id"]))
        finally:
            table.close()
        read = list(dbfread.DBF(path))
        for n, (record, row) in enumerate(zip(read, ROWS), 1):
            # dbfread ignores null flags: a .NULL. integer reads as the 0 its bytes hold.
            for field in ("I", "B", "Y", "T", "C", "D", "M") + (("N",) if row["N"] is not None else ()):
                theirs = record[field]
                if isinstance(theirs, str):
                    theirs = theirs.rstrip()
                if theirs != expected(row, field) and not (field in "DM" and not row[field]):
                    problems.append("%s record %d %s: dbfread %r, written %r"
                                    % (version, n, field, theirs, expected(row, field)))
    # V fields make a 0x32 table, which python3-dbf refuses: dbfread reads it, ignoring the
    # varying-length bit (the value, blanks, and the length in the last byte).
    path = os.path.join(folder, "v.dbf")
    vxdbf(tool, "create", path, "--version", "0x30", "--field", "V,V,10")
    vxdbf(tool, "append", path, "--format", "jsonl",
          stdin='{"V":"ab"}\n{"V":"0123456789"}\n')
    got = [r["V"] for r in dbfread.DBF(path)]
    want = ["ab" + " " * 7 + "\x02", "0123456789"]
    if got != want:
        problems.append("0x32: dbfread reads %r, written %r" % (got, want))
    return problems


def check_foreign(tool, folder):
    """A table python3-dbf writes, edited by vxdbf, read back by python3-dbf."""
    problems = []
    path = os.path.join(folder, "py.dbf")
    table = dbf.Table(path, "NAME C(10) NULL; QTY I NULL; PRICE Y; WHEN T NULL; NOTE M",
                      dbf_type="vfp")
    table.open(dbf.READ_WRITE)
    table.append(("one", 1, decimal.Decimal("1.5"), datetime.datetime(2020, 1, 2, 3, 4, 5), "n1"))
    table.append((dbf.Null, dbf.Null, decimal.Decimal("0"), dbf.Null, ""))
    table.close()
    dumped = [json.loads(line) for line in vxdbf(tool, "dump", path, "--format", "jsonl")
              .splitlines()]
    want = [{"NAME": "one", "QTY": 1, "PRICE": 1.5, "WHEN": "2020-01-02T03:04:05", "NOTE": "n1"},
            {"NAME": None, "QTY": None, "PRICE": 0, "WHEN": None, "NOTE": ""}]
    if dumped != want:
        problems.append("vxdbf reads python3-dbf's table as %r" % dumped)
    vxdbf(tool, "append", path, "--format", "jsonl",
          stdin='{"NAME":"three","QTY":null,"PRICE":2,"WHEN":"2021-05-06T07:08:09","NOTE":"n3"}\n')
    vxdbf(tool, "set", path, "2", "NAME=two", "QTY=22")
    table = dbf.Table(path)
    table.open(dbf.READ_ONLY)
    try:
        got = [(r["name"], r["qty"], r["price"], r["when"], r["note"]) for r in table]
    finally:
        table.close()
    norm = [tuple(None if type(v).__name__ in ("NullType", "Null") else
                  (v.rstrip() if isinstance(v, str) else v) for v in row) for row in got]
    norm = [tuple(v.replace(tzinfo=None) if isinstance(v, datetime.datetime) else v for v in row)
            for row in norm]
    want_back = [("one", 1, decimal.Decimal("1.5"), datetime.datetime(2020, 1, 2, 3, 4, 5), "n1"),
                 ("two", 22, decimal.Decimal("0"), None, ""),
                 ("three", None, decimal.Decimal("2"), datetime.datetime(2021, 5, 6, 7, 8, 9), "n3")]
    if norm != want_back:
        problems.append("python3-dbf reads the edited table as %r" % norm)
    return problems


def _python_dbf_rows(path, names):
    table = dbf.Table(path)
    table.open(dbf.READ_ONLY)
    try:
        rows = []
        for r in table:
            row = []
            for name in names:
                v = r[name.lower()]
                if type(v).__name__ in ("NullType", "Null"):
                    v = None
                elif isinstance(v, str):
                    v = v.rstrip()
                elif isinstance(v, datetime.datetime):
                    v = v.replace(tzinfo=None)
                row.append(v)
            rows.append(tuple(row))
        return rows
    finally:
        table.close()


def check_copied(tool, folder):
    """vxdbf copy of Visual FoxPro tables, read by python3-dbf and dbfread."""
    problems = []
    src = os.path.join(folder, "src.dbf")
    # The fields that may be null come first: python3-dbf numbers their null bits by field
    # position, where Visual FoxPro (and this engine) count only the fields that have one.
    table = dbf.Table(src, "NAME C(10) NULL; QTY I NULL; WHEN T NULL; PRICE Y; NOTE M; "
                           "RATE B", dbf_type="vfp")
    table.open(dbf.READ_WRITE)
    table.append(("one", 1, datetime.datetime(2020, 1, 2, 3, 4, 5), decimal.Decimal("1.5"), "n1",
                  2.25))
    table.append((dbf.Null, dbf.Null, dbf.Null, decimal.Decimal("-0.0001"), "", -1e-300))
    table.append(("three", -2147483647, datetime.datetime(1900, 1, 1, 23, 59, 59),
                  decimal.Decimal("922337203685477.5807"), "n3" * 200, 0.0))
    table.close()
    names = ["NAME", "QTY", "WHEN", "PRICE", "NOTE", "RATE"]
    want = _python_dbf_rows(src, names)
    for args, fields in (([], names), (["--fields", "QTY,NAME,RATE"], ["QTY", "NAME", "RATE"])):
        dst = os.path.join(folder, "dst.dbf")
        vxdbf(tool, "copy", src, dst, "--overwrite", *args)
        got = _python_dbf_rows(dst, fields)
        expect = [tuple(row[names.index(f)] for f in fields) for row in want]
        if got != expect:
            problems.append("copy %s: python3-dbf reads %r, the original %r" % (args, got, expect))
        # (dbfread takes a Visual FoxPro B for a memo when it looks for the memo file.)
        theirs = [[r[f] for f in fields] for r in dbfread.DBF(dst, ignore_missing_memofile=True)]
        mine = [[r[f] for f in fields] for r in dbfread.DBF(src)]
        if theirs != mine:
            problems.append("copy %s: dbfread reads %r, the original %r" % (args, theirs, mine))
    # The counter of an autoincrement field goes on in the copy.
    auto = os.path.join(folder, "auto.dbf")
    vxdbf(tool, "create", auto, "--version", "0x31", "--field", "ID,+", "--field", "C,C,3")
    vxdbf(tool, "append", auto, "--format", "jsonl", stdin='{"C":"a"}\n{"C":"b"}\n')
    copied = os.path.join(folder, "auto2.dbf")
    vxdbf(tool, "copy", auto, copied)
    vxdbf(tool, "append", copied, "--format", "jsonl", stdin='{"C":"c"}\n')
    ids = [r["ID"] for r in dbfread.DBF(copied)]
    if ids != [1, 2, 3]:
        problems.append("the copy's autoincrement field numbers %r" % ids)
    # Into another kind the binary types have no form: refused, nothing written.
    run = subprocess.run([tool, "copy", src, os.path.join(folder, "d3.dbf"), "--version", "0x03"],
                         capture_output=True)
    if run.returncode != 2 or os.path.exists(os.path.join(folder, "d3.dbf")):
        problems.append("copy --version 0x03: exit %d, %s" % (run.returncode, run.stderr))
    return problems


def main():
    tool = sys.argv[1]
    passed = failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for name, check in (("written by vxdbf", check_written),
                            ("written by python3-dbf", check_foreign),
                            ("copied by vxdbf", check_copied)):
            try:
                problems = check(tool, folder)
            except Exception as e:  # a reader or vxdbf refused the file
                problems = ["%s: %s" % (type(e).__name__, e)]
            if problems:
                failed += 1
                print("FAIL %s" % name)
                for p in problems[:10]:
                    print("    " + p)
            else:
                passed += 1
                print("ok   %s" % name)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
