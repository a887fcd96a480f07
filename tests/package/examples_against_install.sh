#!/bin/sh
# Installs the build into a temporary prefix, builds the examples against it as a separate
# project (find_package(Vexel), and once more with pkg-config), and runs them.
# Arguments: the build folder, the source folder, and the Python that has the package's
# dependencies (optional).
set -eu
build=$1
source=$2
python=${3:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/include/vexel/vexel.hpp"
test -f "$prefix/lib/libvexel.a"
soname=$(objdump -p "$prefix"/lib/libvexel.so | awk '/SONAME/ {print $2}')
echo "SONAME $soname"
case $soname in libvexel.so.[0-9]*) ;; *) echo "no versioned SONAME"; exit 1 ;; esac
# Nothing of the engine's own headers goes out.
if [ -n "$(find "$prefix/include" -name '*.h' | head -1)" ]; then echo "internal headers installed"; exit 1; fi

flags=${VX_EXAMPLE_FLAGS:-}
cmake -S "$source/examples" -B "$work/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/examples" >/dev/null
table=$work/stock.dbf
"$work/examples/append_rows" "$table" bolts=120 nuts=300 "washers=75"
"$work/examples/append_rows" "$table" "Nägel=40"
"$work/examples/list_tags" "$table" NAME NU | tee "$work/out"
grep -q "^NAME: UPPER(NAME)" "$work/out"
grep -q "^record 2: NAME=nuts QTY=300 ADDED=20261209" "$work/out"
"$work/examples/list_tags" "$table" NAME NÄ | grep -q "NAME=Nägel"

# pkg-config: the same program, compiled and linked by hand.
PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
c++ $flags -o "$work/list_tags_pc" "$source/examples/list_tags.cpp" $(pkg-config --cflags --libs vexel)
LD_LIBRARY_PATH=$prefix/lib "$work/list_tags_pc" "$table" | grep -q "^4 records"
echo "examples built and ran against $prefix"

# The README's five-line examples, as a newcomer would run them: the command lines on a fresh
# sample table, the C++ lines inside a main() against the installed package, the Python lines
# against the package in the build folder (not under a sanitizer build: the interpreter would
# need the sanitizer runtimes preloaded; the Python tests do that), nor without the Python part).
block() { awk -v kind="$1" '$0 == "```" kind {f = 1; next} /^```$/ {f = 0} f' "$source/README.md"; }
mkdir "$work/readme" && cd "$work/readme"
PATH=$build/tools/vxdbf:$PATH
export PATH
block sh > commands.sh
sh -eu commands.sh | tee commands.out
grep -q "^7$" commands.out
{ printf '#include <iostream>\n#include <vexel/vexel.hpp>\nint main() {\n'; block cpp; printf '}\n'; } > readme.cpp
c++ -std=c++20 $flags -o readme readme.cpp $(pkg-config --cflags --libs vexel)
LD_LIBRARY_PATH=$prefix/lib ./readme | tee cpp.out
grep -q "^Rear Window 1954$" cpp.out
vxdbf dump films.dbf | grep -q "^Rear Window,1954,.,113,"
if [ -z "$flags" ] && [ -d "$build/python/vexel" ]; then
  block python > readme.py
  PYTHONPATH=$build/python "$python" readme.py | tee python.out
  grep -q "^Metropolis 1927$" python.out
fi
echo "the README's examples ran"
