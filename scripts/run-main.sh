#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program's main job: vxdbf on a sample table
# that it creates (sample/films.dbf), shown with info and dump.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh -DVX_BUILD_TESTS=OFF -DVX_BUILD_BENCH=OFF
vxdbf=build/tools/vxdbf/vxdbf
mkdir -p sample
if [ ! -f sample/films.dbf ]; then
  "$vxdbf" create sample/films.dbf --field TITLE,C,20 --field YEAR,N,4 --field COLOR,L,1 \
    --field RUNTIME,N,3 --field STARS,C,50 --field DIRECTOR,C,20 --field PREMIERE,D,8
fi
"$vxdbf" info sample/films.dbf
"$vxdbf" dump sample/films.dbf
