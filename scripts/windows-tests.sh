#!/usr/bin/env bash
# The Windows build: the library, vxdbf and their tests cross-compiled with mingw-w64 into
# build-mingw/ (or $WINDOWS_BUILD_DIR), the tests run under Wine, then a Linux and a Windows
# vxdbf on one table (tests/windows/interop.sh; needs the Linux build in build/ or $BUILD_DIR).
# Skips, saying why, when mingw-w64 or Wine is missing, or when VX_SKIP_WINDOWS=1.
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${BUILD_DIR:-build}
win_build=${WINDOWS_BUILD_DIR:-build-mingw}
wine=/usr/lib/wine/wine64
if [ "${VX_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "Windows build and tests skipped: VX_SKIP_WINDOWS=1"
  exit 0
fi
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || [ ! -x "$wine" ]; then
  echo "Windows build and tests skipped: g++-mingw-w64-x86-64-posix or wine64 is not installed"
  echo "(Debian: apt-get install g++-mingw-w64-x86-64-posix wine64)"
  exit 0
fi

# Wine keeps its prefix beside the build; one server serves every test program.
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$PWD/$win_build/wine}
mkdir -p "$WINEPREFIX"
cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache
# The test programs the test command runs under Wine (VX_WINE_TESTS="all" builds and runs every
# one the Windows build has; tests/windows.cmake lists the units left out of them and why).
wine_tests=${VX_WINE_TESTS:-platform_os_test engine_foundation_test engine_table_test engine_workarea_test}
if [ "$wine_tests" = all ]; then
  cmake --build "$win_build" -j2
  wine_filter=.
else
  cmake --build "$win_build" -j2 --target vxdbf lock_holder $wine_tests
  wine_filter="^($(echo $wine_tests | tr ' ' '|'))\$"
fi
/usr/lib/wine/wineserver -p
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
"$wine" "$win_build/tools/vxdbf/vxdbf.exe" --version  # the prefix is made on the first start
(cd "$win_build" && ctest -j2 --output-on-failure -R "$wine_filter")
bash tests/windows/interop.sh "$linux_build/tools/vxdbf/vxdbf" "$linux_build/tests/windows/lock_holder" \
     "$win_build/tools/vxdbf/vxdbf.exe" "$win_build/tests/windows/lock_holder.exe" "$wine"
