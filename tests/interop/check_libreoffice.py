#!/usr/bin/python3
"""Checks that tables vxdbf writes in each code page read right in LibreOffice Calc.

LibreOffice's dBASE import does not follow a table's language driver mark: it reads the text in
the character set its filter option names (a number, LibreOffice's own for the set, found by
experiment: a table holding every byte from 0x80 to 0xFF read under each number). For each page
the checks write tables in (page_texts.py: every page the driver table names, 855, 1258, UTF-8)
vxdbf creates a table (`create --codepage N`, a .cpg file for pages without a mark) with text of
that page's language in a character field and a memo, and LibreOffice converts it to CSV with
the matching option, as

    soffice --headless --convert-to csv:"Text - txt - csv (StarCalc)":44,34,76 \\
            --infilter=dBase:OPTION TABLE.dbf

does; one soffice process converts them all (through its UNO interface, since --infilter names
one option per run and each run starts the whole program). The CSV must hold the same text.
Pages LibreOffice cannot read are skipped by name (LIBREOFFICE_LACKS).

Usage: check_libreoffice.py VXDBF
Exits 77 (skipped) when LibreOffice Calc, its dBASE driver or Python's uno module is missing;
closes with a line "N passed, N failed".
"""

import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unicodedata

from check_codepages import run
from page_texts import PAGE_WORDS

try:
    import uno
    from com.sun.star.beans import PropertyValue
except ImportError:  # pragma: no cover
    uno = None

# LibreOffice's dBASE filter option for each page (its character set numbers).
FILTER_OPTION = {1252: 1, 10000: 2, 437: 3, 850: 4, 860: 5, 861: 6, 863: 7, 865: 8, 737: 23,
                 852: 25, 855: 26, 857: 27, 866: 30, 874: 32, 1250: 33, 1251: 34, 1253: 35,
                 1254: 36, 1255: 37, 1256: 38, 1257: 39, 1258: 40, 10029: 42, 10006: 47,
                 932: 60, 936: 61, 949: 62, 950: 63, 28591: 12, 28592: 13, 28595: 16,
                 20866: 74, 65001: 76}
# Pages LibreOffice's dBASE import cannot read: named skips, with why.
LIBREOFFICE_LACKS = {620: "it has no Mazovia character set", 895: "it has no Kamenický character set",
                     10007: "no filter option (1 to 159 tried) reads Macintosh Cyrillic"}
DRIVER = "/usr/lib/libreoffice/program/libdbaselo.so"
CSV_OPTIONS = "44,34,76"  # comma, double quote, UTF-8


def properties(**values):
    out = []
    for name, value in values.items():
        p = PropertyValue()
        p.Name, p.Value = name, value
        out.append(p)
    return tuple(out)


class Office:
    """One headless soffice, reached through a pipe, with a profile of its own."""

    def __init__(self, folder):
        pipe = "vexel%d" % os.getpid()
        self.process = subprocess.Popen(
            [shutil.which("soffice"), "--headless", "--invisible", "--nologo", "--norestore",
             "-env:UserInstallation=" + uno.systemPathToFileUrl(os.path.join(folder, "profile")),
             "--accept=pipe,name=%s;urp;" % pipe],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext(
            "com.sun.star.bridge.UnoUrlResolver", local)
        for _ in range(600):  # its first start makes the profile: allow it a few minutes
            try:
                context = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
                break
            except Exception:
                if self.process.poll() is not None:
                    raise RuntimeError("soffice ended with %d" % self.process.returncode)
                time.sleep(0.5)
        else:
            self.process.kill()
            raise RuntimeError("soffice did not answer")
        self.desktop = context.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.Desktop", context)

    def to_csv(self, path, option):
        """The table converted to CSV (UTF-8) with dBase filter option `option`, as rows."""
        document = self.desktop.loadComponentFromURL(
            uno.systemPathToFileUrl(path), "_blank", 0,
            properties(FilterName="dBase", FilterOptions=str(option), Hidden=True))
        if document is None:
            raise RuntimeError("LibreOffice did not load " + os.path.basename(path))
        target = path + ".csv"
        try:
            document.storeToURL(uno.systemPathToFileUrl(target),
                                properties(FilterName="Text - txt - csv (StarCalc)",
                                           FilterOptions=CSV_OPTIONS))
        finally:
            document.close(True)
        with open(target, encoding="utf-8", newline="") as f:
            return list(csv.reader(f))

    def close(self):
        try:
            self.desktop.terminate()
        except Exception:  # the bridge goes as soffice ends
            pass
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()


def write_table(vxdbf, folder, page, text):
    path = os.path.join(folder, "lo%d.dbf" % page)
    run([vxdbf, "create", path, "--codepage", str(page), "--version", "0x83",
         "--field", "NAME,C,60", "--field", "NOTES,M"])
    row = json.dumps({"NAME": text, "NOTES": text + " " + text}) + "\n"
    run([vxdbf, "append", path, "--format", "jsonl"], row.encode("utf-8"))
    return path


def main():
    vxdbf = sys.argv[1]
    missing = [what for what, there in (("soffice (Debian libreoffice-calc-nogui)",
                                         shutil.which("soffice")),
                                        ("its dBASE driver (libreoffice-base-drivers)",
                                         os.path.exists(DRIVER)),
                                        ("Python's uno module (python3-uno)", uno is not None))
               if not there]
    if missing:
        print("skipped: %s missing; install them to check tables in LibreOffice"
              % ", ".join(missing))
        return 77
    passed = failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for page, why in LIBREOFFICE_LACKS.items():
            print("skip cp%d: %s" % (page, why))
        tables = {page: write_table(vxdbf, folder, page, text)
                  for page, text in PAGE_WORDS.items() if page not in LIBREOFFICE_LACKS}
        office = Office(folder)
        try:
            for page, path in tables.items():
                text = PAGE_WORDS[page]
                try:
                    rows = office.to_csv(path, FILTER_OPTION[page])
                    # 1258 is read in decomposed form (a base letter and a combining accent).
                    got = [unicodedata.normalize("NFC", v) for v in rows[1]] if len(rows) > 1 else []
                    problem = None if got[:1] == [text] else "field reads %r" % got[:1]
                    if problem is None and got[1:2] != [text + " " + text]:
                        problem = "memo reads %r" % got[1:2]
                except Exception as e:  # a failing conversion is a failed check, not a crash
                    problem = "%s: %s" % (type(e).__name__, e)
                if problem:
                    failed += 1
                    print("FAIL cp%d (filter option %d): %s" % (page, FILTER_OPTION[page], problem))
                else:
                    passed += 1
                    print("ok   cp%d (filter option %d)" % (page, FILTER_OPTION[page]))
        finally:
            office.close()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
