"""Edits through the package: seen by vxdbf, tags kept current (vxdbf check passes), bad input
refused before anything is written, and locks that another process holds refused with
LockError, changing nothing."""

import datetime
import hashlib
import subprocess
import sys
import textwrap

import pytest

import vexel
from conftest import check_or_skip, dump, vxdbf


def _digest(*paths):
    """One fingerprint of the files' bytes (a table with its memo file and index)."""
    h = hashlib.sha256()
    for p in paths:
        h.update(p.read_bytes() if p.exists() else b"-")
    return h.hexdigest()


def _files(table):
    return [table, table.with_suffix(".DBT"), table.with_suffix(".MDX")]


def test_locked_edit_is_written_and_keeps_tags_current(indexed_film):
    with vexel.open(indexed_film) as t:
        with t.lock(6) as rec:
            assert rec.TITLE == "Casablanca" and rec.locked
            rec.TITLE = "Aaa Casablanca"
            rec["year"] = 1943
            rec.PLOT = "A memo rewritten from Python, longer than before. " * 20
            rec.PREMIERE = None
            assert rec.TITLE == "Aaa Casablanca"
        assert not rec.locked and rec.YEAR == 1943
        assert t.seek("TITLE", "AAA").recno == 6
        assert [r.recno for r in t.order("YEAR", start=1943, stop=1943)] == [6]
        # A block left by an exception writes nothing.
        with pytest.raises(RuntimeError):
            with t.lock(7) as rec:
                rec.TITLE = "Never written"
                raise RuntimeError("stop")
        assert t[7].TITLE == "Rear Window"
    row = dump(indexed_film)[5]
    assert (row["TITLE"], row["YEAR"], row["PREMIERE"]) == ("Aaa Casablanca", 1943, None)
    assert row["PLOT"].startswith("A memo rewritten from Python")
    assert vxdbf("seek", indexed_film, "--tag", "TITLE", "AAA CASA").stdout.strip() == "6"
    vxdbf("check", indexed_film)


def test_append_update_delete_recall_keep_tags_current(indexed_film):
    with vexel.open(indexed_film) as t:
        n = t.append({"TITLE": "Zulu", "YEAR": 1964, "COLOR": True},
                     PREMIERE=datetime.date(1964, 1, 22))
        assert n == 21 and len(t) == 21
        many = t.append_many({"TITLE": f"Film {i:04d}", "YEAR": 2000 + i % 20, "COLOR": i % 2 == 0}
                             for i in range(300))
        assert many == range(22, 322) and len(t) == 321
        assert t.append_many([]) == range(0)
        t.update(2, YEAR=1932, RUNTIME=88)
        t.delete(3)
        assert t[3].deleted
        t.recall(3)
        t.delete(4)
        assert t.seek("TITLE", "FILM 0123").YEAR == 2003
        assert [r.recno for r in t.order("COLOR_T")][-1] == t.seek("TITLE", "ZULU").recno
    rows = dump(indexed_film)
    assert len(rows) == 321 and rows[20]["TITLE"] == "Zulu" and rows[1]["YEAR"] == 1932
    assert (rows[2]["_deleted"], rows[3]["_deleted"]) == (False, True)
    vxdbf("check", indexed_film)


BAD_VALUES = [
    # (field, value, exception)
    ("YEAR", "1999", TypeError),
    ("YEAR", 12345, ValueError),
    ("YEAR", 1.5e300, ValueError),
    ("YEAR", True, TypeError),
    ("RUNTIME", -100, ValueError),
    ("TITLE", 42, TypeError),
    ("TITLE", "x" * 21, ValueError),
    ("COLOR", "T", TypeError),
    ("COLOR", 1, TypeError),
    ("PREMIERE", "1999-01-01", TypeError),
    ("PLOT", b"bytes", TypeError),
    ("NOPE", 1, KeyError),
    ("YEAR", float("inf"), ValueError),
    ("YEAR", float("nan"), ValueError),
    ("TITLE", [1], TypeError),
]


@pytest.mark.parametrize("field,value,error", BAD_VALUES)
def test_bad_values_are_refused_and_write_nothing(indexed_film, field, value, error):
    before = _digest(*_files(indexed_film))
    with vexel.open(indexed_film) as t:
        with pytest.raises(error) as raised:
            t.append({"TITLE": "Good", field: value})
        assert field in str(raised.value) or error is not KeyError
        with pytest.raises(error):
            t.update(1, {field: value})
        with pytest.raises(error):
            t.append_many([{"TITLE": "ok"}] * 5 + [{field: value}])
        rec = t.lock(1)
        with pytest.raises((error, AttributeError)):
            setattr(rec, field, value)
        rec.release()
        with pytest.raises(TypeError):
            t.append_many(["not a mapping"])
        with pytest.raises(TypeError):
            t.lock("1")
    assert _digest(*_files(indexed_film)) == before


