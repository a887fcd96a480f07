#!/usr/bin/python3
"""Checks that vxdbf reads and writes a table's own code page, against Debian's python3-dbf
(an independent writer and reader, used only as a check).

1. python3-dbf makes tables in cp437, cp850, cp852, cp866, cp1251 and cp1252 (its language
   driver byte at offset 29) holding accented Latin, Polish or Cyrillic text in a character
   field and a memo; `vxdbf dump` must print the same text with no option.
2. `vxdbf create --codepage N` and `vxdbf append` make the same tables; python3-dbf, going by
   the mark alone, must read the same text back.
3. With the mark removed (byte 29 set to 0), `vxdbf codepage` must rank the right page first
   (or one that reads every byte of the text as the same character).
4. For every corpus table whose MANIFEST names a language driver and that vxdbf opens,
   `vxdbf codepage` must rank the page of that driver first.

5. `vxdbf create --codepage N` in every page the driver table names, 855, 1258 and UTF-8 (and
   the default, 1252), text of that page's language in a field and a memo; python3-dbf and
   dbfread must read it back, by the mark where they know it, else (a mark they lack, or a page
   only the .cpg names) told the page on a copy without the mark. Pages a reader cannot read
   at all are skipped by name (READER_LACKS: Mazovia and Kamenický, which Python has no codec
   for; 855, 1257, 1258, KOI8-R and ISO 8859 in python3-dbf). A table with only a .cpg must read right in vxdbf.

Usage: check_codepages.py VXDBF [CORPUS_DIR]
Exits 77 (skipped) when python3-dbf is absent; closes with a line "N passed, N failed".
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unicodedata

from page_texts import NO_CODEC, PAGE_WORDS, PYTHON_CODECS

try:
    import dbf
except ImportError:  # pragma: no cover
    dbf = None
try:
    import dbfread
except ImportError:  # pragma: no cover
    dbfread = None

LATIN = ["Ein Mann sucht Bücher über Ölmalerei.", "Crème brûlée à la française",
         "Año nuevo, señor Muñoz", "Größe und Gewicht für später"]
LATIN_850 = ["São João e a população da região", "Ålesund og Øresund", "Ação e coração",
             "Ein Mann sucht Bücher über Ölmalerei."]
POLISH = ["Zażółć gęślą jaźń", "Łódź, ulica Piękna", "Kraków jest też miastem",
          "Źródło się już wyczerpało"]
CYRILLIC = ["Съешь же ещё этих мягких французских булок", "Привет, мир",
            "Москва, улица Тверская", "Это был город для всех"]
CANDIDATES = (437, 850, 852, 866, 1250, 1251, 1252, 1253, 1254, 1257)
# Corpus tables whose text contradicts their mark: the page the text is really in.
MISMARKED = {"php-xbase/socios.dbf": 65001}  # UTF-8 text under the Windows mark 0x03
# Tables whose mark is wrong and whose text is too short for any ranking to name the right page.
UNTELLABLE = {"dbase-rs/cp850.dbf": "one record of code page 850 text (\"\u00c4\u00f6\u00fc!\u00a7\") "
                                    "under the Windows mark 0x03: five letters cannot tell 850 from 866",
              "infused-dbf/mazovia.dbf": "seven bytes under the Mazovia mark 0x69, three of them box "
                                         "drawing and symbols in every DOS page: no page reads them "
                                         "as words"}
TABLES = {437: LATIN, 850: LATIN_850, 852: POLISH, 866: CYRILLIC, 1251: CYRILLIC, 1252: LATIN}


def run(args, stdin=None):
    done = subprocess.run(args, input=stdin, capture_output=True,
                          env={**os.environ, "LC_ALL": "C.UTF-8"})
    if done.returncode != 0:
        raise RuntimeError("%s: exit %d: %s" % (" ".join(args[:3]), done.returncode,
                                                done.stderr.decode("utf-8", "replace")[:200]))
    return done.stdout.decode("utf-8")


def python_table(path, page, texts):
    table = dbf.Table(path, "NAME C(60); NOTES M", dbf_type="db3", codepage="cp%d" % page)
    table.open(dbf.READ_WRITE)
    for text in texts:
        table.append((text, text + "\r\n" + text))
    table.close()


def dumped(vxdbf, path):
    return [json.loads(line) for line in run([vxdbf, "dump", path, "--format",
                                              "jsonl"]).splitlines()]


def read_with_python(path):
    table = dbf.Table(path)  # the code page from the table's own mark
    table.open(dbf.READ_ONLY)
    try:
        return [(record[0].rstrip(), record[1]) for record in table]
    finally:
        table.close()


def unmark(path):
    with open(path, "r+b") as f:
        f.seek(29)
        f.write(b"\0")


def ranked_first(vxdbf, path):
    """The page ranked first and those that read the text as it does, and the bytes beyond ASCII."""
    report = json.loads(run([vxdbf, "codepage", path, "--json"]))
    pages = report["pages"]
    first = [pages[0]["page"]] + [p["page"] for p in pages[1:] if p["same_as_best"]]
    if report["too_close_to_call"]:  # it says it cannot tell: the next page may be the right one
        first += [p["page"] for p in pages[1:] if not p["same_as_best"]][:1]
    return first, report["bytes_beyond_ascii"]


def check_page(vxdbf, folder, page, texts):
    problems = []
    theirs = os.path.join(folder, "py%d.dbf" % page)
    python_table(theirs, page, texts)
    for n, (row, text) in enumerate(zip(dumped(vxdbf, theirs), texts), 1):
        if row["NAME"] != text or row["NOTES"].replace("\r\n", "\n") != text + "\n" + text:
            problems.append("python3-dbf table, record %d: vxdbf dump reads %r" % (n, row))
    ours = os.path.join(folder, "vx%d.dbf" % page)
    run([vxdbf, "create", ours, "--codepage", str(page), "--version", "0x83", "--field",
         "NAME,C,60", "--field", "NOTES,M"])
    rows = "".join(json.dumps({"NAME": t, "NOTES": t + "\r\n" + t}) + "\n" for t in texts)
    run([vxdbf, "append", ours, "--format", "jsonl"], rows.encode("utf-8"))
    for n, ((name, notes), text) in enumerate(zip(read_with_python(ours), texts), 1):
        if name != text or notes.replace("\r\n", "\n").rstrip() != text + "\n" + text:
            problems.append("vxdbf table, record %d: python3-dbf reads %r" % (n, (name, notes)))
    for path in (theirs, ours):
        unmark(path)
        best, _ = ranked_first(vxdbf, path)
        if page not in best:
            problems.append("%s without its mark: the assistant ranks %s first"
                            % (os.path.basename(path), best))
    return problems


# Marks the independent readers do not know, by the page vxdbf writes them for: python3-dbf
# refuses such a table (KeyError) and dbfread reads it as ASCII, so each reads a copy without
# the mark told the page, as their users must. The pages only a .cpg names (855, 1258, UTF-8)
# are told from the .cpg vxdbf writes the same way.
MARK_UNKNOWN = {
    "dbfread": {863: 0x6C, 1257: 0xCC, 620: 0x69, 895: 0x68},
    "python3-dbf": {863: 0x6C, 1257: 0xCC, 620: 0x69, 895: 0x68},
}


def read_dbfread(path, page, told):
    table = dbfread.DBF(path, encoding=PYTHON_CODECS[page] if told else None)
    return [(r["NAME"], r["NOTES"]) for r in table]


def read_python_dbf(path, page, told):
    codec = "utf8" if page == 65001 else PYTHON_CODECS[page]  # its own name for UTF-8
    table = dbf.Table(path, codepage=codec if told else None)
    table.open(dbf.READ_ONLY)
    try:
        return [(record[0].rstrip(), record[1]) for record in table]
    finally:
        table.close()


READERS = {"dbfread": read_dbfread, "python3-dbf": read_python_dbf}
# Pages a reader cannot read at all: named skips, with why.
READER_LACKS = {
    "dbfread": {**{page: "Python has no %s codec" % name for page, name in NO_CODEC.items()}},
    "python3-dbf": {**{page: "Python has no %s codec" % name for page, name in NO_CODEC.items()},
                    # Its list of code pages (by mark or told) lacks these.
                    **{page: "its code pages lack %s" % PYTHON_CODECS[page]
                       for page in (855, 1257, 1258, 20866, 28591, 28592, 28595)}},
}


def check_written_page(vxdbf, folder, page, text):
    """A table vxdbf creates in `page` (none: the default), read by each independent reader:
    by its mark, or told the page where the reader lacks the mark or only a .cpg names it.
    Answers the problems and the readers skipped, each with why."""
    problems, skipped = [], []
    path = os.path.join(folder, "w%d.dbf" % page)
    create = [vxdbf, "create", path, "--version", "0x83", "--field", "NAME,C,60",
              "--field", "NOTES,M"]
    if page:
        create += ["--codepage", str(page)]
    run(create)
    want = [(text, text + " " + text)]
    run([vxdbf, "append", path, "--format", "jsonl"],
        (json.dumps({"NAME": text, "NOTES": want[0][1]}) + "\n").encode("utf-8"))
    if [(r["NAME"], r["NOTES"]) for r in dumped(vxdbf, path)] != want:
        problems.append("cp%d: vxdbf does not read its own table back" % page)
    cpg = os.path.join(folder, "w%d.cpg" % page)
    cpg_page = os.path.exists(cpg) and open(cpg).read().strip()
    cpg_want = {65001: "UTF-8"}.get(page, "8859%d" % (page - 28590) if page > 28590 else str(page))
    if cpg_page and cpg_page != cpg_want:
        problems.append("cp%d: the .cpg vxdbf wrote says %r" % (page, cpg_page))
    page = page or 1252  # new tables are 1252 unless told
    for reader, read in READERS.items():
        if page in READER_LACKS[reader]:
            skipped.append("%s cp%d: %s" % (reader, page, READER_LACKS[reader][page]))
            continue
        told = bool(cpg_page) or page in MARK_UNKNOWN[reader]
        source = path
        if told:  # a copy without the mark, as its users must read it
            source = os.path.join(folder, "told.dbf")
            shutil.copyfile(path, source)
            shutil.copyfile(path[:-4] + ".dbt", source[:-4] + ".dbt")
            unmark(source)
        try:
            got = [(unicodedata.normalize("NFC", name), unicodedata.normalize("NFC", notes))
                   for name, notes in read(source, page, told)]
        except Exception as e:  # a reader refusing the table is a failed check, not a crash
            got = "%s: %s" % (type(e).__name__, e)
        if got != want:
            problems.append("cp%d: %s%s reads %r" % (page, reader, " told the page" if told else "",
                                                     got))
    return problems, skipped


def check_written_pages(vxdbf, folder):
    """Tables vxdbf creates in each page, read back by python3-dbf and dbfread."""
    problems = []
    for page, text in sorted(PAGE_WORDS.items()) + [(0, "København, Ærøskøbing")]:
        try:
            found, skipped = check_written_page(vxdbf, folder, page, text)
            problems += found
            for why in skipped:
                print("skip " + why)
        except Exception as e:  # a failing reader is a failed check, not a crash
            problems.append("cp%d: %s: %s" % (page, type(e).__name__, e))
    # A table that only a .cpg describes, as GDAL writes one.

    path = os.path.join(folder, "gdal.dbf")
    run([vxdbf, "create", path, "--field", "NAME,C,20", "--codepage", "437"])
    with open(path, "r+b") as f:
        f.seek(29)
        f.write(b"\0")
    run([vxdbf, "append", path, "--codepage", "1251", "--format", "jsonl"],
        (json.dumps({"NAME": "Привет"}) + "\n").encode("utf-8"))
    with open(os.path.join(folder, "GDAL.CPG"), "w") as f:
        f.write("ANSI 1251")
    if dumped(vxdbf, path) != [{"NAME": "Привет"}]:
        problems.append("a table with a .cpg \"ANSI 1251\" is not read through it")
    return problems


def manifest_drivers(corpus):
    """(table, code page) for every table whose MANIFEST entry names a language driver."""
    path = os.path.join(corpus, "MANIFEST.md")
    if not os.path.exists(path):
        return []
    drivers, table = [], None
    for line in open(path, encoding="utf-8"):
        heading = re.match(r"### `(.*)`", line)
        if heading:
            table = heading.group(1)
            continue
        mark = re.search(r'language id\) = 0x([0-9A-F]{2})(?:; language driver name "(.*)")?',
                         line)
        if mark and table and table.lower().endswith(".dbf"):
            if mark.group(1) != "00" or mark.group(2):
                drivers.append(table)
    return drivers


def copy_table(path, folder):
    """Copies a table and its memo file (same name, any extension) into a fresh folder."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    source, name = os.path.split(path)
    stem = os.path.splitext(name)[0].lower()
    for other in os.listdir(source or "."):
        if os.path.splitext(other)[0].lower() == stem:
            shutil.copyfile(os.path.join(source, other), os.path.join(folder, other))
    return os.path.join(folder, name)


