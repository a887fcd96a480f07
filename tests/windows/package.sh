#!/usr/bin/env bash
# The Windows package: made by CPack from the Windows build, unpacked, checked for its parts, and
# the examples built against it as a project of their own (find_package(Vexel) with mingw-w64:
# list_tags through vexel.dll and its import library, append_rows on the static library) and
# run under Wine, with the packaged vxdbf.exe reading what they wrote.
#   package.sh WINDOWS_BUILD SOURCE WINE
set -uo pipefail
build=$1 source=$2 wine=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all

# step WHAT COMMAND...: runs the command; on failure says what failed with the end of its output.
step() {
  local what=$1
  shift
  if ! "$@" >"$work/log" 2>&1 </dev/null; then
    echo "FAILED: $what"
    tail -20 "$work/log" | sed 's/^/    /'
    exit 1
  fi
}

step "the build of vxdbf.exe and the libraries" \
  cmake --build "$build" -j2 --target vxdbf vexel_shared vexel_static
step "cpack" sh -c 'cd "$0" && cpack -G ZIP -B "$1/cpack"' "$build" "$work"
zip=$(ls "$work"/cpack/vexel-*-windows-x86_64.zip)
step "unpacking $(basename "$zip")" python3 -m zipfile -e "$zip" "$work/unpacked"
root=$work/unpacked/$(basename "$zip" .zip)
for part in bin/vxdbf.exe bin/vexel.dll lib/libvexel.dll.a lib/libvexel.a include/vexel/vexel.hpp \
            lib/cmake/Vexel/VexelConfig.cmake lib/cmake/Vexel/VexelTargets.cmake; do
  if [ ! -f "$root/$part" ]; then
    echo "FAILED: $part is not in $(basename "$zip")"
    exit 1
  fi
done
echo "ok: $(basename "$zip") ($(( $(stat -c %s "$zip") / 1024 )) KiB) holds vxdbf.exe, vexel.dll, its import library, the static library, the headers and the CMake package"

# The toolchain finds packages in the cross sysroot only: the package's folder is named outright.
step "configuring the examples against the package" \
  cmake -S "$source/examples" -B "$work/examples" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" \
        -DVexel_DIR="$root/lib/cmake/Vexel"
step "building the examples against the package" cmake --build "$work/examples"
cp "$root/bin/vexel.dll" "$work/examples/"
table=$work/stock.dbf
step "append_rows.exe" "$wine" "$work/examples/append_rows.exe" "$table" bolts=120 nuts=300
"$wine" "$work/examples/list_tags.exe" "$table" NAME NU 2>&1 | tr -d '\r' >"$work/out"
"$wine" "$root/bin/vxdbf.exe" dump "$table" >"$work/dump" 2>&1
if ! grep -q "^NAME: UPPER(NAME)" "$work/out" || ! grep -q "NAME=nuts QTY=300" "$work/out" ||
   ! grep -q "^nuts,300" "$work/dump"; then
  echo "FAILED: the examples' table, as list_tags.exe and the packaged vxdbf.exe read it:"
  sed 's/^/    /' "$work/out" "$work/dump"
  exit 1
fi
echo "ok: the examples built against the package ran under Wine, and its vxdbf.exe read their table"
