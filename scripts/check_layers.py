#!/usr/bin/env python3
"""Checks every #include of the tree against the layering table in docs/ARCHITECTURE.md.

The table (between the "layering table" markers) names, per folder, the folders it may include
besides itself ("engine/*" stands for every engine folder), whether it may include Qt, and
whether it may include the system headers for files, locks and clocks. Folders not in the table
(tests, benchmarks, fuzz targets) may include anything. An application never depends on another
application: a table row that lets one include another is itself a violation.

An application that still needs a few internal headers beyond its layers names each in a list of
its own (between "<APP> internal headers" markers, one "- `path`: why" line each): it may include
exactly those, and a listed header it no longer includes is a violation too, so the list stays
exact.

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
        allowed = {a.strip().strip("`") for a in cells[1].split(",") if a.strip().startswith("`")}
        rules[folder] = (allowed, cells[2] == "yes", cells[3] == "yes")
    return rules, text


def read_header_lists(text):
    """The internal headers each application lists beyond its layers: {folder: {header: line}}."""
    lists = {}
    for m in re.finditer(r"<!-- (\S+) internal headers begin -->(.*?)<!-- \1 internal headers end -->",
                         text, re.S):
        listed = {}
        for line in m.group(2).splitlines():
            entry = re.match(r"^- `([^`]+)`: \S", line.strip())
            if entry:
                listed[entry.group(1)] = line.strip()
        lists[m.group(1)] = listed
    return lists


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
    rules, text = read_table(root)
    header_lists = read_header_lists(text)
    included = {owner: set() for owner in header_lists}
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
                        if name in header_lists.get(owner, {}):
                            included[owner].add(name)
                        elif owner in header_lists:
                            problems.append(f"{where} (neither its layers nor its list of "
                                            f"internal headers in docs/ARCHITECTURE.md)")
                        else:
                            problems.append(f"{where} (layer {target} not allowed)")
                elif name.startswith("Q") and not qt:
                    problems.append(f"{where} (Qt)")
                elif (SYSTEM_FILE_HEADERS.match(name) and not system and
                      name not in TERMINAL_QUERIES.get(rel, ())):
                    problems.append(f"{where} (system file, lock or clock header)")
    for owner, listed in header_lists.items():
        for name in sorted(set(listed) - included[owner]):
            problems.append(f"docs/ARCHITECTURE.md lists {name} for {owner}, which no longer "
                            f"includes it")
    for p in problems:
        print(p)
    print(f"{len(problems)} layering violation(s)" if problems else "layering clean")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
