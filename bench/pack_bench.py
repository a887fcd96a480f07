#!/usr/bin/python3
"""vxdbf pack against vxdbf reindex of the same tags: wall time and peak resident memory.

Writes a dBASE IV table of RECORDS records (default 1,000,000; NAME C 20, NUM N 8, CITY C 12,
NOTES M) with a memo on every fourth record, builds three tags with `vxdbf index`, marks every
tenth record deleted, then times (best of RUNS, default 1) `vxdbf reindex` and `vxdbf pack` on
fresh copies of the same files, each under /usr/bin/time for the peak resident set. Run it under
nice on a shared machine: `nice -n 10 bench/pack_bench.py build/tools/vxdbf/vxdbf`.

Usage: pack_bench.py VXDBF [RECORDS] [RUNS]
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

FIELDS = [("NAME", "C", 20), ("NUM", "N", 8), ("CITY", "C", 12), ("NOTES", "M", 10)]
TAGS = [("NAME", "NAME"), ("NUM", "NUM"), ("CITYNAME", "CITY+NAME")]
BLOCK = 512


def write_table(folder, records):
    path = os.path.join(folder, "big.dbf")
    record_length = 1 + sum(f[2] for f in FIELDS)
    header_length = 32 + 32 * len(FIELDS) + 1
    cities = [b"Berlin", b"Paris", b"Madrid", b"Rome", b"Vienna", b"Prague", b"Oslo"]
    with open(path, "wb") as table, open(os.path.join(folder, "big.dbt"), "wb") as memo:
        header = struct.pack("<BBBBIHH", 0x8B, 126, 12, 9, records, header_length, record_length)
        table.write(header + b"\0" * 20)
        for name, kind, length in FIELDS:
            table.write(name.encode().ljust(11, b"\0") + kind.encode() + b"\0" * 4 +
                        bytes([length, 0]) + b"\0" * 14)
        table.write(b"\r")
        memo.write(struct.pack("<I", 0).ljust(BLOCK, b"\0"))  # next free block set at the end
        block = 1
        chunk = []
        for n in range(1, records + 1):
            notes = b" " * 10
            if n % 4 == 0:
                text = (b"notes of record %d " % n) * (1 + n % 9)
                memo.write((b"\xff\xff\x08\x00" + struct.pack("<I", len(text) + 8) +
                            text).ljust(BLOCK, b"\0"))
                notes = str(block).rjust(10).encode()
                block += 1
            chunk.append(b" " + (b"name %07d" % ((n * 7919) % records)).ljust(20) +
                         str(n).rjust(8).encode() + cities[n % len(cities)].ljust(12) + notes)
            if len(chunk) == 65536:
                table.write(b"".join(chunk))
                chunk = []
        table.write(b"".join(chunk) + b"\x1a")
        memo.seek(0)
        memo.write(struct.pack("<I", block))
    return path


def mark_deleted(path, records):
    with open(path, "r+b") as table:
        header = table.read(12)
        header_length, record_length = struct.unpack("<HH", header[8:12])
        for n in range(10, records + 1, 10):
            table.seek(header_length + (n - 1) * record_length)
            table.write(b"*")


def timed(args):
    """Wall seconds and peak resident MiB of one run."""
    start = time.monotonic()
    run = subprocess.run(["/usr/bin/time", "-f", "%M"] + args, capture_output=True, text=True)
    seconds = time.monotonic() - start
    if run.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(args), run.stderr))
    return seconds, int(run.stderr.strip().splitlines()[-1]) / 1024


def main():
    vxdbf = sys.argv[1]
    records = int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as folder:
        master = os.path.join(folder, "master")
        os.mkdir(master)
        path = write_table(master, records)
        for tag, key in TAGS:
            subprocess.run([vxdbf, "index", path, "--tag", tag, "--key", key], check=True)
        mark_deleted(path, records)
        results = {}
        for command in ("reindex", "pack"):
            best = None
            for _ in range(runs):
                work = os.path.join(folder, "work")
                shutil.rmtree(work, ignore_errors=True)
                shutil.copytree(master, work)
                result = timed([vxdbf, command, os.path.join(work, "big.dbf")])
                best = result if best is None or result[0] < best[0] else best
            results[command] = best
        sizes = {ext: os.path.getsize(os.path.join(master, "big." + ext))
                 for ext in ("dbf", "dbt", "mdx")}
    print("%d records (10%% deleted), memo file %.0f MiB, index %.0f MiB, 3 tags" %
          (records, sizes["dbt"] / 2**20, sizes["mdx"] / 2**20))
    for command, (seconds, peak) in results.items():
        print("%-8s %7.2f s   peak %6.1f MiB" % (command, seconds, peak))
    print("pack / reindex: %.2fx" % (results["pack"][0] / results["reindex"][0]))


if __name__ == "__main__":
    main()
