#!/usr/bin/env python3
"""Checks what a shared object exports: every defined dynamic symbol (nm -D --defined-only,
demangled) must match one of the given regular expressions; prints the others and fails.

    check_exports.py FILE REGEX...
"""
import re
import subprocess
import sys


def main() -> int:
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    path, patterns = sys.argv[1], [re.compile(p) for p in sys.argv[2:]]
    out = subprocess.run(["nm", "-D", "--defined-only", "-C", path], check=True,
                         capture_output=True, text=True).stdout
    names = [line.split(" ", 2)[2] for line in out.splitlines() if line.count(" ") >= 2]
    stray = [n for n in names if not any(p.match(n) for p in patterns)]
    for name in stray:
        print(f"{path}: exports {name}")
    if not names:
        print(f"{path}: exports nothing")
        return 1
    print(f"{path}: {len(names)} symbols, {len(stray)} not public")
    return 1 if stray else 0


if __name__ == "__main__":
    sys.exit(main())
