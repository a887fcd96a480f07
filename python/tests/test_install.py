"""The package as users install it: pip into a fresh virtual environment (and a wheel by
python3 -m build), then imported from outside the repository.

Under CTest VEXEL_CMAKE_BUILD_DIR names the test's own build tree, so the install builds nothing
again; without it the install would build the whole library, so the test is skipped."""

import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

from conftest import REPO, vxdbf

TREE = os.environ.get("VEXEL_CMAKE_BUILD_DIR")
pytestmark = pytest.mark.skipif(not TREE, reason="VEXEL_CMAKE_BUILD_DIR names no build tree "
                                                 "(a full build would be needed)")
VERSION = re.search(r"project\(vexel VERSION ([0-9.]+)",
                    (REPO / "CMakeLists.txt").read_text()).group(1)


def _environment(preload):
    # A sanitizer build's runtimes are preloaded only where its extension is imported, not
    # into pip, CMake and the compilers.
    dropped = {"PYTHONPATH"} | (set() if preload else {"LD_PRELOAD"})
    env = {k: v for k, v in os.environ.items() if k not in dropped}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env["PIP_NO_INPUT"] = "1"
    return env


def _run(command, cwd, preload=False):
    done = subprocess.run([str(c) for c in command], cwd=cwd, env=_environment(preload),
                          capture_output=True, text=True)
    assert done.returncode == 0, f"{command} exited {done.returncode}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_pip_install_into_a_virtual_environment(tmp_path):
    _run([sys.executable, "-m", "venv", "v", "--system-site-packages"], tmp_path)
    _run([tmp_path / "v" / "bin" / "pip", "install", "--no-build-isolation", "--no-cache-dir",
          REPO / "python"], tmp_path)
    table = tmp_path / "movie.DBF"
    vxdbf("sample", table)
    out = _run([tmp_path / "v" / "bin" / "python", "-c", """if True:
        import importlib.metadata, pathlib, vexel
        package = pathlib.Path(vexel.__file__).parent
        print(package)
        print(vexel.__version__, importlib.metadata.version("vexel"))
        print((package / "py.typed").is_file(), (package / "__init__.pyi").is_file())
        with vexel.open("movie.DBF", "readonly") as films:
            print(len(films), films[2].TITLE)
        """], tmp_path, preload=True)
    package, versions, typed, films = out.splitlines()
    assert pathlib.Path(package).is_relative_to(tmp_path / "v")
    assert versions == f"{VERSION} {VERSION}"
    assert typed == "True True"
    assert films == "20 City Lights"


def test_wheel_by_build(tmp_path):
    pytest.importorskip("build", reason="python3-build is not installed")
    _run([sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", tmp_path,
          REPO / "python"], tmp_path)
    wheel, = tmp_path.glob("vexel-*.whl")
    assert wheel.name.startswith(f"vexel-{VERSION}-cp3")
    names = zipfile.ZipFile(wheel).namelist()
    for wanted in ("vexel/__init__.py", "vexel/_frames.py", "vexel/__init__.pyi", "vexel/py.typed"):
        assert wanted in names
    assert any(re.fullmatch(r"vexel/_vexel\..*\.so", n) for n in names)
    metadata = zipfile.ZipFile(wheel).read(f"vexel-{VERSION}.dist-info/METADATA").decode()
    assert f"Version: {VERSION}" in metadata and "Provides-Extra: pandas" in metadata
