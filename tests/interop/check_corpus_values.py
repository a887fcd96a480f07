#!/usr/bin/python3
"""Compares what `vxdbf dump` prints for every corpus table with what independent readers give.

The readers are Debian's python3-dbf and, for the table kinds it refuses, python3-dbfread; they
are used only as a check. Character fields are compared after decoding both sides with the code
page vxdbf chose for the table (its language driver mark, else 437, the OEM page in the C
locale; `vxdbf info --json` says which), numbers by value, logicals and dates exactly; memo fields
are skipped (vxdbf prints their block numbers). Field values that a reader itself cannot parse
are skipped and counted.

Usage: check_corpus_values.py VXDBF CORPUS_DIR
Prints one line per table and a closing line "N passed, N failed".
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


def vxdbf_records(vxdbf, path):
    """The records as vxdbf dumps them (with the deletion flag), or None when it refuses."""
    run = subprocess.run([vxdbf, "dump", path, "--format", "jsonl", "--deleted", "--lossy"],
                         capture_output=True, env={**os.environ, "LC_ALL": "C"})
    if run.returncode != 0:
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


def same(kind, ours, theirs):
    if theirs is Skip:
        return True
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
            if f["type"] == "M":
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
    for root, _, files in sorted(os.walk(corpus)):
        for name in sorted(files):
            if not name.lower().endswith(".dbf"):
                continue
            path = os.path.join(root, name)
            rel = os.path.relpath(path, corpus)
            ours = vxdbf_records(vxdbf, path)
            if ours is None:
                continue  # refused by the engine; the C++ corpus test pins those
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
            if problems:
                failed += 1
                print("FAIL %s [%s]" % (rel, reader))
                for p in problems[:5]:
                    print("    " + p)
            else:
                passed += 1
                print("ok   %s [%s, cp%d, %d records]" % (rel, reader, page, len(ours)))
    print("tables neither reader could read: %d" % unread)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
