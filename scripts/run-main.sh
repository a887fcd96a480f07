#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program's main job: vxdbf on a sample table
# that it creates (sample/movie.DBF, the demo's film table), shown with info and dump.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
export BUILD_DIR=${BUILD_DIR:-build-main}
bash scripts/build.sh -DVX_BUILD_TESTS=OFF -DVX_BUILD_BENCH=OFF
vxdbf=$BUILD_DIR/tools/vxdbf/vxdbf
mkdir -p sample
if [ ! -f sample/movie.DBF ]; then
  "$vxdbf" sample sample/movie.DBF
fi
"$vxdbf" info sample/movie.DBF
"$vxdbf" dump sample/movie.DBF
