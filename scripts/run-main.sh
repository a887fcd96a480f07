#!/usr/bin/env bash
# Installs what is missing, builds, and starts the demo program on the sample film table
# (sample/movie.DBF, created with twenty films when it is missing). Without a display the demo
# runs under Xvfb instead: a screenshot of its screen is saved to sample/screen.png.
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
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$BUILD_DIR/demo/vexel-demo" sample
fi
echo "No display: running the demo under Xvfb and saving its screen to sample/screen.png"
bash scripts/screenshot-xvfb.sh sample/screen.png
