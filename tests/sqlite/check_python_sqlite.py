#!/usr/bin/env python3
"""Python's sqlite3 (the system's /usr/bin/python3) loads the vexel module: its rows equal
`vxdbf dump` and `vxdbf list`, `vxdbf sql` prints the same rows, writes pass `vxdbf check`
and are seen by another connection and by vxdbf, and `vxdbf export --sqlite` copies the
tables with an index per plain-field tag.

usage: check_python_sqlite.py VXDBF MODULE     (exit 77: this Python cannot load extensions)
"""
import json
import os
import sqlite3
import subprocess
import sys
import tempfile

VXDBF, MODULE = sys.argv[1], sys.argv[2]
failures = []


def vxdbf(*args, check=True):
    r = subprocess.run([VXDBF, *args], capture_output=True, text=True)
    if check and r.returncode != 0:
        sys.exit(f"vxdbf {' '.join(args)} failed ({r.returncode}): {r.stderr}")
    return r


def expect(what, got, want):
    if got != want:
        failures.append(f"{what}:\n  got  {got!r}\n  want {want!r}")


def connect():
    con = sqlite3.connect(":memory:")
    con.enable_load_extension(True)
    con.load_extension(MODULE)
    return con


def sql_value(field_type, value):
    """A dump JSON value as the module shows it."""
    if field_type == "L" and value is not None:
        return 1 if value else 0
    return value


def main():
    if not hasattr(sqlite3.Connection, "enable_load_extension"):
        print("this Python's sqlite3 cannot load extensions")
        return 77
    with tempfile.TemporaryDirectory() as d:
        films = os.path.join(d, "films.dbf")
        vxdbf("sample", films)
        vxdbf("index", films, "--tag", "TITLE", "--key", "TITLE")
        vxdbf("index", films, "--tag", "YEAR", "--key", "YEAR")
        vxdbf("delete", films, "4")
        info = json.loads(vxdbf("info", films, "--json").stdout)
        types = {f["name"]: f["type"] for f in info["fields"]}
        names = [f["name"] for f in info["fields"]]

        con = connect()
        con.execute(f"CREATE VIRTUAL TABLE films USING vexel('{films}')")
        cur = con.execute("SELECT _recno, * FROM films")
        columns = [c[0] for c in cur.description]
        expect("columns", columns, ["_recno"] + names)
        rows = cur.fetchall()

        # Equal to dump (records not deleted, in file order).
        dumped = [json.loads(line) for line in
                  vxdbf("dump", films, "--visible", "--recno", "--format", "jsonl").stdout.splitlines()]
        want = [tuple([r["_recno"]] + [sql_value(types[n], r[n]) for n in names]) for r in dumped]
        expect("SELECT _recno, * equals vxdbf dump --visible", rows, want)
        expect("records", len(rows), 19)

        # Equal to list with a condition (dBASE) and the same condition in SQL.
        listed = [json.loads(line) for line in vxdbf(
            "list", films, "TITLE", "YEAR", "--for", "YEAR > 1950 .AND. .NOT. DELETED()",
            "--format", "jsonl").stdout.splitlines()]
        got = con.execute("SELECT _recno, TITLE, YEAR FROM films WHERE YEAR > 1950").fetchall()
        expect("WHERE YEAR > 1950 equals vxdbf list --for",
               got, [(r["_recno"], r["TITLE"].rstrip(), r["YEAR"]) for r in listed])
        plan = " ".join(r[-1] for r in con.execute(
            "EXPLAIN QUERY PLAN SELECT * FROM films WHERE YEAR > 1950"))
        expect("plan of YEAR > 1950 uses tag YEAR", "tag YEAR (range)" in plan, True)

        # vxdbf sql prints the same rows as Python reads.
        out = vxdbf("sql", "SELECT TITLE, YEAR FROM films WHERE TITLE >= 'M' ORDER BY TITLE",
                    "--table", f"films={films}", "--format", "jsonl").stdout
        expect("vxdbf sql", [(r["TITLE"], r["YEAR"]) for r in map(json.loads, out.splitlines())],
               con.execute("SELECT TITLE, YEAR FROM films WHERE TITLE >= 'M' "
                           "ORDER BY TITLE").fetchall())
        out = vxdbf("sql", "SELECT count(*) AS n FROM films", "--dir", d).stdout
        expect("vxdbf sql --dir", out.splitlines(), ["n", "19"])
        r = vxdbf("sql", "SELECT * FROM nowhere", "--dir", d, check=False)
        expect("vxdbf sql with an unknown table", (r.returncode, "no such table" in r.stderr),
               (1, True))

        # Writes from Python: checked by vxdbf, seen by another connection and by vxdbf.
        with con:
            con.execute("UPDATE films SET YEAR = 1928, PLOT = 'Rewritten' WHERE TITLE = 'Metropolis'")
            con.execute("INSERT INTO films (TITLE, YEAR, COLOR) VALUES ('Python Film', 2024, 1)")
            con.execute("DELETE FROM films WHERE TITLE = 'Casablanca'")
        other = connect()
        other.execute(f"CREATE VIRTUAL TABLE f USING vexel('{films}', mode=read_only)")
        expect("second connection", other.execute(
            "SELECT YEAR, PLOT FROM f WHERE TITLE = 'Metropolis'").fetchall(), [(1928, "Rewritten")])
        expect("second connection, appended", other.execute(
            "SELECT _recno FROM f WHERE TITLE = 'Python Film'").fetchall(), [(21,)])
        expect("second connection, deleted", other.execute(
            "SELECT count(*) FROM f WHERE TITLE = 'Casablanca'").fetchall(), [(0,)])
        seek = vxdbf("seek", films, "--tag", "TITLE", "Python Film").stdout
        expect("vxdbf seek finds the appended film", "21" in seek, True)
        try:
            con.execute("UPDATE films SET YEAR = 123456 WHERE _recno = 1")
            failures.append("a year of six digits was accepted")
        except sqlite3.IntegrityError as e:
            expect("constraint names the field", "YEAR" in str(e), True)

        # Closed (the engine writes the header's count when the table closes): sound.
        con.execute("DROP TABLE films")
        other.close()
        r = vxdbf("check", films, check=False)
        expect("vxdbf check after writes", (r.returncode, r.stdout), (0, r.stdout))
        con.execute(f"CREATE VIRTUAL TABLE films USING vexel('{films}')")

        # export --sqlite: plain tables, an index per plain-field tag, records not deleted.
        out_db = os.path.join(d, "out.db")
        vxdbf("export", films, "--sqlite", out_db)
        plain = sqlite3.connect(out_db)
        expect("exported rows", plain.execute("SELECT * FROM films ORDER BY rowid").fetchall(),
               con.execute("SELECT * FROM films").fetchall())
        indexes = sorted(r[0] for r in plain.execute(
            "SELECT name FROM sqlite_master WHERE type = 'index'"))
        expect("exported indexes", indexes, ["films_TITLE", "films_YEAR"])
        plan = " ".join(r[-1] for r in plain.execute(
            "EXPLAIN QUERY PLAN SELECT * FROM films WHERE TITLE = 'Metropolis'"))
        expect("exported index serves", "films_TITLE" in plan, True)
        plain.close()
    for f in failures:
        print("FAIL", f)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
