"""Shared fixtures of the vexel package's tests: the vxdbf tool (to check what the package writes
from outside), a fresh copy of the demo's film table, and the corpus of other programs' files."""

import json
import os
import pathlib
import shutil
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]


def _vxdbf_path():
    given = os.environ.get("VXDBF")
    if given:
        return given
    for build in ("build", "build-main"):
        candidate = REPO / build / "tools" / "vxdbf" / "vxdbf"
        if candidate.exists():
            return str(candidate)
    return shutil.which("vxdbf")


VXDBF = _vxdbf_path()
CORPUS = pathlib.Path(os.environ.get("VX_CORPUS_DIR", REPO.parent / "shared" / "corpus"))


def vxdbf(*args, check=True, input=None):
    """Runs vxdbf and answers its completed process (output as text)."""
    if VXDBF is None:
        pytest.skip("vxdbf is not built (set VXDBF to its path)")
    run = subprocess.run([VXDBF, *map(str, args)], capture_output=True, text=True,
                         errors="replace", input=input)
    if check and run.returncode != 0:
        raise AssertionError(f"vxdbf {' '.join(map(str, args))} exited {run.returncode}: "
                             f"{run.stderr}")
    return run


def dump(path, *args):
    """The records `vxdbf dump` prints, as dicts (with _deleted)."""
    out = vxdbf("dump", path, "--format", "jsonl", "--deleted", *args).stdout
    return [json.loads(line) for line in out.splitlines()]


@pytest.fixture
def film(tmp_path):
    """A fresh demo film table (20 films, a memo file, no index)."""
    path = tmp_path / "movie.DBF"
    vxdbf("sample", path)
    return path


@pytest.fixture
def indexed_film(film):
    """The film table with tags TITLE (UPPER(TITLE)), YEAR and a FOR tag COLOR_T."""
    vxdbf("index", film, "--tag", "TITLE", "--key", "UPPER(TITLE)")
    vxdbf("index", film, "--tag", "YEAR", "--key", "YEAR")
    vxdbf("index", film, "--tag", "COLOR_T", "--key", "TITLE", "--for", "COLOR")
    return film


@pytest.fixture(scope="session")
def corpus():
    if not CORPUS.is_dir():
        pytest.skip(f"no corpus at {CORPUS} (set VX_CORPUS_DIR): corpus comparisons skipped")
    return CORPUS


def corpus_tables(corpus):
    return sorted(p for p in corpus.rglob("*") if p.is_file() and p.suffix.lower() == ".dbf")


def blank_numbers(path, recno, spans):
    """Blanks (offset in the record, length) spans of record `recno` in place: the engine writes
    0 for a blank number, other programs leave blanks."""
    data = bytearray(path.read_bytes())
    header, length = int.from_bytes(data[8:10], "little"), int.from_bytes(data[10:12], "little")
    start = header + (recno - 1) * length
    for offset, size in spans:
        data[start + offset:start + offset + size] = b" " * size
    path.write_bytes(bytes(data))


def check_or_skip(table, repair=False):
    """table.check(), or a skip when the library was built without the checker."""
    import vexel
    try:
        return table.check(repair=repair)
    except vexel.Error as e:
        if "not available" in str(e):
            pytest.skip(f"check: {e}")
        raise
