#!/usr/bin/python3
"""Compares what `vxdbf dump` prints for every corpus table with what independent readers give.

The readers are Debian's python3-dbf and, for the table kinds it refuses, python3-dbfread; they
are used only as a check. Character fields are compared after decoding both sides with the code
page vxdbf chose for the table (its language driver mark, else 437, the OEM page in the C
locale; `vxdbf info --json` says which), numbers by value, logicals, dates and date-times
exactly, Visual FoxPro's .NULL. against the reader's null (or, for readers that do not know
null flags, its blank); memo fields are skipped. Field values that a reader itself cannot parse
are skipped and counted.

Every table vxdbf refuses must be listed in REFUSED with the reason, and no reader may read it.

Usage: check_corpus_values.py VXDBF CORPUS_DIR
Prints one line per table and closing lines with the counts.
"""

import datetime
import json
import math
import os
import subprocess
import sys

try:
    import dbf
except ImportError:  # pragma: no cover
    dbf = None
try:
    import dbfread
except ImportError:  # pragma: no cover
    dbfread = None


# Tables vxdbf refuses, and why no program can read them as tables.
REFUSED = {
    "cimc-pcs7/CONN/LINKVL.dbf": "version byte 0x4B and no field descriptors",
    "cimc-pcs7/CONN/VLTAB53.DBF": "a descriptor of type 0 with length 0 in a dBASE III table",
    "infused-dbf/polygon.dbf": "a header of 33 bytes: no field descriptors (the readers give "
                               "records without values; a table needs at least one field)",
    "jxbase/mybase.dbf": "an empty file",
    "jxbase/src/test/111.dbf": "version byte 0xFB and a header length of 0 (dbfread reads the "
                               "records from offset 0: values from the header and shifted fields)",
    "pgdbf/SystemParameter.dbf": "W fields 64 bytes wide in a Visual FoxPro header (its W is a "
                                 "4-byte blob pointer)",
    "javadbf/numbers2.dbf": "an O field (a level 7 double) in a Visual FoxPro header, and "
                            "logical fields holding 1",
}


# Tables whose values a reader gets wrong, and why the value vxdbf reads is the right one.
READER_FAULTS = {
    "dbase-rs/stations_with_deleted.dbf":
        "the header's record length is one byte short of its fields; dbfread steps by the "
        "header's length and reads every record after the first one byte off",
    "php-xbase/foxpro/currency.dbf":
        "php-xbase wrote 0 as the field's place in the record (descriptor bytes 12-15); "
        "python3-dbf takes it and reads the deletion flag as the value's lowest byte",
    "ndbfreader/SupportedTypes.dbf":
        "its descriptors give 0 as the first field's place; python3-dbf reads every field one "
        "byte early",
    "php-xbase/foxpro/issue115.dbf":
        "_NullFlags has bit 5 set in records whose every field holds a value: python3-dbf counts "
        "the bits over all fields, vxdbf (as Visual FoxPro) over the fields that may be null, so "
        "each names another field .NULL.",
    "infused-dbf/mazovia.dbf":
        "its records' deletion flags are NUL bytes, which dbfread skips as no records",
}
# Refused tables that a reader reads, though without values or with wrong ones (see REFUSED).
READ_WRONG = {"infused-dbf/polygon.dbf", "jxbase/src/test/111.dbf"}


def vxdbf_records(vxdbf, path):
    """The records as vxdbf dumps them (with the deletion flag), or None when it refuses. A dump
    that only warned (a missing memo file, an unreadable memo) still read the table."""
    run = subprocess.run([vxdbf, "dump", path, "--format", "jsonl", "--deleted", "--lossy"],
                         capture_output=True, env={**os.environ, "LC_ALL": "C"})
    warned = run.returncode == 1 and all(
        line.startswith("vxdbf: warning") or line.startswith("vxdbf: language driver")
        for line in run.stderr.decode("utf-8", "replace").splitlines())
    if run.returncode != 0 and not warned:
        return None
    return [json.loads(line) for line in run.stdout.decode("utf-8").splitlines()]


