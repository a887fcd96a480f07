"""Builds the package vexel: its Python files as they are, and the extension vexel._vexel by the
project's own CMake build (target _vexel), whose result is copied into the wheel.

The build tree: by default a private one under setuptools' build folder (configured once, a
Release build of the library and the extension only; later builds are incremental, and ccache is
used when it is installed). VEXEL_CMAKE_BUILD_DIR names an existing configured build tree of the
project instead (e.g. build, from the repository's root): only _vexel is brought up to date there, nothing is compiled twice,
and setuptools' own files go into that tree too, not into this folder. The tree must be
configured for a Python with the same extension suffix as the one running this build.
CMAKE_BUILD_PARALLEL_LEVEL sets the build's jobs (2 by default)."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext
from setuptools.command.egg_info import egg_info

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
# A relative path is taken from the repository's root (pip runs this file in python/).
GIVEN_TREE = os.environ.get("VEXEL_CMAKE_BUILD_DIR") and str(
    (ROOT / os.environ["VEXEL_CMAKE_BUILD_DIR"]).resolve())


def project_version() -> str:
    """The version of the CMake project (its project(vexel VERSION ...) line)."""
    lists = ROOT / "CMakeLists.txt"
    if not lists.is_file():
        raise SystemExit(f"vexel is built from the project's repository: no {lists}")
    found = re.search(r"project\(\s*vexel\s+VERSION\s+([0-9][0-9.]*)", lists.read_text())
    if not found:
        raise SystemExit(f"no project(vexel VERSION ...) in {lists}")
    return found.group(1)


def run(command: list) -> None:
    print(" ".join(map(str, command)), flush=True)
    subprocess.run([str(c) for c in command], check=True)


class CMakeBuild(build_ext):
    """Builds the extension with CMake instead of compiling its sources itself."""

    def build_extension(self, ext: Extension) -> None:
        if shutil.which("cmake") is None:
            raise SystemExit("vexel needs CMake to build its extension (apt-get install cmake)")
        if GIVEN_TREE:
            tree = pathlib.Path(GIVEN_TREE).resolve()
            if not (tree / "CMakeCache.txt").is_file():
                raise SystemExit(f"VEXEL_CMAKE_BUILD_DIR={GIVEN_TREE} is no configured CMake "
                                 f"build tree (no CMakeCache.txt)")
        else:
            tree = pathlib.Path(self.build_temp).resolve() / "cmake"
            if not (tree / "CMakeCache.txt").is_file():
                self.configure(tree)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        run(["cmake", "--build", tree, "--target", "_vexel", "--parallel", jobs])
        name = "_vexel" + sysconfig.get_config_var("EXT_SUFFIX")
        built = tree / "python" / "vexel" / name
        if not built.is_file():
            made = sorted(p.name for p in (tree / "python" / "vexel").glob("_vexel*"))
            raise SystemExit(f"{tree} built {', '.join(made) or 'no extension'}, not {name}: "
                             f"the tree is configured for another Python "
                             f"(-DPython_EXECUTABLE=...)")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)

    def configure(self, tree: pathlib.Path) -> None:
        command = ["cmake", "-S", ROOT, "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
                   "-DVX_BUILD_TESTS=OFF", "-DVX_BUILD_BENCH=OFF",
                   f"-DPython_EXECUTABLE={sys.executable}"]
        if shutil.which("ninja"):
            command += ["-G", "Ninja"]
        if shutil.which("ccache"):
            command += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
                        "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        run(command)


class Build(build):
    """setuptools' build folder inside the given CMake build tree, when there is one."""

    def initialize_options(self) -> None:
        super().initialize_options()
        if GIVEN_TREE:
            self.build_base = str(pathlib.Path(GIVEN_TREE).resolve() / "python-setuptools")


class EggInfo(egg_info):
    """The package's metadata folder inside the given CMake build tree, when there is one."""

    def initialize_options(self) -> None:
        super().initialize_options()
        if GIVEN_TREE:
            self.egg_base = str(pathlib.Path(GIVEN_TREE).resolve() / "python-setuptools")
            os.makedirs(self.egg_base, exist_ok=True)


setup(
    version=project_version(),
    ext_modules=[Extension("vexel._vexel", sources=[])],
    cmdclass={"build_ext": CMakeBuild, "build": Build, "egg_info": EggInfo},
)
