"""The Python examples of python/README.md, run in order in one namespace (as a reader would
type them) in a folder where `vxdbf sample sample/movie.DBF` made the film table: the guide
cannot drift from what the package does."""

import contextlib
import io
import os
import re

import pytest

from conftest import REPO, vxdbf

README = REPO / "python" / "README.md"


def python_blocks(text):
    """The ```python blocks of a Markdown text, with the line each starts on."""
    return [(text[:m.start()].count("\n") + 2, m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```$", text, re.S | re.M)]


def test_readme_examples_run(tmp_path):
    pytest.importorskip("pandas", reason="python3-pandas is not installed")
    (tmp_path / "sample").mkdir()
    vxdbf("sample", tmp_path / "sample" / "movie.DBF")
    blocks = python_blocks(README.read_text(encoding="utf-8"))
    assert len(blocks) >= 4
    namespace = {"__name__": "__readme__"}
    here = os.getcwd()
    os.chdir(tmp_path)
    try:
        for line, code in blocks:
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                # Compiled at its own lines, so that a failure names the README's line.
                exec(compile("\n" * (line - 1) + code, str(README), "exec"), namespace)
            # The comment lines right under a print show what it prints.
            lines = code.splitlines()
            for i, text in enumerate(lines[:-1]):
                said = re.match(r"\s*# (.*)$", lines[i + 1])
                if "print(" in text and said:
                    assert said.group(1) in printed.getvalue(), f"README line {line + i + 1}"
    finally:
        os.chdir(here)
    vxdbf("check", tmp_path / "sample" / "movie.DBF")
