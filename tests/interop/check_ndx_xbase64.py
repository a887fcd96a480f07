#!/usr/bin/python3
"""Reads .NDX files another program wrote, and keeps them current so that it reads them still.

Debian's Xbase64 (libxbase64, driven by the xbase64_ndx program) appends records to a table
vxdbf made, keeping four .NDX files current: characters (NAME, with duplicates), a number
(AMOUNT), a date (BORN, which Xbase64 keys as its eight characters YYYYMMDD where dBASE keys a
number) and a unique number (ID). Every index must then read key for key alike in Perl's
XBase::Index and in `vxdbf dump --index`, in the order Xbase64 itself walks, and `vxdbf check`
must find nothing. vxdbf then appends, changes and deletes records naming all four files, and
the three readers must still agree; again after `vxdbf pack` rebuilt the four (the date file
keeps its characters), and after Xbase64 appended to what vxdbf wrote. Both libraries are used
only as checks.

Xbase64 3.1.2 keeps its own files in order only up to about a thousand records (beyond, Perl
and `vxdbf check` find keys out of order in what it wrote), so the tables stay below that; and it
splits some full nodes wrongly: appending to a file rebuilt with every leaf full (vxdbf's default,
--fill 100) it left a block reached twice at 580 to 700 records, so it appends to the rebuilt files
only at the smaller sizes.

Usage: check_ndx_xbase64.py VXDBF XBASE64_NDX
Prints one line per table size and stage and a closing line "N passed, N failed".
"""

import json
import os
import random
import subprocess
import sys
import tempfile

PERL_DUMP = r"""
use XBase::Index;
my $i = XBase::Index->new($ARGV[0]) or die XBase::Index->errstr;
$i->prepare_select;
while (my ($k, $r) = $i->fetch) { print "$k\t$r\n" }
"""

INDEXES = [("NAME", "C"), ("AMOUNT", "N"), ("BORN", "C"), ("ID", "N")]
SIZES = [12, 400, 800]


def run(args, stdin=None):
    return subprocess.run(args, input=stdin, capture_output=True, timeout=120,
                          env={**os.environ, "LC_ALL": "C.UTF-8"})


def comparable(kind, key):
    key = key.strip()
    if kind == "N":
        return float(key) if key else 0.0
    return key


def perl_listing(ndx, kind):
    done = run(["perl", "-e", PERL_DUMP, ndx])
    if done.returncode != 0:
        return None, done.stderr.decode(errors="replace").strip()
    out = []
    for line in done.stdout.decode("latin-1").splitlines():
        key, record = line.rsplit("\t", 1)
        out.append((comparable(kind, key), int(record)))
    return out, ""


def vxdbf_listing(vxdbf, table, name, kind):
    done = run([vxdbf, "dump", table, "--index", name + ".NDX", "--tag", name, "--recno",
                "--format", "jsonl"])
    if done.returncode != 0:
        return None, done.stderr.decode(errors="replace").strip()
    rows = [json.loads(line) for line in done.stdout.decode().splitlines()]
    return [(comparable(kind, row["_key"]), row["_recno"]) for row in rows], ""


def agree(vxdbf, maker, table, records, unindexed=0):
    """What the three readers and vxdbf check say of the four files (`unindexed` records left out
    of the unique one): a list of problems."""
    problems = []
    folder = os.path.dirname(table)
    for name, kind in INDEXES:
        ndx = os.path.join(folder, name + ".NDX")
        theirs, why = perl_listing(ndx, kind)
        if theirs is None:
            problems.append("%s: XBase::Index cannot read it: %s" % (name, why))
            continue
        ours, why = vxdbf_listing(vxdbf, table, name, kind)
        if ours is None:
            problems.append("%s: vxdbf cannot read it: %s" % (name, why))
            continue
        keys = records - (unindexed if name == "ID" else 0)
        if len(theirs) != keys:
            problems.append("%s: %d keys, %d expected" % (name, len(theirs), keys))
        if theirs != ours:
            first = next((i for i, (a, b) in enumerate(zip(theirs, ours)) if a != b),
                         min(len(theirs), len(ours)))
            problems.append("%s: key %d: XBase::Index reads %s, vxdbf %s" % (
                name, first, theirs[first:first + 2], ours[first:first + 2]))
        walked = run([maker, "walk", table, ndx])
        order = [int(line) for line in walked.stdout.decode().split()]
        if walked.returncode != 0 or order != [r for _, r in theirs]:
            problems.append("%s: Xbase64 walks records %s, XBase::Index %s" % (
                name, order[:6], [r for _, r in theirs][:6]))
    files = ",".join(name + ".NDX" for name, _ in INDEXES)
    checked = run([vxdbf, "check", table, "--index", files])
    if checked.returncode != 0:
        problems.append("vxdbf check: " + (checked.stdout + checked.stderr).decode().strip())
    return problems


