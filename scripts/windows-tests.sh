#!/usr/bin/env bash
# The Windows step of the test command: the library, vxdbf and their test programs
# cross-compiled with mingw-w64 into build-mingw/ (or $WINDOWS_BUILD_DIR), the test programs run
# under Wine, then a Linux and a Windows vxdbf on one table (tests/windows/interop.sh) and both
# over the corpus (tests/windows/corpus_compare.sh), and the package (tests/windows/package.sh);
# the first two need the Linux build in build/ (or
# $BUILD_DIR). Skips, saying why, when mingw-w64 or Wine is missing, or when VX_SKIP_WINDOWS=1.
#   VX_WINE_TESTS   the test programs to build and run ("all": every one the Windows build has)
#   VX_CORPUS_EVERY every n-th corpus table is compared (default 12; 1 compares them all)
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${BUILD_DIR:-build}
win_build=${WINDOWS_BUILD_DIR:-build-mingw}
wine=/usr/lib/wine/wine64
if [ "${VX_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "Windows build and tests skipped: VX_SKIP_WINDOWS=1"
  exit 0
fi
# mingw-w64 and Wine are installed when missing (CI starts on a fresh machine); where that cannot
# be done (no root, no network, no such packages) the step skips with the reason.
missing=()
for p in g++-mingw-w64-x86-64-posix wine64; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing for the Windows build: ${missing[*]}"
  if ! { apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
       >"${TMPDIR:-/tmp}/vx-windows-install.log" 2>&1; then
    echo "Windows build and tests skipped: could not install ${missing[*]}:"
    tail -3 "${TMPDIR:-/tmp}/vx-windows-install.log" | sed 's/^/    /'
    exit 0
  fi
fi
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || [ ! -x "$wine" ]; then
  echo "Windows build and tests skipped: x86_64-w64-mingw32-g++-posix or $wine is missing"
  echo "(Debian: apt-get install g++-mingw-w64-x86-64-posix wine64)"
  exit 0
fi

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DVX_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
# The engine's, the library's and vxdbf's test programs (tests/windows.cmake lists the units left
# out of them, and why).
wine_tests=${VX_WINE_TESTS:-platform_os_test engine_foundation_test engine_table_test \
engine_workarea_test engine_expr_test engine_memo_test engine_index_test engine_startup_test \
operations_api_test maintenance_test inspect_test vxdbf_test}
if [ "$wine_tests" = all ]; then
  cmake --build "$win_build" -j2
  wine_filter=.
else
  # shellcheck disable=SC2086
  cmake --build "$win_build" -j2 --target vxdbf lock_holder $wine_tests
  wine_filter="^($(echo $wine_tests | tr ' ' '|'))\$"
fi
cmake --build "$linux_build" -j2 --target vxdbf lock_holder

# Wine keeps its prefix beside the build; one server serves every program (its output is not
# this script's, or a pipe reading this script would wait for the server).
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$PWD/$win_build/wine}
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
"$wine" "$win_build/tools/vxdbf/vxdbf.exe" --version >/dev/null 2>&1  # makes the prefix
status=0
(cd "$win_build" && ctest -j2 --output-on-failure -R "$wine_filter") || status=1
echo "== A Linux and a Windows vxdbf on one table"
bash tests/windows/interop.sh "$linux_build/tools/vxdbf/vxdbf" "$linux_build/tests/windows/lock_holder" \
     "$win_build/tools/vxdbf/vxdbf.exe" "$win_build/tests/windows/lock_holder.exe" "$wine" || status=1
echo "== The Windows package, and the examples built against it"
bash tests/windows/package.sh "$win_build" "$PWD" "$wine" || status=1
corpus=${VX_CORPUS_DIR:-../shared/corpus}
echo "== The Linux and the Windows vxdbf over the corpus"
if [ -d "$corpus" ]; then
  # From the root: a relative name is made whole by each program in its own spelling (Z:/...).
  corpus=$(cd "$corpus" && pwd)
  bash tests/windows/corpus_compare.sh "$linux_build/tools/vxdbf/vxdbf" \
       "$win_build/tools/vxdbf/vxdbf.exe" "$wine" "$corpus" "${VX_CORPUS_EVERY:-12}" || status=1
else
  echo "skipped: no corpus at $corpus (set VX_CORPUS_DIR)"
fi
exit $status