def check_corpus(vxdbf, corpus, folder):
    passed = failed = 0
    for table in manifest_drivers(corpus):
        path = os.path.join(corpus, table)
        if table in UNTELLABLE:
            print("skip %s: %s" % (table, UNTELLABLE[table]))
            continue
        try:
            info = json.loads(run([vxdbf, "info", path, "--json", "--lossy"]))
            if not info["code_page_from"].startswith("language driver"):
                continue  # a mark vxdbf does not know: nothing names the right page
            page = MISMARKED.get(table, info["code_page"])
            best, beyond = ranked_first(vxdbf, path)
        except RuntimeError:
            continue  # a table the engine does not open: its own tests pin that
        problems = [] if page in best else ["%d expected, ranked %s first" % (page, best)]
        # Without its mark, when its text can tell and its page is among the candidates.
        if beyond > 0 and page in CANDIDATES and not info.get("language_driver_name"):
            copy = copy_table(path, os.path.join(folder, "corpus"))
            unmark(copy)
            best, _ = ranked_first(vxdbf, copy)
            if page not in best:
                problems.append("without its mark, ranked %s first" % best)
        if problems:
            failed += 1
            print("FAIL %s: %s" % (table, "; ".join(problems)))
        else:
            passed += 1
            print("ok   %s (code page %d, %d bytes beyond ASCII)" % (table, page, beyond))
    return passed, failed