def vxdbf_info(vxdbf, path):
    run = subprocess.run([vxdbf, "info", path, "--json", "--lossy"], capture_output=True,
                         env={**os.environ, "LC_ALL": "C"})
    return json.loads(run.stdout)


class Skip(Exception):
    pass


def read_with_dbf(path, names, page):
    """All records in file order as (deleted, {name: value}) with python3-dbf."""
    table = dbf.Table(path, codepage="cp%d" % page, ignore_memos=True)
    table.open(dbf.READ_ONLY)
    try:
        rows = []
        for record in table:
            values = {}
            for i, name in enumerate(names):
                try:
                    values[name] = record[i]
                except Exception:  # the reader cannot parse this value
                    values[name] = Skip
            rows.append((dbf.is_deleted(record), values))
        return rows
    finally:
        table.close()


def read_with_dbfread(path, names, page):
    """Live records, then deleted ones, with python3-dbfread (it keeps them apart)."""

    class Parser(dbfread.FieldParser):
        def parse(self, field, data):
            try:
                return dbfread.FieldParser.parse(self, field, data)
            except Exception:
                return Skip

    table = dbfread.DBF(path, encoding="cp%d" % page, ignore_missing_memofile=True,
                        parserclass=Parser, char_decode_errors="replace")
    live = [(False, dict(zip(names, r.values()))) for r in table.records]
    deleted = [(True, dict(zip(names, r.values()))) for r in table.deleted]
    return live, deleted


def is_null(value):
    return value is None or type(value).__name__ in ("NullType", "Null")


def same(kind, ours, theirs):
    if theirs is Skip:
        return True
    if ours is None and kind in "IYBO+T@VQ":
        # No value: the reader's null, or the blank a reader without null flags shows.
        return is_null(theirs) or theirs in ("", b"", 0) or (
            isinstance(theirs, (str, bytes)) and not theirs.strip(b" \0" if isinstance(theirs, bytes) else " \0"))
    if kind in "I+":
        return not is_null(theirs) and int(ours) == int(theirs)
    if kind in "BOY":
        if is_null(theirs):
            return False
        return math.isclose(float(ours), float(theirs), rel_tol=1e-12, abs_tol=1e-9)
    if kind in "T@":
        if not isinstance(theirs, datetime.datetime):
            return ours is None
        return ours == theirs.isoformat(timespec="milliseconds").replace(".000", "")
    if kind == "V":
        # Readers that ignore the varying-length bit show the whole field with its length byte.
        theirs = theirs or ""
        return ours in (theirs, theirs.rstrip(" \0"), theirs[:-1].rstrip(" \0"))
    if kind == "Q":
        theirs = theirs.hex() if isinstance(theirs, bytes) else theirs
        return ours == theirs or (theirs or "").startswith(ours)
    if ours is None and (is_null(theirs) or theirs == ""):
        return True  # a .NULL. C, D, N or L field
    if kind == "C":
        return (ours or "").rstrip(" \0") == (theirs or "").rstrip(" \0")
    if kind in "NF":
        if theirs is None or (isinstance(theirs, float) and math.isnan(theirs)):
            return ours is None
        if ours is None:
            return False
        return math.isclose(float(ours), float(theirs), rel_tol=1e-12, abs_tol=1e-9)
    if kind == "L":
        # A blank or "?" logical has no value on either side.
        if theirs is None:
            return ours is None
        return ours == (theirs is True)
    if kind == "D":
        if theirs is None or not isinstance(theirs, datetime.date):
            return ours is None
        return ours == theirs.isoformat()
    return True