def test_readonly_table_refuses_edits_with_its_error(film):
    before = _digest(*_files(film))
    with vexel.open(film, "readonly") as t:
        for call in (lambda: t.append(TITLE="x"), lambda: t.update(1, TITLE="x"),
                     lambda: t.delete(1)):
            with pytest.raises(vexel.Error) as raised:
                call()
            assert raised.value.code > 0 and str(raised.value)
        with pytest.raises(vexel.Error):
            t.add_tag("T", "TITLE")
    assert _digest(*_files(film)) == before


def test_tags_added_from_python_pass_vxdbf_check(film):
    with vexel.open(film, "exclusive") as t:
        t.add_tag("TITLE", "UPPER(TITLE)")
        t.add_tag("OLD", "DTOS(PREMIERE)", for_="YEAR < 1960", descending=True)
        t.add_tag("DIR", "DIRECTOR", unique=True)
        assert [(g.name, g.descending, g.unique) for g in t.tags] == [
            ("TITLE", False, False), ("OLD", True, False), ("DIR", False, True)]
        assert len(list(t.order("DIR"))) == len({r.DIRECTOR for r in t})
        years = [r.YEAR for r in t.order("OLD")]
        assert years == sorted(years, reverse=True) and max(years) < 1960
        t.reindex(fill_percent=50)
        with pytest.raises(vexel.Error):
            t.add_tag("BAD", "NOPE + 1")
        for call in (lambda: t.add_tag("T", "TITLE", fill_percent=0), lambda: t.reindex(101)):
            with pytest.raises(vexel.InputError):
                call()
    vxdbf("check", film)
    tags = vxdbf("tags", film, "--json").stdout
    assert '"OLD"' in tags and '"DIR"' in tags
    with vexel.open(film, "exclusive") as t:
        report = check_or_skip(t)
        assert report.ok and bool(report) and report.problems == []


def test_check_reports_a_stale_index(indexed_film):
    # Another program changes record 1's title behind the index's back (the library itself
    # keeps every readable index current, ignore_index or not).
    with open(indexed_film, "r+b") as f:
        header = f.read(12)
        f.seek(int.from_bytes(header[8:10], "little") + 1)  # record 1, after its deletion flag
        assert f.read(1) != b"Z"
        f.seek(-1, 1)
        f.write(b"Zzz")
    # An edit of that tag is refused at commit, and the refusal releases the record's lock.
    with vexel.open(indexed_film) as t:
        rec = t.lock(1)
        rec.TITLE = "Changed"
        with pytest.raises(vexel.Error):
            rec.commit()
        assert not rec.locked
        t.lock(1).release()
        assert subprocess.run([sys.executable, "-c", "import sys, vexel; "
                               "vexel.open(sys.argv[1], lock_retries=0).lock(1).release()",
                               str(indexed_film)]).returncode == 0
    with vexel.open(indexed_film, "exclusive") as t:
        report = check_or_skip(t)
        assert not report.ok and any(p.startswith("tag TITLE: ") for p in report.problems)
        repaired = t.check(repair=True)
        # The problems are those found; ok says the table is sound after the repair.
        assert repaired.ok and repaired.problems == report.problems
        assert [r.split(" of ")[0] for r in repaired.repaired] == ["rebuilt tag TITLE"]
        # The repair closed the table and opened it again, exclusively as before.
        assert t.seek("TITLE", "ZZZ").recno == 1
        assert subprocess.run([sys.executable, "-c", "import sys, vexel; "
                               "vexel.open(sys.argv[1], lock_retries=0)",
                               str(indexed_film)], capture_output=True).returncode != 0
        assert t.check().ok
    vxdbf("check", indexed_film)


def test_check_refuses_held_locks_and_a_repair_of_a_read_only_table(indexed_film):
    with vexel.open(indexed_film) as t:
        rec = t.lock(2)
        with pytest.raises(vexel.Error) as raised:
            t.check()
        assert raised.value.code == 220 and "release the locks" in str(raised.value)
        rec.release()
        assert check_or_skip(t).ok
        assert t.check(repair=True) == (True, [], [], [])
        assert t[2].TITLE == rec.TITLE
    with vexel.open(indexed_film, "readonly") as t:
        with pytest.raises(vexel.Error) as raised:
            t.check(repair=True)
        assert raised.value.code == 5


HOLDER = textwrap.dedent("""
    import sys, vexel
    table = vexel.open(sys.argv[1])
    lock = table.lock(int(sys.argv[2]))
    print("locked", flush=True)
    sys.stdin.readline()
    lock.release()
    table.close()
""")


