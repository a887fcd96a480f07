#!/usr/bin/env python3
"""Checks every #include of the tree against the layering table in docs/ARCHITECTURE.md.

The table (between the "layering table" markers) names, per folder, the folders it may include
besides itself ("engine/*" stands for every engine folder), whether it may include Qt, and
whether it may include the system headers for files, locks and clocks. Folders not in the table
(tests, benchmarks, fuzz targets) may include anything. An application never depends on another
application: a table row that lets one include another is itself a violation.

Exits 1 and lists every violation.
"""
import pathlib
import re
import sys

SYSTEM_FILE_HEADERS = re.compile(
    r"^(fcntl\.h|unistd\.h|dirent\.h|sys/.*|linux/.*|filesystem|fstream|chrono|ctime|time\.h)$")
APPLICATIONS = ("demo", "browser", "tools/vxdbf")
# Files that may include one such header for something other than files, locks and clocks:
# vxdbf asks whether standard input and standard error are terminals (isatty), nothing more.
TERMINAL_QUERIES = {"tools/vxdbf/progress.cpp": {"unistd.h"}}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def read_table(root):
    text = (root / "docs" / "ARCHITECTURE.md").read_text(encoding="utf-8")
    block = re.search(r"<!-- layering table begin -->(.*?)<!-- layering table end -->", text, re.S)
    if not block:
        sys.exit("docs/ARCHITECTURE.md has no layering table")
    rules = {}
    for line in block.group(1).splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 4 or not cells[0].startswith("`"):
            continue
        folder = cells[0].strip("`")
        allowed = {a.strip().strip("`") for a in cells[1].split(",") if a.strip() not in ("", "—")}
        rules[folder] = (allowed, cells[2] == "yes", cells[3] == "yes")
    return rules


def folder_of(path):
    parts = pathlib.PurePosixPath(path).parts
    return "/".join(parts[:2]) if len(parts) > 2 else parts[0]


def may_include(owner, target, allowed):
    if target == owner:
        return True
    for a in allowed:
        if a == target or (a.endswith("/*") and target.startswith(a[:-1])):
            return True
    return False


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    rules = read_table(root)
    problems = []
    for app in APPLICATIONS:
        allowed = rules.get(app, (set(), False, False))[0]
        for other in APPLICATIONS:
            if other != app and may_include(None, other, allowed):
                problems.append(f"layering table: application {app} may include application {other}")
    for top in ("platform", "engine", "components", "tools", "demo", "browser", "python", "sqlite"):
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".y") or "build" in path.parts:
                continue
            rel = path.relative_to(root).as_posix()
            owner = folder_of(rel)
            if owner not in rules:
                problems.append(f"{rel}: folder {owner} is not in the layering table")
                continue
            allowed, qt, system = rules[owner]
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                kind, name = m.groups()
                where = f"{rel}:{number}: {owner} includes {name}"
                if kind == '"':
                    target = folder_of(name)
                    if "/" in name and not may_include(owner, target, allowed):
                        problems.append(f"{where} (layer {target} not allowed)")
                elif name.startswith("Q") and not qt:
                    problems.append(f"{where} (Qt)")
                elif (SYSTEM_FILE_HEADERS.match(name) and not system and
                      name not in TERMINAL_QUERIES.get(rel, ())):
                    problems.append(f"{where} (system file, lock or clock header)")
    for p in problems:
        print(p)
    print(f"{len(problems)} layering violation(s)" if problems else "layering clean")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
