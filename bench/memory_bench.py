#!/usr/bin/python3
"""Peak memory and time of `vxdbf append`, `vxdbf index` and `vxdbf check` on a large table.

Appends ROWS rows (default 10,000,000; TITLE C 20, YEAR N 4, DIRECTOR C 20, PREMIERE D 8: about
530 MB of table) from a CSV generated on the fly into a pipe, builds the tags TITLE and DIRECTOR
with `vxdbf index`, one at a time, and checks the table with `vxdbf check`; then appends
MEMOROWS rows (default 100,000) each with a memo to a shared table and to the same table opened
with --exclusive. Every command runs under /usr/bin/time -v for the wall time and the peak
resident set of the whole process. Files go to a temporary folder (TMPDIR, default /tmp) that is
removed at the end. On a shared machine: `nice -n 19 bench/memory_bench.py build/tools/vxdbf/vxdbf`.

Usage: memory_bench.py VXDBF [ROWS] [MEMOROWS]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile


def measured(command, feed=None):
    """Runs command under /usr/bin/time -v, its input written by feed(pipe); answers (seconds,
    peak MiB, standard output)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen(["/usr/bin/time", "-v"] + command,
                                   stdin=subprocess.PIPE if feed else subprocess.DEVNULL,
                                   stdout=out, stderr=err)
        if feed:
            feed(process.stdin)
        process.wait()
        out.seek(0)
        err.seek(0)
        output = out.read().decode(errors="replace")
        text = err.read().decode(errors="replace")
    if process.returncode != 0:
        sys.exit("failed: %s\n%s\n%s" % (" ".join(command), output[-2000:], text[-2000:]))
    wall = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", text)
    seconds = int(wall.group(1) or 0) * 3600 + int(wall.group(2)) * 60 + float(wall.group(3))
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return seconds, peak / 1024, output


def film_rows(rows, memo=False):
    def feed(pipe):
        pipe.write(b"TITLE,YEAR,DIRECTOR,PREMIERE" + (b",NOTES" if memo else b"") + b"\n")
        chunk = []
        for i in range(rows):
            line = "Film %d,%d,Director %d,%04d-%02d-%02d" % (
                (i * 7919) % 10000019, 1900 + i % 120, i % 5000, 1900 + i % 120, 1 + i % 12,
                1 + i % 28)
            if memo:
                line += "," + ("plot %d " % i) * (20 + i % 40)
            chunk.append(line)
            if len(chunk) == 10000:
                pipe.write(("\n".join(chunk) + "\n").encode())
                chunk = []
        if chunk:
            pipe.write(("\n".join(chunk) + "\n").encode())
        pipe.close()
    return feed


def main():
    vxdbf = os.path.abspath(sys.argv[1])
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 10000000
    memo_rows = int(sys.argv[3]) if len(sys.argv) > 3 else 100000
    folder = tempfile.mkdtemp(prefix="memory_bench.")
    fields = ["--field", "TITLE,C,20", "--field", "YEAR,N,4", "--field", "DIRECTOR,C,20",
              "--field", "PREMIERE,D,8"]
    results = []
    try:
        films = os.path.join(folder, "films.dbf")
        subprocess.run([vxdbf, "create", films] + fields, check=True, stdout=subprocess.DEVNULL)
        results.append(("append %d rows" % rows,) +
                       measured([vxdbf, "append", films], feed=film_rows(rows))[:2])
        builds = 0
        for tag in ("TITLE", "DIRECTOR"):
            seconds, peak, _ = measured([vxdbf, "index", films, "--tag", tag, "--key", tag])
            builds += seconds
            results.append(("index tag %s" % tag, seconds, peak))
        seconds, peak, out = measured([vxdbf, "check", films])
        results.append(("check (2 tags)", seconds, peak))
        print(out.strip())
        print("check takes %.2f x the two builds" % (seconds / builds))
        os.remove(films)
        os.remove(os.path.join(folder, "films.mdx")) if os.path.exists(
            os.path.join(folder, "films.mdx")) else None
        times = {}
        for mode in ("shared", "exclusive"):
            path = os.path.join(folder, "memos_%s.dbf" % mode)
            subprocess.run([vxdbf, "create", path, "--version", "0x8B"] + fields +
                           ["--field", "NOTES,M,10"], check=True, stdout=subprocess.DEVNULL)
            extra = ["--exclusive"] if mode == "exclusive" else []
            seconds, peak, _ = measured([vxdbf, "append", path] + extra,
                                        feed=film_rows(memo_rows, memo=True))
            times[mode] = seconds
            results.append(("append %d rows with memos, %s" % (memo_rows, mode), seconds, peak))
        print("shared append with memos takes %.2f x the exclusive one" %
              (times["shared"] / times["exclusive"]))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("%-44s %10s %12s" % ("command", "wall", "peak memory"))
    for name, seconds, peak in results:
        print("%-44s %8.1f s %8.0f MiB" % (name, seconds, peak))


if __name__ == "__main__":
    main()