def test_lock_held_by_another_process_raises_lock_error(indexed_film):
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(indexed_film), "5"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "locked"
        before = _digest(*_files(indexed_film))
        with vexel.open(indexed_film, lock_retries=1, lock_wait=0.01) as t:
            for call in (lambda: t.lock(5), lambda: t.update(5, TITLE="Mine"),
                         lambda: t.delete(5)):
                with pytest.raises(vexel.LockError) as raised:
                    call()
                assert isinstance(raised.value, vexel.Error) and raised.value.code > 0
            assert t[5].TITLE == "Citizen Kane"
            assert _digest(*_files(indexed_film)) == before
            with t.lock(6) as rec:  # other records stay free
                rec.RUNTIME = 103
            holder.stdin.write("\n")
            holder.stdin.flush()
            assert holder.wait(timeout=30) == 0
            with t.lock(5) as rec:
                rec.TITLE = "Mine"
        assert dump(indexed_film)[4]["TITLE"] == "Mine"
        vxdbf("check", indexed_film)
    finally:
        holder.kill()
        holder.wait()


def test_visual_foxpro_types_and_nulls_go_both_ways(tmp_path):
    """A Visual FoxPro table python3-dbf writes: read, edited (.NULL. set and cleared, a blank
    number stored blank), and read back by python3-dbf."""
    dbf = pytest.importorskip("dbf")
    import decimal
    path = tmp_path / "vfp.dbf"
    table = dbf.Table(str(path), "NAME C(10) NULL; QTY I NULL; PRICE Y; WHEN T NULL; "
                                 "RATE B; N N(6,1)", dbf_type="vfp")
    table.open(dbf.READ_WRITE)
    table.append(("one", 1, decimal.Decimal("1.5"), datetime.datetime(2020, 1, 2, 3, 4, 5),
                  2.25, 3))
    table.append((dbf.Null, dbf.Null, decimal.Decimal("0"), dbf.Null, 0.0, 0))
    table.close()
    when = datetime.datetime(2021, 5, 6, 7, 8, 9, 123000)
    with vexel.open(path) as t:
        assert [f.type for f in t.fields] == list("CIYTBN")
        one, two = t[1], t[2]
        assert (one.NAME, one.QTY, one.PRICE, one.WHEN, one.RATE) == (
            "one", 1, 1.5, datetime.datetime(2020, 1, 2, 3, 4, 5), 2.25)
        assert (two.NAME, two.QTY, two.WHEN) == (None, None, None)
        t.update(1, NAME=None, QTY=None, WHEN=when, N=None)
        t.update(2, NAME="two", QTY=-7, WHEN=None, RATE=-0.5)
        assert (t[1].NAME, t[1].QTY, t[1].WHEN, t[1].N) == (None, None, when, None)
        assert (t[2].NAME, t[2].QTY, t[2].RATE) == ("two", -7, -0.5)
        with pytest.raises((vexel.Error, ValueError, TypeError)):
            t.update(2, QTY=2 ** 40)
    table = dbf.Table(str(path))
    table.open(dbf.READ_ONLY)
    try:
        rows = [(r["name"], r["qty"], r["when"], r["rate"]) for r in table]
    finally:
        table.close()
    nulls = [tuple(None if type(v).__name__ in ("NullType", "Null") else
                   (v.rstrip() if isinstance(v, str) else v) for v in row) for row in rows]
    assert nulls[0][:2] == (None, None) and nulls[0][2].replace(tzinfo=None) == when
    assert nulls[1] == ("two", -7, None, -0.5)
    # The number given no value is stored blank, not 0 (vxdbf dumps a blank number as null).
    assert [row["N"] for row in dump(path)] == [None, 0]


# One value through every way the package stores it (append, update, a DataFrame written with
# write_dbf is checked by test_pandas): the same bytes as vxdbf stores, or the same refusal.
STORED_NUMBERS = [
    # (definition, value, stored bytes or None for a refusal)
    ("F,N,8,2", 2.675, "    2.68"),
    ("F,N,8,2", 0.125, "    0.13"),
    ("F,N,8,2", 1.005, "    1.01"),
    ("F,N,8,2", -0.004, "    0.00"),
    ("F,N,8,2", 99999.995, None),
    ("F,N,4,0", 2.5, "   3"),
    ("F,N,4,0", -2.5, "  -3"),
    ("F,N,4,0", -0.4, "   0"),
    ("F,N,4,0", 9999.5, None),
]