def main():
    vxdbf = sys.argv[1]
    corpus = sys.argv[2] if len(sys.argv) > 2 else ""
    if dbf is None:
        print("python3-dbf is missing: skipped (scripts/install-deps.sh installs it)")
        return 77
    passed = failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for page, texts in TABLES.items():
            try:
                problems = check_page(vxdbf, folder, page, texts)
            except Exception as e:  # a failing command is a failed check, not a crash
                problems = ["%s: %s" % (type(e).__name__, e)]
            if problems:
                failed += 1
                print("FAIL cp%d" % page)
                for p in problems[:6]:
                    print("    " + p)
            else:
                passed += 1
                print("ok   cp%d" % page)
        if dbfread is not None:
            try:
                problems = check_written_pages(vxdbf, folder)
            except Exception as e:  # a failing command is a failed check, not a crash
                problems = ["%s: %s" % (type(e).__name__, e)]
            for p in problems:
                print("FAIL written pages: " + p)
            failed += 1 if problems else 0
            passed += 0 if problems else 1
            if not problems:
                print("ok   tables written in %d pages read back by python3-dbf and dbfread"
                      % len(PAGE_WORDS))
        if os.path.isdir(corpus):
            corpus_passed, corpus_failed = check_corpus(vxdbf, corpus, folder)
            passed += corpus_passed
            failed += corpus_failed
        else:
            print("corpus folder %s is absent: its tables are not checked" % corpus)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
