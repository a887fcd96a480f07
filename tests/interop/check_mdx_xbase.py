#!/usr/bin/python3
"""Compares every corpus MDX tag that Perl's XBase::Index reads with `vxdbf dump --tag`.

XBase::Index (Debian libdbd-xbase-perl) is used only as a check. For each tag it gives the
(key, record number) sequence stored in the file; vxdbf gives the records in the tag's order
with the key our key maker computes for each record. The record sequences must be equal; keys
are compared where XBase::Index decodes them (character tags; ASCII keys, since both sides
decode other bytes with their own code pages). Tags XBase::Index cannot read are skipped and
counted. Each table is copied to a temporary folder first, so that nothing is written beside
the corpus (opening an index logs in to the table's semaphore file).

Usage: check_mdx_xbase.py VXDBF CORPUS_DIR
Prints one line per tag and a closing line "N passed, N failed, N skipped".
"""

import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile

PERL_DUMP = r"""
use XBase::Index;
binmode STDOUT;
my $index = XBase::Index->new($ARGV[0], tag => $ARGV[1]) or die XBase::Index->errstr;
$index->prepare_select or die "no select";
while (my ($key, $record) = $index->fetch) { print unpack("H*", $key), "\t$record\n"; }
"""


def perl_sequence(mdx, tag):
    run = subprocess.run(["perl", "-e", PERL_DUMP, mdx, tag], capture_output=True, timeout=60)
    if run.returncode != 0:
        return None
    out = []
    for line in run.stdout.decode("ascii").splitlines():
        key, record = line.split("\t")
        out.append((bytes.fromhex(key), int(record)))
    return out


def vxdbf_sequence(vxdbf, table, tag):
    run = subprocess.run([vxdbf, "dump", table, "--tag", tag, "--recno", "--format", "jsonl"],
                         capture_output=True, env={**os.environ, "LC_ALL": "C"}, timeout=60)
    if run.returncode != 0:
        return None
    rows = [json.loads(line) for line in run.stdout.decode("utf-8").splitlines()]
    return [(row["_key"], row["_recno"]) for row in rows]


def main():
    vxdbf, corpus = sys.argv[1], sys.argv[2]
    if not os.path.isdir(corpus):
        print("corpus folder absent: skipped")
        return 0
    passed = failed = skipped = 0
    for mdx in sorted(glob.glob(os.path.join(corpus, "**", "*"), recursive=True)):
        if not mdx.lower().endswith(".mdx") or not os.path.isfile(mdx):
            continue
        stem = os.path.splitext(mdx)[0]
        tables = [p for p in glob.glob(stem + ".*") if p.lower() == stem.lower() + ".dbf"]
        if not tables:
            continue
        with tempfile.TemporaryDirectory() as work:
            for part in glob.glob(stem + ".*"):
                shutil.copy(part, work)
                os.chmod(os.path.join(work, os.path.basename(part)), 0o644)
            table = os.path.join(work, os.path.basename(tables[0]))
            index = os.path.join(work, os.path.basename(mdx))
            if subprocess.run([vxdbf, "info", table], capture_output=True).returncode != 0:
                continue  # the table itself is refused: pinned by the engine's corpus test
            listed = subprocess.run([vxdbf, "tags", table, "--index", index, "--json"],
                                    capture_output=True)
            if listed.returncode != 0:
                continue  # refused by vxdbf: pinned by the engine's corpus test
            for tag in json.loads(listed.stdout):
                name = os.path.relpath(mdx, corpus) + " " + tag["name"]
                theirs = perl_sequence(index, tag["name"])
                if theirs is None:
                    print("skipped  " + name + " (XBase::Index cannot read it)")
                    skipped += 1
                    continue
                ours = vxdbf_sequence(vxdbf, table, tag["name"])
                if ours is None:
                    print("refused  " + name)
                    failed += 1
                    continue
                problems = []
                if [r for _, r in theirs] != [r for _, r in ours]:
                    problems.append("record order differs")
                if tag["type"] == "C":
                    for (stored, _), (made, _) in zip(theirs, ours):
                        text = stored.rstrip(b"\0")
                        if all(b < 128 for b in text) and text.decode("ascii") != made:
                            problems.append("key %r != %r" % (text, made))
                            break
                if problems:
                    print("FAILED   " + name + ": " + "; ".join(problems))
                    failed += 1
                else:
                    print("ok       " + name + " (%d keys)" % len(ours))
                    passed += 1
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
