#!/usr/bin/python3
"""The vexel package against dbfread (python3-dbfread) and dbf (python3-dbf) on one film table of
many records (the demo's twenty films over and over, titles numbered, with their memos and a
TITLE tag), in one run:

1. the table into a pandas DataFrame (vexel: table.to_pandas(); dbfread:
   pandas.DataFrame(iter(dbfread.DBF(...))); dbf: a DataFrame from every record's values);
2. every record as a dict (vexel: rec.as_dict(); dbfread: its dict records; dbf: dbf.scatter);
3. seeks by tag (only vexel has them): microseconds per seek;
4. a condition (YEAR < 1960, 9 films in 20) evaluated by the engine, as records and as a
   DataFrame, against the whole table into pandas and filtered there.

Usage: bench_python.py [--records N] [--folder DIR] [--seeks N] [--skip-peers]
The table is built once in DIR (default /tmp/vexel-bench) and kept for later runs.
Prints one line per measurement (CPU time of the process, and wall-clock time) and the ratios of
CPU times against the package's goals (30x and 10x dbfread, 3x the pandas filter).
"""

import argparse
import os
import random
import sys
import time

import vexel

def build_table(path, records):
    sample = path.with_name("sample20.DBF")
    if not sample.exists():
        import subprocess
        vxdbf = os.environ.get("VXDBF", "build/tools/vxdbf/vxdbf")
        subprocess.run([vxdbf, "sample", str(sample)], check=True)
    with vexel.open(sample, "readonly") as t:
        rows = [r.as_dict() for r in t]
        fields = [(f.name, f.type, f.length, f.decimals) for f in t.fields]
    fields[0] = ("TITLE", "C", 30, 0)
    start = time.perf_counter()
    # dBASE III with a .DBT memo file: the kind all three libraries read.
    with vexel.create(path, fields, version="dbase3", overwrite=True, mode="exclusive") as t:
        batch = []
        for i in range(records):
            row = dict(rows[i % len(rows)])
            row["TITLE"] = f"{row['TITLE']} {i:07d}"
            batch.append(row)
            if len(batch) == 10000:
                t.append_many(batch)
                batch = []
        if batch:
            t.append_many(batch)
    with vexel.open(path, "exclusive") as t:
        t.add_tag("TITLE", "UPPER(TITLE)")
    print(f"built {records} records in {time.perf_counter() - start:.1f} s", flush=True)


def timed(label, work):
    """Runs work(); answers its CPU time (this process, every thread: the figure that stays
    put on a shared machine) and its result, and prints the CPU and wall-clock times."""
    start, start_cpu = time.perf_counter(), time.process_time()
    result = work()
    seconds, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    print(f"{label:<48} {cpu:9.3f} s CPU {seconds:9.3f} s wall", flush=True)
    return cpu, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--folder", default="/tmp/vexel-bench")
    parser.add_argument("--seeks", type=int, default=100_000)
    parser.add_argument("--skip-peers", action="store_true")
    args = parser.parse_args()

    import pathlib
    folder = pathlib.Path(args.folder)
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / f"films{args.records}.DBF"
    if not path.exists():
        build_table(path, args.records)
    print(f"table {path}: {args.records} records, {path.stat().st_size // 1_000_000} MB")

    import pandas
    results = {}
    titles = None
    # readonly: shared with other programs (locks and counts checked as they go); exclusive:
    # the table to this program alone.
    for mode in ("readonly", "exclusive"):
        with vexel.open(path, mode) as t:
            results[f"vexel frame {mode}"], frame = timed(f"vexel to_pandas ({mode})", t.to_pandas)
            assert len(frame) == args.records

            def dicts():
                n = 0
                for r in t:
                    r.as_dict()
                    n += 1
                return n
            results[f"vexel dicts {mode}"], n = timed(f"vexel every record as a dict ({mode})",
                                                      dicts)
            assert n == args.records

            if titles is None:
                titles = [f"{frame.TITLE.iloc[i]}".upper() for i in random.Random(1).sample(
                    range(args.records), min(args.seeks, args.records))]

            def seeks():
                found = 0
                for title in titles:
                    found += t.seek("TITLE", title) is not None
                return found
            seconds, found = timed(f"vexel {len(titles)} seeks by tag ({mode})", seeks)
            assert found == len(titles)
            print(f"{'vexel seek by tag (' + mode + ')':<48} "
                  f"{seconds / len(titles) * 1e6:9.1f} µs CPU per seek", flush=True)

            # A condition: in the engine (records, or a DataFrame of the records it holds for)
            # against the whole table into pandas, filtered there.
            condition = "YEAR < 1960"
            results[f"vexel where {mode}"], chosen = timed(
                f"vexel where({condition!r}) records ({mode})",
                lambda: sum(1 for _ in t.where(condition)))
            results[f"vexel where frame {mode}"], picked = timed(
                f"vexel to_pandas(where={condition!r}) ({mode})",
                lambda: t.to_pandas(where=condition))
            filter_cpu, filtered = timed(f"pandas filter of the whole frame ({mode})",
                                         lambda: frame[frame.YEAR < 1960])
            assert chosen == len(picked) == len(filtered)
            whole = results[f"vexel frame {mode}"] + filter_cpu
            print(f"{mode}: to_pandas + pandas filter {whole:.3f} s CPU: to_pandas(where=) "
                  f"{whole / results[f'vexel where frame {mode}']:.1f}x faster, where() records "
                  f"{whole / results[f'vexel where {mode}']:.1f}x (goal 3x)", flush=True)
        del frame

    if not args.skip_peers:
        import dbfread
        import dbf

        results["dbfread frame"], _ = timed(
            "dbfread pandas.DataFrame(iter(DBF))",
            lambda: pandas.DataFrame(iter(dbfread.DBF(str(path), encoding="cp437"))))

        def dbfread_dicts():
            return sum(1 for r in dbfread.DBF(str(path), encoding="cp437"))
        results["dbfread dicts"], _ = timed("dbfread every record as a dict", dbfread_dicts)

        def dbf_frame():
            table = dbf.Table(str(path), codepage="cp437")
            table.open(dbf.READ_ONLY)
            try:
                names = dbf.field_names(table)
                return pandas.DataFrame([tuple(r) for r in table], columns=names)
            finally:
                table.close()
        results["dbf frame"], _ = timed("dbf DataFrame of every record", dbf_frame)

        def dbf_dicts():
            table = dbf.Table(str(path), codepage="cp437")
            table.open(dbf.READ_ONLY)
            try:
                return sum(1 for r in table if dbf.scatter(r, as_type=dict) is not None)
            finally:
                table.close()
        results["dbf dicts"], _ = timed("dbf every record as a dict", dbf_dicts)

        for mode in ("readonly", "exclusive"):
            frame, dicts = results[f"vexel frame {mode}"], results[f"vexel dicts {mode}"]
            print(f"{mode}: DataFrame {results['dbfread frame'] / frame:.1f}x dbfread, "
                  f"{results['dbf frame'] / frame:.1f}x dbf (goal 30x dbfread); dicts "
                  f"{results['dbfread dicts'] / dicts:.1f}x dbfread, "
                  f"{results['dbf dicts'] / dicts:.1f}x dbf (goal 10x dbfread)")


if __name__ == "__main__":
    sys.exit(main())