def compare(rows_ours, rows_theirs, fields):
    problems = []
    if len(rows_ours) != len(rows_theirs):
        return ["%d records, the reader has %d" % (len(rows_ours), len(rows_theirs))]
    for n, (ours, (deleted, theirs)) in enumerate(zip(rows_ours, rows_theirs), 1):
        if ours["_deleted"] != deleted:
            problems.append("record %d: deletion flag differs" % n)
        for f in fields:
            if f["type"] in "M0":
                continue
            name = f["name"]
            if not same(f["type"], ours.get(name), theirs.get(name)):
                problems.append("record %d field %s: %r, the reader has %r"
                                % (n, name, ours.get(name), theirs.get(name)))
    return problems


def main():
    vxdbf, corpus = sys.argv[1], sys.argv[2]
    if not os.path.isdir(corpus):
        print("corpus folder %s is absent: nothing to compare" % corpus)
        print("0 passed, 0 failed, 1 skipped")
        return 0
    if dbf is None or dbfread is None:
        print("python3-dbf or python3-dbfread is missing: install them (scripts/install-deps.sh)")
        return 1
    passed = failed = unread = 0
    dbfread_reads = dbfread_and_ours = refused = 0
    for root, _, files in sorted(os.walk(corpus)):
        for name in sorted(files):
            if not name.lower().endswith(".dbf"):
                continue
            path = os.path.join(root, name)
            rel = os.path.relpath(path, corpus)
            ours = vxdbf_records(vxdbf, path)
            theirs_read = dbfread_reads_it(path)
            dbfread_reads += theirs_read
            if ours is None:
                refused += 1
                readers = [r for r, ok in (("python3-dbfread", theirs_read),
                                           ("python3-dbf", dbf_reads_it(path))) if ok]
                if rel not in REFUSED:
                    failed += 1
                    print("FAIL %s: refused, and not listed as refused" % rel)
                elif readers and rel not in READ_WRONG:
                    failed += 1
                    print("FAIL %s: refused, but %s reads it" % (rel, " and ".join(readers)))
                else:
                    print("refused %s (%s)" % (rel, REFUSED[rel]))
                continue
            dbfread_and_ours += theirs_read
            info = vxdbf_info(vxdbf, path)
            fields, page = info["fields"], info["code_page"]
            names = [f["name"] for f in fields]
            problems = None
            try:
                theirs = read_with_dbf(path, names, page)
                problems = compare(ours, theirs, fields)
                reader = "python3-dbf"
            except Exception:
                try:
                    live, deleted = read_with_dbfread(path, names, page)
                    problems = (compare([r for r in ours if not r["_deleted"]], live, fields) +
                                compare([r for r in ours if r["_deleted"]], deleted, fields))
                    reader = "python3-dbfread"
                except Exception as e:
                    unread += 1
                    print("UNREAD %s (%s: %s)" % (rel, type(e).__name__, str(e)[:60]))
                    continue
            if problems and rel in READER_FAULTS:
                passed += 1
                print("ok   %s [%s differs: %s]" % (rel, reader, READER_FAULTS[rel]))
            elif problems:
                failed += 1
                print("FAIL %s [%s]" % (rel, reader))
                for p in problems[:5]:
                    print("    " + p)
            else:
                passed += 1
                print("ok   %s [%s, cp%d, %d records]" % (rel, reader, page, len(ours)))
    print("tables neither reader could read: %d" % unread)
    print("dbfread reads %d tables; vxdbf reads %d of them; vxdbf refuses %d tables"
          % (dbfread_reads, dbfread_and_ours, refused))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


def dbfread_reads_it(path):
    """Whether python3-dbfread reads every record of the table (values it cannot parse aside)."""
    try:
        table = dbfread.DBF(path, ignore_missing_memofile=True, char_decode_errors="replace",
                            encoding="latin-1")
        for _ in table:
            pass
        for _ in table.deleted:
            pass
        return True
    except Exception:
        return False


def dbf_reads_it(path):
    try:
        table = dbf.Table(path, ignore_memos=True)
        table.open(dbf.READ_ONLY)
        try:
            for record in table:
                for i in range(len(table.field_names)):
                    record[i]
        finally:
            table.close()
        return True
    except Exception:
        return False


if __name__ == "__main__":
    sys.exit(main())
