#!/usr/bin/env python3
"""Seeds for the index fuzz target: every .MDX under a folder that has a table of the same name
beside it, written as one input (4-byte little-endian table length, the table, the index).

    python3 scripts/index_fuzz_seeds.py CORPUS_FOLDER OUTPUT_FOLDER
"""
import os
import struct
import sys


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    written = 0
    for root, _dirs, files in os.walk(source):
        by_lower = {f.lower(): f for f in files}
        for name in files:
            if not name.lower().endswith(".mdx"):
                continue
            table = by_lower.get(name[:-4].lower() + ".dbf")
            if table is None:
                continue
            with open(os.path.join(root, table), "rb") as f:
                table_bytes = f.read()
            with open(os.path.join(root, name), "rb") as f:
                index_bytes = f.read()
            seed = os.path.relpath(os.path.join(root, name), source).replace(os.sep, "_")
            with open(os.path.join(out, seed), "wb") as f:
                f.write(struct.pack("<I", len(table_bytes)) + table_bytes + index_bytes)
            written += 1
    print(f"{written} seeds in {out}")


if __name__ == "__main__":
    main()