def _stored(path, name):
    """The bytes of field `name` of record 1 as the file holds them."""
    data = path.read_bytes()
    header, length = int.from_bytes(data[8:10], "little"), int.from_bytes(data[10:12], "little")
    offset = 1
    for at in range(32, header - 1, 32):
        if data[at] == 0x0D:
            break
        width = data[at + 16]
        if data[at:at + 11].split(b"\0")[0].decode() == name:
            return data[header + offset:header + offset + width].decode("latin-1")
        offset += width
    raise KeyError(name)


@pytest.mark.parametrize("definition,value,stored", STORED_NUMBERS)
@pytest.mark.parametrize("door", ["append", "update", "decimal"])
def test_numbers_are_stored_as_every_door_stores_them(tmp_path, definition, value, stored, door):
    import decimal

    path = tmp_path / "n.dbf"
    vxdbf("create", path, "--field", definition)
    given = decimal.Decimal(repr(value)) if door == "decimal" else value
    with vexel.open(path) as t:
        if door == "update":
            t.append({})
        if stored is None:
            with pytest.raises(ValueError, match="does not fit"):
                t.append({"F": given}) if door != "update" else t.update(1, F=given)
            return
        t.append({"F": given}) if door != "update" else t.update(1, F=given)
    assert _stored(path, "F") == stored


def test_text_a_memo_or_page_cannot_hold_is_refused(tmp_path):
    three = tmp_path / "d3.dbf"
    vxdbf("create", three, "--field", "NOTE,M,10", "--field", "NAME,C,10", "--version", "0x83",
          "--codepage", "1251")
    files = [three, tmp_path / "d3.dbt", tmp_path / "d3.DBT"]
    before = _digest(*files)
    with vexel.open(three) as t:
        with pytest.raises(vexel.Error, match="byte 0x1A at position 4 of 7.*NOTE"):
            t.append({"NOTE": "abc\x1adef"})
        with pytest.raises(vexel.Error, match='NAME.*"ö" has no place in code page 1251'):
            t.append({"NAME": "Жöлтый"})
    assert _digest(*files) == before


def test_named_ndx_files_stay_current_and_a_stale_one_refuses(film, tmp_path):
    vxdbf("index", film, "--ndx", tmp_path / "title.ndx", "--key", "UPPER(TITLE)")
    vxdbf("index", film, "--ndx", "year", "--key", "YEAR")
    with vexel.open(film, ndx_files=["title.ndx", tmp_path / "year.ndx"]) as t:
        t.update(1, {"TITLE": "Aaa first", "YEAR": 1901})
        t.append({"TITLE": "Zzz last", "YEAR": 2099})
    vxdbf("check", film, "--index", "title,year")
    assert vxdbf("seek", film, "--index", "title.ndx", "AAA").stdout.strip() == "1"
    # An edit that does not name a file leaves it stale: the next one that names it is refused.
    with vexel.open(film) as t:
        t.update(2, {"TITLE": "Changed"})
    with vexel.open(film, ndx_files=["title"]) as t:
        with pytest.raises(vexel.Error, match="does not agree"):
            t.update(3, {"TITLE": "Again"})
    # A refusal's advice names this module's own calls, where it has them.
    fox = tmp_path / "fox.dbf"
    vxdbf("create", fox, "--version", "0x30", "--field", "NAME,C,8")
    vxdbf("append", fox, input="NAME\nann\nbob\n")
    vxdbf("index", fox, "--tag", "NAME", "--key", "NAME")
    data = bytearray(fox.read_bytes())
    first = int.from_bytes(data[8:10], "little") + 1  # record 1's NAME, changed behind the index
    data[first:first + 3] = b"cyd"
    fox.write_bytes(bytes(data))
    with vexel.open(fox) as t:
        with pytest.raises(vexel.Error, match=r"changed \(Table\.check\(repair=True\) rebuilds it\)$"):
            t.update(2, {"NAME": "dan"})
    with pytest.raises(TypeError):
        vexel.open(film, ndx_files="title")


def test_check_names_a_field_of_letters_beyond_ascii_as_it_is_called(tmp_path):
    path = tmp_path / "notes.dbf"
    with vexel.create(path, [("TITLE", "C", 10, 0), ("NOTÉ", "M", 10, 0)], codepage=850) as t:
        t.append(TITLE="one", NOTÉ="a memo")
    # Record 1's memo pointer (after its deletion flag and TITLE) names a block far past the
    # memo file's end.
    data = bytearray(path.read_bytes())
    start = int.from_bytes(data[8:10], "little") + 1 + 10
    data[start:start + 10] = b"    999999"
    path.write_bytes(bytes(data))
    with vexel.open(path) as t:
        report = check_or_skip(t)
    assert not report.ok
    assert [p.split(":")[0] for p in report.problems] == ["record 1, field NOTÉ"]
