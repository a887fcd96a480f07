#!/usr/bin/python3
"""Reads tables after vxdbf pack, copy, alter and zap with independent readers.

python3-dbfread reads the records and memos of the packed table (they must be the live records
of the old one, in order, with their memo texts), Perl's XBase::Index (libdbd-xbase-perl) reads
every rebuilt tag (the same records in the same order as `vxdbf dump --tag`, and as many as the
records the tag's condition admits), and `vxdbf check` must find nothing. After zap both
readers must find an empty table and empty tags. Both libraries are used only as checks.

Usage: check_maintenance.py VXDBF
Prints one line per table kind and command and a closing line "N passed, N failed".
"""

import json
import os
import subprocess
import sys
import tempfile

import dbfread

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_mdx_xbase import perl_sequence, vxdbf_sequence  # noqa: E402

VERSIONS = [("0x83", "dbt"), ("0x8B", "dbt"), ("0xF5", "fpt")]
TAGS = [("NAME", "NAME", None), ("NUM", "NUM", None), ("SOME", "NAME+STR(NUM,6)", "NUM>960")]


def run(args, stdin=None):
    return subprocess.run(args, input=stdin, capture_output=True, check=True,
                          env={**os.environ, "LC_ALL": "C.UTF-8"}).stdout.decode("utf-8")


def rows():
    out = []
    for i in range(1, 61):
        notes = "" if i % 6 == 0 else ("memo %d " % i) + "x" * (i * 29 % 1500)
        out.append({"NAME": "n%02d" % (i * 7 % 23), "NUM": 1000 - i, "NOTES": notes})
    return out


def check_tags(vxdbf, path, expected_counts):
    problems = []
    mdx = path[:-3] + "mdx"
    for (tag, _, _), count in zip(TAGS, expected_counts):
        theirs = perl_sequence(mdx, tag)
        ours = vxdbf_sequence(vxdbf, path, tag)
        if theirs is None:
            problems.append("tag %s: XBase::Index cannot read it" % tag)
            continue
        if [r for _, r in theirs] != [r for _, r in ours]:
            problems.append("tag %s: XBase::Index reads records %s, vxdbf %s"
                            % (tag, [r for _, r in theirs][:8], [r for _, r in ours][:8]))
        if len(theirs) != count:
            problems.append("tag %s: %d keys, %d expected" % (tag, len(theirs), count))
    return problems


def check(vxdbf, folder, version, memo_ext):
    path = os.path.join(folder, "pack%s.dbf" % version)
    run([vxdbf, "create", path, "--version", version, "--field", "NAME,C,10",
         "--field", "NUM,N,6", "--field", "NOTES,M"])
    data = rows()
    run([vxdbf, "append", path, "--format", "jsonl"],
        "".join(json.dumps(r) + "\n" for r in data).encode("utf-8"))
    deleted = set(range(3, 61, 5)) | {1, 60}
    for n in sorted(deleted):
        run([vxdbf, "delete", path, str(n)])
    for tag, key, condition in TAGS:
        run([vxdbf, "index", path, "--tag", tag, "--key", key] +
            (["--for", condition] if condition else []))
    memo_before = os.path.getsize(path[:-3] + memo_ext)
    run([vxdbf, "pack", path])
    problems = []
    live = [r for n, r in enumerate(data, 1) if n not in deleted]
    table = dbfread.DBF(path, encoding="cp437", char_decode_errors="strict")
    theirs = list(table.records)
    if len(theirs) != len(live):
        problems.append("pack: dbfread reads %d records, %d expected" % (len(theirs), len(live)))
    for n, (want, got) in enumerate(zip(live, theirs), 1):
        notes = got["NOTES"] or ""
        if isinstance(notes, bytes):
            notes = notes.decode("cp437")
        if version == "0x8B" and 0 < len(notes) - len(want["NOTES"]) <= 8:
            notes = notes[:len(want["NOTES"])]  # dbfread counts the block header in the length
        if (got["NAME"], int(got["NUM"]), notes) != (want["NAME"], want["NUM"], want["NOTES"]):
            problems.append("pack: record %d reads %r" % (n, (got["NAME"], got["NUM"],
                                                              notes[:30])))
    if os.path.getsize(path[:-3] + memo_ext) >= memo_before:
        problems.append("pack: the memo file did not shrink")
    some = sum(1 for r in live if r["NUM"] > 960)
    problems += check_tags(vxdbf, path, [len(live), len(live), some])
    if subprocess.run([vxdbf, "check", path], capture_output=True).returncode != 0:
        problems.append("pack: vxdbf check finds problems")
    # copy: another kind and code page, some fields, and a copy with its tags.
    copy = os.path.join(folder, "copy%s.dbf" % version)
    run([vxdbf, "copy", path, copy, "--version", "0xF5", "--codepage", "1252",
         "--fields", "NOTES,NAME", "--overwrite"])
    copied = [((r["NOTES"] or ""), r["NAME"]) for r in dbfread.DBF(copy, encoding="cp1252").records]
    if copied != [(r["NOTES"], r["NAME"]) for r in live]:
        problems.append("copy: dbfread reads %r" % (copied[:2],))
    run([vxdbf, "copy", path, copy, "--with-index", "--overwrite"])
    problems += ["copy: " + p for p in check_tags(vxdbf, copy, [len(live), len(live), some])]
    # alter on the copy: a wider number with decimals, a new field, a renamed one.
    run([vxdbf, "alter", copy, "--retype", "NUM,N,9,2", "--add", "FLAG,L", "--rename",
         "NOTES=TEXT"])
    altered = [(r["NAME"], r["NUM"], r["TEXT"] or "", r["FLAG"])
               for r in dbfread.DBF(copy, encoding="cp437").records]
    if altered != [(r["NAME"], float(r["NUM"]), r["NOTES"], None) for r in live]:
        problems.append("alter: dbfread reads %r" % (altered[:2],))
    problems += ["alter: " + p for p in check_tags(vxdbf, copy, [len(live), len(live), some])]
    run([vxdbf, "zap", path, "--yes"])
    if len(list(dbfread.DBF(path).records)) != 0:
        problems.append("zap: dbfread reads records")
    problems += ["zap: " + p for p in check_tags(vxdbf, path, [0, 0, 0])]
    if subprocess.run([vxdbf, "check", path], capture_output=True).returncode != 0:
        problems.append("zap: vxdbf check finds problems")
    return problems


def main():
    vxdbf = sys.argv[1]
    if subprocess.run(["perl", "-MXBase::Index", "-e", "1"], capture_output=True).returncode:
        print("Perl's XBase::Index is absent (libdbd-xbase-perl): skipped")
        return 77
    passed = failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for version, memo_ext in VERSIONS:
            problems = check(vxdbf, folder, version, memo_ext)
            if problems:
                failed += 1
                print("FAIL %s" % version)
                for p in problems[:8]:
                    print("    " + p)
            else:
                passed += 1
                print("ok   %s pack, copy, alter and zap" % version)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
