#!/usr/bin/python3
"""Writes memos of every memo kind with `vxdbf append` and `vxdbf set` and reads them back with
Debian's python3-dbfread, an independent reader used only as a check.

python3-dbfread reads a dBASE IV memo as many bytes as its block header records, header
included, so it returns up to 8 bytes beyond the text; those are allowed and ignored.

Usage: check_written_memos.py VXDBF
Closes with a line "N passed, N failed".
"""

import json
import os
import subprocess
import sys
import tempfile

import dbfread

# version, memo kind (as vxdbf info names it)
VERSIONS = [("0x83", "dBASE III"), ("0x8B", "dBASE IV"), ("0xF5", "FoxPro")]
# Texts around the block boundaries of 512-byte blocks, several lines, and non-ASCII letters.
TEXTS = ["short", "x" * 504, "y" * 505, "z" * 1016, "line one\r\nline two\r\n", "Grüße, café",
         "w" * 5000, ""]


def run(args, stdin=None):
    return subprocess.run(args, input=stdin, capture_output=True, check=True,
                          env={**os.environ, "LC_ALL": "C.UTF-8"}).stdout.decode("utf-8")


def check(vxdbf, folder, version, kind):
    path = os.path.join(folder, "memos%s.dbf" % version)
    run([vxdbf, "create", path, "--version", version, "--field", "N,N,4,0", "--field",
         "NOTES,M,10,0"])
    rows = "".join(json.dumps({"N": i, "NOTES": t}) + "\n" for i, t in enumerate(TEXTS))
    run([vxdbf, "append", path, "--format", "jsonl"], rows.encode("utf-8"))
    expected = list(TEXTS)
    # Rewrites: smaller (the dBASE IV place is kept), larger (a new place), emptied.
    for n, text in ((2, "now short"), (1, "grown " * 300), (7, "")):
        run([vxdbf, "set", path, str(n), "NOTES=" + text])
        expected[n - 1] = text
    info = json.loads(run([vxdbf, "info", path, "--json"]))
    problems = []
    if info["memo"]["kind"] != kind:
        problems.append("memo kind %s" % info["memo"]["kind"])
    table = dbfread.DBF(path, encoding="cp1252")  # new tables hold code page 1252
    theirs = [r["NOTES"] or "" for r in table.records]
    ours = [json.loads(line)["NOTES"] for line in run([vxdbf, "dump", path, "--format",
                                                          "jsonl"]).splitlines()]
    for n, (want, got, read) in enumerate(zip(expected, theirs, ours), 1):
        want_page = want.encode("cp1252", "replace").decode("cp1252")
        if isinstance(got, bytes):
            got = got.decode("cp1252")
        if kind == "dBASE IV" and len(got) - len(want_page) <= 8:
            got = got[:len(want_page)]
        if got != want_page:
            problems.append("record %d: python3-dbfread reads %r" % (n, got[:60]))
        if read != want:
            problems.append("record %d: vxdbf reads %r" % (n, read[:60]))
    return problems


def main():
    vxdbf = sys.argv[1]
    passed = failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for version, kind in VERSIONS:
            problems = check(vxdbf, folder, version, kind)
            if problems:
                failed += 1
                print("FAIL %s" % version)
                for p in problems[:8]:
                    print("    " + p)
            else:
                passed += 1
                print("ok   %s (%s)" % (version, kind))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