def edit(vxdbf, table, records, rng):
    """Appends, changes and deletes records through vxdbf naming all four files; the new count."""
    files = ",".join(name + ".NDX" for name, _ in INDEXES)
    appended = 60
    rows = ["NAME,AMOUNT,BORN,ID"]
    for n in range(appended):
        born = "" if n % 9 == 0 else "%04d-%02d-%02d" % (rng.randint(1900, 2030),
                                                          rng.randint(1, 12), rng.randint(1, 28))
        rows.append("V%04d %s,%.2f,%s,%d" % (rng.randint(0, 900), chr(65 + n % 26),
                                              rng.randint(-10 ** 6, 10 ** 6) / 100, born,
                                              100000 + n))
    done = run([vxdbf, "append", table, "--index", files], ("\n".join(rows) + "\n").encode())
    if done.returncode != 0:
        return None, "append: " + done.stderr.decode().strip()
    records += appended
    for n in range(40):
        recno = rng.randint(1, records)
        values = ["NAME=W%04d" % rng.randint(0, 900), "AMOUNT=%.2f" % (rng.randint(-999, 999) / 7),
                  "BORN=" + ("" if n % 8 == 0 else "1987-%02d-%02d" % (1 + n % 12, 1 + n % 28))]
        done = run([vxdbf, "set", table, str(recno), *values, "--index", files])
        if done.returncode != 0:
            return None, "set %d: %s" % (recno, done.stderr.decode().strip())
    # A unique index keeps the first record of a key, as dBASE does: the record that takes a key
    # already there is written and leaves the index.
    done = run([vxdbf, "set", table, "1", "ID=100000", "--index", files])
    if done.returncode != 0:
        return None, "set 1 ID=100000: " + done.stderr.decode().strip()
    for n in range(10):
        done = run([vxdbf, "delete", table, str(rng.randint(1, records)), "--index", files])
        if done.returncode != 0:
            return None, "delete: " + done.stderr.decode().strip()
    return records, ""


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    vxdbf, maker = sys.argv[1], sys.argv[2]
    if run(["perl", "-MXBase::Index", "-e", "1"]).returncode != 0:
        print("skipped: Perl's XBase::Index is not installed (libdbd-xbase-perl)")
        return 77
    passed = failed = 0
    rng = random.Random(42)
    with tempfile.TemporaryDirectory() as folder:
        for size in SIZES:
            sub = os.path.join(folder, "n%d" % size)
            os.mkdir(sub)
            table = os.path.join(sub, "PEOPLE.DBF")
            made = run([vxdbf, "create", table, "--field", "NAME,C,12", "--field", "AMOUNT,N,10,2",
                        "--field", "BORN,D", "--field", "ID,N,6", "--version", "0x83"])
            written = made.returncode == 0 and run([maker, "make", table, str(size)]).returncode == 0
            stages = [("as Xbase64 wrote them",
                       agree(vxdbf, maker, table, size) if written else ["cannot make the table"])]
            records, why = edit(vxdbf, table, size, rng) if written else (None, "")
            stages.append(("after vxdbf's edits",
                           agree(vxdbf, maker, table, records, 1) if records else [why]))
            files = ",".join(name + ".NDX" for name, _ in INDEXES)
            packed = run([vxdbf, "pack", table, "--index", files]) if records else None
            if packed is not None and packed.returncode == 0:
                # Ten records were deleted (some twice, perhaps): count what is left.
                listed = run([vxdbf, "dump", table, "--format", "jsonl"])
                records = len(listed.stdout.splitlines())
                with open(os.path.join(sub, "BORN.NDX"), "rb") as born:
                    header = born.read(24)
                form = [] if header[16] == 0 and header[12] == 8 else [
                    "BORN.NDX rebuilt with keys of type %d, length %d" % (header[16], header[12])]
                stages.append(("after vxdbf pack", form + agree(vxdbf, maker, table, records, 1)))
                if size <= 400:
                    added = run([maker, "add", table, "50"])
                    stages.append(("after Xbase64 appended to them",
                                   agree(vxdbf, maker, table, records + 50, 1)
                                   if added.returncode == 0
                                   else ["add: " + added.stderr.decode().strip()]))
            elif packed is not None:
                stages.append(("after vxdbf pack", ["pack: " + packed.stderr.decode().strip()]))
            for stage, problems in stages:
                ok = not problems
                passed += ok
                failed += not ok
                print("%s %d records, %s%s" % ("ok  " if ok else "FAIL", size, stage,
                                               "" if ok else ": " + "; ".join(problems)))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
