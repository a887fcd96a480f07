#!/usr/bin/python3
"""Creates a table of every version with `vxdbf create` and reads it back with independent
readers (Debian's python3-dbfread, and python3-dbf for the kinds it opens): the version byte,
the field list and the empty memo file must be what was asked for.

Usage: check_created_tables.py VXDBF
Closes with a line "N passed, N failed".
"""

import os
import subprocess
import sys
import tempfile

import dbf
import dbfread

FIELDS = [("TITLE", "C", 20, 0), ("YEAR", "N", 4, 0), ("COLOR", "L", 1, 0),
          ("RATING", "N", 6, 2), ("PREMIERE", "D", 8, 0), ("PLOT", "M", 10, 0)]
# version asked for, version byte without the memo field, memo extension
VERSIONS = [("0x83", 0x03, "dbt"), ("0x8B", 0x03, "dbt"), ("0xF5", 0x03, "fpt"),
            ("0x8C", 0x04, "dbt")]


def level7_fields(data):
    """Field list of a level 7 table: 48-byte descriptors after a 68-byte prologue."""
    fields = []
    offset = 68
    while data[offset] != 0x0D:
        d = data[offset:offset + 48]
        fields.append((d[:32].split(b"\0")[0].decode("ascii"), chr(d[32]), d[33], d[34]))
        offset += 48
    return fields


def create(vxdbf, path, version, fields):
    args = [vxdbf, "create", path, "--version", version]
    for name, kind, length, decimals in fields:
        args += ["--field", "%s,%s,%d,%d" % (name, kind, length, decimals)]
    subprocess.run(args, check=True)


def check(vxdbf, folder, version, plain_byte, memo_ext, with_memo):
    fields = FIELDS if with_memo else FIELDS[:-1]
    path = os.path.join(folder, "t%s%s.dbf" % (version, "m" if with_memo else ""))
    create(vxdbf, path, version, fields)
    problems = []
    with open(path, "rb") as f:
        data = f.read()
    expected_byte = int(version, 16) if with_memo else plain_byte
    if data[0] != expected_byte:
        problems.append("version byte %#x, expected %#x" % (data[0], expected_byte))
    if data[-1] != 0x1A:
        problems.append("no end-of-file marker")
    if version == "0x8C":
        # No reader on this machine opens level 7 tables: read the descriptors here.
        got = level7_fields(data)
    else:
        table = dbfread.DBF(path, ignore_missing_memofile=False)
        got = [(f.name, f.type, f.length, f.decimal_count) for f in table.fields]
        if len(list(table)) != 0:
            problems.append("dbfread finds records in a new table")
    if got != fields:
        problems.append("fields read back as %r" % got)
    memo = os.path.splitext(path)[0] + "." + memo_ext
    if with_memo != os.path.exists(memo):
        problems.append("memo file %s %s" % (memo, "missing" if with_memo else "unexpected"))
    if version in ("0x83", "0xF5") or not with_memo:
        if expected_byte in (0x03, 0x83, 0xF5):
            t = dbf.Table(path)
            t.open(dbf.READ_ONLY)
            names = [n.upper() for n in t.field_names]
            t.close()
            if names != [f[0] for f in fields]:
                problems.append("python3-dbf fields %r" % names)
    return problems


def main():
    vxdbf = sys.argv[1]
    passed = failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for version, plain_byte, memo_ext in VERSIONS:
            for with_memo in (True, False):
                problems = check(vxdbf, folder, version, plain_byte, memo_ext, with_memo)
                label = "%s %s memo" % (version, "with" if with_memo else "without")
                if problems:
                    failed += 1
                    print("FAIL " + label + ": " + "; ".join(problems))
                else:
                    passed += 1
                    print("ok   " + label)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
